// Voice mixing: envelope, tremolo, integer gains and the accumulation of a
// voice's resampled frames into the song's 64-bit mix buffer.
//
// Per frame only integer multiply-adds happen; envelope, tremolo and gains
// advance once per control block. Each layout (mono; stereo panned, centre,
// one side) has a constant routine and an updating one; the per-frame loops
// are the same template in both.
#include "synth/mixer.h"

#include <algorithm>
#include <limits>

#include "platform/portable_math.h"
#include "platform/saturate.h"
#include "records/envelope.h"
#include "records/midi_song.h"
#include "records/tables.h"
#include "synth/lfo.h"
#include "synth/resampler.h"

// The per-frame loops are plain integer multiply-adds; let GCC vectorise them
// at -O2 as well (its default -O2 cost model leaves loops with a remainder
// alone). Integer arithmetic, so the result is the same bit for bit.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("tree-vectorize", "vect-cost-model=dynamic")
#endif

namespace tz {
namespace {

constexpr int32_t kMaxGain = 8191;
constexpr int kDyingFadeFrames = 20;

enum class Layout { Mono, Panned, Centre, OneSide };

// Output slots per frame in the mix buffer.
template <Layout L>
constexpr int kStride = L == Layout::Mono ? 1 : 2;

// The per-frame loops. Gains lie within +-8191, so a gain fits 16 bits and
// each product is a 16-by-16-bit multiply into 32 bits (which the compiler
// vectorises as such); the sums are 64-bit and never wrap.
template <Layout L>
inline void mixFramesWithGains(int64_t* __restrict mix, const int16_t* __restrict in, int32_t n,
                               int32_t leftGain, int32_t rightGain) {
    const int16_t left = int16_t(leftGain);
    const int16_t right = int16_t(rightGain);
    if constexpr (L == Layout::Mono) {
        for (int32_t i = 0; i < n; ++i) mix[i] += int32_t(in[i]) * left;
    } else if constexpr (L == Layout::Panned) {
        for (int32_t i = 0; i < n; ++i) {
            mix[2 * i] += int32_t(in[i]) * left;
            mix[2 * i + 1] += int32_t(in[i]) * right;
        }
    } else if constexpr (L == Layout::Centre) {
        for (int32_t i = 0; i < n; ++i) {
            const int32_t value = int32_t(in[i]) * left;
            mix[2 * i] += value;
            mix[2 * i + 1] += value;
        }
    } else {
        // One side: the caller offsets mix by one slot for the right side.
        for (int32_t i = 0; i < n; ++i) mix[2 * i] += int32_t(in[i]) * left;
    }
}

// Constant routine: the envelope stands still and there is no tremolo.
template <Layout L>
void mixConstant(MidiSong& song, int voiceIndex, int64_t* mix, const int16_t* in, int32_t n) {
    const Voice& v = song.voices[voiceIndex];
    mixFramesWithGains<L>(mix, in, n, v.leftGain, v.rightGain);
}

// Starts a control block: envelope step, tremolo step, new gains. True when
// the envelope has ended and the voice is Free.
inline bool startControlBlock(MidiSong& song, int voiceIndex) {
    Voice& v = song.voices[voiceIndex];
    if (v.envStep != 0 && stepEnvelope(song, voiceIndex)) return true;
    if (v.tremoloPhaseStep != 0) updateTremolo(song, voiceIndex);
    updateGains(song, voiceIndex);
    return false;
}

// Updating routine: the gains change every controlRatio frames, counted in
// blockCountdown across calls.
template <Layout L>
void mixUpdating(MidiSong& song, int voiceIndex, int64_t* mix, const int16_t* in, int32_t n) {
    Voice& v = song.voices[voiceIndex];
    const int32_t ratio = std::max(song.controlRatio, 1);
    int32_t c = v.blockCountdown;
    if (c <= 0) {
        c = ratio;
        if (startControlBlock(song, voiceIndex)) return;
    }
    if (n <= 0) return;
    for (;;) {
        if (c >= n) {
            mixFramesWithGains<L>(mix, in, n, v.leftGain, v.rightGain);
            v.blockCountdown = c - n;
            return;
        }
        mixFramesWithGains<L>(mix, in, c, v.leftGain, v.rightGain);
        mix += c * kStride<L>;
        in += c;
        n -= c;
        c = ratio;
        if (startControlBlock(song, voiceIndex)) return;
    }
}

int32_t gainOf(float amplitude) {
    const float scaled = amplitude * 4096.0f;
    if (scaled >= float(kMaxGain + 1)) return kMaxGain;
    // Amplitudes are never negative; a negative one from odd data is bounded
    // like a positive one so that products stay within 32 bits.
    if (!(scaled > -float(kMaxGain + 1))) return scaled < 0.0f ? -kMaxGain : 0;
    return int32_t(scaled);
}

}  // namespace

void fadeDyingVoice(MidiSong& song, int voiceIndex, int64_t* mix, int32_t frameCount, const int16_t* in) {
    const Voice& v = song.voices[voiceIndex];
    const int32_t n = std::max(frameCount, 0);
    const int32_t divisor = std::max(n, 1);
    int32_t g = v.leftGain;
    int32_t dg = -(g / divisor);
    if (dg == 0) dg = -1;
    if (song.formatFlags & kFormatMono) {
        for (int32_t i = 0; i < n; ++i) {
            g += dg;
            if (g < 0) break;
            mix[i] += int32_t(in[i]) * g;
        }
        return;
    }
    switch (v.panMode) {
        case Panned: {
            int32_t r = v.rightGain;
            const int32_t dr = -(r / divisor);
            for (int32_t i = 0; i < n; ++i) {
                g = std::max(0, g + dg);
                r = std::max(0, r + dr);
                mix[2 * i] += int32_t(in[i]) * g;
                mix[2 * i + 1] += int32_t(in[i]) * r;
            }
            break;
        }
        case Centre:
            for (int32_t i = 0; i < n; ++i) {
                g += dg;
                if (g < 0) break;
                mix[2 * i] += int32_t(in[i]) * g;
                mix[2 * i + 1] += int32_t(in[i]) * g;
            }
            break;
        case LeftOnly:
        case RightOnly: {
            int64_t* slot = mix + (v.panMode == RightOnly ? 1 : 0);
            for (int32_t i = 0; i < n; ++i) {
                g += dg;
                if (g < 0) break;
                slot[2 * i] += int32_t(in[i]) * g;
            }
            break;
        }
        default:
            break;
    }
}


void mixVoice(MidiSong& song, int voiceIndex, int64_t* mix, int32_t frameCount) {
    Voice& v = song.voices[voiceIndex];
    if (v.sample == nullptr) {
        v.state = Free;
        return;
    }
    if (v.state == Dying) {
        int32_t n = std::min(frameCount, kDyingFadeFrames);
        const int16_t* in = resampleVoice(song, voiceIndex, n);
        fadeDyingVoice(song, voiceIndex, mix, n, in);
        v.state = Free;
        return;
    }
    int32_t n = frameCount;
    const int16_t* in = resampleVoice(song, voiceIndex, n);
    const bool moving = v.envStep != 0 || v.tremoloPhaseStep != 0;
    Layout layout = Layout::Mono;
    if (!(song.formatFlags & kFormatMono)) {
        switch (v.panMode) {
            case Panned: layout = Layout::Panned; break;
            case Centre: layout = Layout::Centre; break;
            case RightOnly: layout = Layout::OneSide; mix += 1; break;
            default: layout = Layout::OneSide; break;
        }
    }
    switch (layout) {
        case Layout::Mono:
            return moving ? mixUpdating<Layout::Mono>(song, voiceIndex, mix, in, n)
                          : mixConstant<Layout::Mono>(song, voiceIndex, mix, in, n);
        case Layout::Panned:
            return moving ? mixUpdating<Layout::Panned>(song, voiceIndex, mix, in, n)
                          : mixConstant<Layout::Panned>(song, voiceIndex, mix, in, n);
        case Layout::Centre:
            return moving ? mixUpdating<Layout::Centre>(song, voiceIndex, mix, in, n)
                          : mixConstant<Layout::Centre>(song, voiceIndex, mix, in, n);
        case Layout::OneSide:
            return moving ? mixUpdating<Layout::OneSide>(song, voiceIndex, mix, in, n)
                          : mixConstant<Layout::OneSide>(song, voiceIndex, mix, in, n);
    }
}

bool advanceEnvelopeStage(MidiSong& song, int voiceIndex) {
    Voice& v = song.voices[voiceIndex];
    const Sample& sample = *v.sample;
    const bool holds = (sample.modes & ModeEnvelope) != 0 && (v.state == Playing || v.state == Sustained);
    int32_t s = std::max(v.envStage, 0);
    while (s <= 5) {
        if (holds && s > 2) {
            // Held at the level reached after the decays until the release.
            v.envStep = 0;
            return false;
        }
        v.envStage = s + 1;
        const int32_t target = sample.envelopeTarget[s];
        if (v.envLevel != target) {
            v.envTarget = target;
            v.envStep = target < v.envLevel ? -sample.envelopeRate[s] : sample.envelopeRate[s];
            return false;
        }
        s = v.envStage;
    }
    v.state = Free;
    return true;
}

bool stepEnvelope(MidiSong& song, int voiceIndex) {
    Voice& v = song.voices[voiceIndex];
    const int64_t level = int64_t(v.envLevel) + v.envStep;
    if ((v.envStep < 0 && level <= v.envTarget) || (v.envStep > 0 && level >= v.envTarget)) {
        v.envLevel = v.envTarget;
        return advanceEnvelopeStage(song, voiceIndex);
    }
    v.envLevel = saturateToInt32(level);
    return false;
}

void updateTremolo(MidiSong& song, int voiceIndex) {
    Voice& v = song.voices[voiceIndex];
    const int32_t depth = sweptDepth(v.tremoloSweepLevel, v.tremoloSweepStep, v.sample->tremoloDepth * 128);
    // The phase runs on for as long as the note sounds and wraps in 32 bits;
    // its top 27 bits count the 1024 steps of the sine.
    v.tremoloPhase = int32_t(uint32_t(v.tremoloPhase) + uint32_t(v.tremoloPhaseStep));
    const double angle = double(v.tremoloPhase >> 5) * kLfoRadiansPerStep;
    const float swing = float((portableSin(angle) + 1.0) * depth * 0x1p-17);
    v.tremoloFactor = 1.0f - swing;
}

void updateGains(MidiSong& song, int voiceIndex) {
    Voice& v = song.voices[voiceIndex];
    const Sample& sample = *v.sample;
    const bool panned = v.panMode == Panned;
    float left = v.leftScale;
    float right = v.rightScale;
    if (v.tremoloPhaseStep != 0) {
        left = left * v.tremoloFactor;
        right = right * v.tremoloFactor;
    }
    if (sample.modes & ModeEnvelope) {
        const float level =
            float(envelopeVolumeTable[std::clamp(v.envLevel >> kEnvelopeTableShift, 0, kEnvelopeTableLast)]);
        left = left * level;
        right = right * level;
    }
    v.leftGain = gainOf(left);
    if (panned) v.rightGain = gainOf(right);
}

}  // namespace tz
