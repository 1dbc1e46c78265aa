// Voice mixing: integer gains from the amplitudes, the tremolo factor and the
// envelope level, and the accumulation of a voice's resampled frames into the
// 32-bit sums of a group of voices, which the render loop adds into the song's
// 64-bit mix buffer.
//
// Per frame only integer multiply-adds happen; envelope (synth/envelope.h),
// tremolo (synth/lfo.h) and gains advance once per control block. Each layout (mono, stereo) has a constant
// routine and an updating one; the per-frame loops are the same in both and
// come in a plain, an SSE2 and an AVX2 version, chosen by the SIMD path.
#include "synth/mixer.h"

#include <algorithm>
#include <limits>

#include "records/midi_song.h"
#include "synth/envelope.h"
#include "synth/lfo.h"
#include "synth/resampler.h"
#include "synth/simd_path.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if TZ_AVX2_PATH
#include <immintrin.h>
#endif

namespace tz {
namespace {

constexpr int32_t kMaxGain = 8191;
constexpr int kDyingFadeFrames = 20;

// Gains lie within +-8191 and frames within the 16-bit range, so a product
// is a 16-by-16-bit multiply into 32 bits and a voice adds at most
// 32768 * 8191 (under 2^28) to a slot per frame; a group's eight voices stay
// below 2^31, so its 32-bit sums are exact and so are the 64-bit sums made
// from them, whatever the grouping.
static_assert(int64_t(kVoicesPerGroup) * 32768 * kMaxGain <= std::numeric_limits<int32_t>::max());

// --- the per-frame loops -----------------------------------------------------
//
// Stereo sums are interleaved, left then right; mono sums one per frame. The
// wide loops give each lane the product the plain loop forms: a 16-bit
// multiply-add of the pair (frame, 0) or (frame, sign) against (gain, 0) is
// frame * gain exactly, and 32-bit adds of exact products are the plain
// loop's adds.

using MonoLoop = void (*)(int32_t* mix, const int16_t* in, int32_t n, int32_t gain);
using StereoLoop = void (*)(int32_t* mix, const int16_t* in, int32_t n, int32_t left, int32_t right);
// Adds count group sums into the 64-bit mix (or stores them, for the first
// group of a chunk) and clears them for the next group.
using AddGroupLoop = void (*)(int64_t* mix, int32_t* group, int32_t count, bool first);

void mixMonoPlain(int32_t* __restrict mix, const int16_t* __restrict in, int32_t n, int32_t gain) {
    const int16_t g = int16_t(gain);
    for (int32_t i = 0; i < n; ++i) mix[i] += int32_t(in[i]) * g;
}

void mixStereoPlain(int32_t* __restrict mix, const int16_t* __restrict in, int32_t n, int32_t left, int32_t right) {
    const int16_t l = int16_t(left);
    const int16_t r = int16_t(right);
    for (int32_t i = 0; i < n; ++i) {
        mix[2 * i] += int32_t(in[i]) * l;
        mix[2 * i + 1] += int32_t(in[i]) * r;
    }
}

void addGroupPlain(int64_t* __restrict mix, int32_t* __restrict group, int32_t count, bool first) {
    if (first)
        for (int32_t i = 0; i < count; ++i) mix[i] = group[i];
    else
        for (int32_t i = 0; i < count; ++i) mix[i] += group[i];
    std::fill_n(group, count, 0);
}

#if defined(__SSE2__)
// Pairs (frame, 0): the low four frames of x, one per 32-bit lane.
inline __m128i framesLow(__m128i x) { return _mm_unpacklo_epi16(x, _mm_setzero_si128()); }
inline __m128i framesHigh(__m128i x) { return _mm_unpackhi_epi16(x, _mm_setzero_si128()); }

inline void add4(int32_t* mix, __m128i products) {
    __m128i* at = reinterpret_cast<__m128i*>(mix);
    _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), products));
}

void mixMonoSse2(int32_t* mix, const int16_t* in, int32_t n, int32_t gain) {
    const __m128i g = _mm_set1_epi32(int32_t(uint16_t(gain)));  // (gain, 0) pairs
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        add4(mix + i, _mm_madd_epi16(framesLow(x), g));
        add4(mix + i + 4, _mm_madd_epi16(framesHigh(x), g));
    }
    mixMonoPlain(mix + i, in + i, n - i, gain);
}

// Each frame's pair is doubled ((f, 0), (f, 0)) and multiplied with
// (left, 0), (right, 0): the interleaved left and right products.
void mixStereoSse2(int32_t* mix, const int16_t* in, int32_t n, int32_t left, int32_t right) {
    const __m128i g = _mm_setr_epi16(int16_t(left), 0, int16_t(right), 0, int16_t(left), 0, int16_t(right), 0);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i lo = framesLow(x), hi = framesHigh(x);
        add4(mix + 2 * i, _mm_madd_epi16(_mm_unpacklo_epi32(lo, lo), g));
        add4(mix + 2 * i + 4, _mm_madd_epi16(_mm_unpackhi_epi32(lo, lo), g));
        add4(mix + 2 * i + 8, _mm_madd_epi16(_mm_unpacklo_epi32(hi, hi), g));
        add4(mix + 2 * i + 12, _mm_madd_epi16(_mm_unpackhi_epi32(hi, hi), g));
    }
    mixStereoPlain(mix + 2 * i, in + i, n - i, left, right);
}

// Sign extension to 64 bits: each sum next to its sign (0 or -1).
void addGroupSse2(int64_t* mix, int32_t* group, int32_t count, bool first) {
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        __m128i* at = reinterpret_cast<__m128i*>(mix + i);
        __m128i* sums = reinterpret_cast<__m128i*>(group + i);
        const __m128i x = _mm_loadu_si128(sums);
        const __m128i sign = _mm_srai_epi32(x, 31);
        __m128i low = _mm_unpacklo_epi32(x, sign), high = _mm_unpackhi_epi32(x, sign);
        if (!first) {
            low = _mm_add_epi64(low, _mm_loadu_si128(at));
            high = _mm_add_epi64(high, _mm_loadu_si128(at + 1));
        }
        _mm_storeu_si128(at, low);
        _mm_storeu_si128(at + 1, high);
        _mm_storeu_si128(sums, _mm_setzero_si128());
    }
    addGroupPlain(mix + i, group + i, count - i, first);
}
#endif

#if TZ_AVX2_PATH
TZ_TARGET_AVX2 inline void add8(int32_t* mix, __m256i products) {
    __m256i* at = reinterpret_cast<__m256i*>(mix);
    _mm256_storeu_si256(at, _mm256_add_epi32(_mm256_loadu_si256(at), products));
}

// Eight frames sign-extended to 32 bits: pairs (frame, sign).
TZ_TARGET_AVX2 inline __m256i load8(const int16_t* in) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
}

TZ_TARGET_AVX2 void mixMonoAvx2(int32_t* mix, const int16_t* in, int32_t n, int32_t gain) {
    const __m256i g = _mm256_set1_epi32(int32_t(uint16_t(gain)));  // (gain, 0) pairs
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) add8(mix + i, _mm256_madd_epi16(load8(in + i), g));
    mixMonoPlain(mix + i, in + i, n - i, gain);
}

// Each frame doubled across two lanes, multiplied with (left, 0), (right, 0).
TZ_TARGET_AVX2 void mixStereoAvx2(int32_t* mix, const int16_t* in, int32_t n, int32_t left, int32_t right) {
    const __m256i g = _mm256_set1_epi64x(int64_t(uint16_t(left)) | int64_t(uint16_t(right)) << 32);
    const __m256i firstFour = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i lastFour = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i x = load8(in + i);
        add8(mix + 2 * i, _mm256_madd_epi16(_mm256_permutevar8x32_epi32(x, firstFour), g));
        add8(mix + 2 * i + 8, _mm256_madd_epi16(_mm256_permutevar8x32_epi32(x, lastFour), g));
    }
    if (i + 4 <= n) {
        const __m128i x = _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i)));
        const __m128i g4 = _mm256_castsi256_si128(g);
        __m128i* at = reinterpret_cast<__m128i*>(mix + 2 * i);
        _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), _mm_madd_epi16(_mm_unpacklo_epi32(x, x), g4)));
        _mm_storeu_si128(at + 1,
                         _mm_add_epi32(_mm_loadu_si128(at + 1), _mm_madd_epi16(_mm_unpackhi_epi32(x, x), g4)));
        i += 4;
    }
    mixStereoPlain(mix + 2 * i, in + i, n - i, left, right);
}

TZ_TARGET_AVX2 void addGroupAvx2(int64_t* mix, int32_t* group, int32_t count, bool first) {
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i* at = reinterpret_cast<__m256i*>(mix + i);
        __m128i* sums = reinterpret_cast<__m128i*>(group + i);
        __m256i low = _mm256_cvtepi32_epi64(_mm_loadu_si128(sums));
        __m256i high = _mm256_cvtepi32_epi64(_mm_loadu_si128(sums + 1));
        if (!first) {
            low = _mm256_add_epi64(low, _mm256_loadu_si256(at));
            high = _mm256_add_epi64(high, _mm256_loadu_si256(at + 1));
        }
        _mm256_storeu_si256(at, low);
        _mm256_storeu_si256(at + 1, high);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums), _mm256_setzero_si256());
    }
    addGroupPlain(mix + i, group + i, count - i, first);
}
#endif

struct MixLoops {
    MonoLoop mono;
    StereoLoop stereo;
    AddGroupLoop addGroup;
};

// Indexed by SimdPath.
constexpr MixLoops kMixLoops[kSimdPathCount] = {
    {mixMonoPlain, mixStereoPlain, addGroupPlain},
#if defined(__SSE2__)
    {mixMonoSse2, mixStereoSse2, addGroupSse2},
#else
    {mixMonoPlain, mixStereoPlain, addGroupPlain},
#endif
#if TZ_AVX2_PATH
    {mixMonoAvx2, mixStereoAvx2, addGroupAvx2},
#elif defined(__SSE2__)
    {mixMonoSse2, mixStereoSse2, addGroupSse2},
#else
    {mixMonoPlain, mixStereoPlain, addGroupPlain},
#endif
};

inline const MixLoops& mixLoops() { return kMixLoops[int(activeSimdPath())]; }

// --- routines per layout -----------------------------------------------------

enum class Layout { Mono, Stereo };

// Output slots per frame in the group sums.
template <Layout L>
constexpr int kStride = L == Layout::Mono ? 1 : 2;

// The gains a voice puts on the left and right slot. Centre is a panned voice
// with the left gain on both sides, one side a panned voice with gain 0 on
// the other: a product with 0 leaves its slot as it was, so one stereo loop
// serves every pan mode.
struct SideGains {
    int32_t left, right;
};

inline SideGains sideGains(const Voice& v) {
    switch (v.panMode) {
        case PanMode::Panned: return {v.leftGain, v.rightGain};
        case PanMode::Centre: return {v.leftGain, v.leftGain};
        case PanMode::RightOnly: return {0, v.leftGain};
        default: return {v.leftGain, 0};  // LeftOnly, and any other mode
    }
}

template <Layout L>
inline void mixWithGains(const MixLoops& loops, const Voice& v, int32_t* mix, const int16_t* in, int32_t n) {
    if constexpr (L == Layout::Mono) {
        loops.mono(mix, in, n, v.leftGain);
    } else {
        const SideGains g = sideGains(v);
        loops.stereo(mix, in, n, g.left, g.right);
    }
}

// Constant routine: the envelope stands still and there is no tremolo.
template <Layout L>
void mixConstant(const Voice& v, int32_t* mix, const int16_t* in, int32_t n) {
    mixWithGains<L>(mixLoops(), v, mix, in, n);
}

int32_t gainOf(float amplitude) {
    const float scaled = amplitude * 4096.0f;
    if (scaled >= float(kMaxGain + 1)) return kMaxGain;
    // Amplitudes are never negative; a negative one from odd data is bounded
    // like a positive one so that products stay within 32 bits.
    if (!(scaled > -float(kMaxGain + 1))) return scaled < 0.0f ? -kMaxGain : 0;
    return int32_t(scaled);
}

// The gains from the amplitudes, the tremolo and the envelope level (what
// updateGains does), inline in the control block step.
inline void computeGains(Voice& v) {
    const Sample& sample = *v.sample;
    const bool panned = v.panMode == PanMode::Panned;
    float left = v.leftScale;
    float right = v.rightScale;
    if (v.tremoloPhaseStep != 0) {
        left = left * v.tremoloFactor;
        right = right * v.tremoloFactor;
    }
    if (sample.modes & ModeEnvelope) {
        const float level = envelopeGain(v.envLevel);
        left = left * level;
        right = right * level;
    }
    v.leftGain = gainOf(left);
    if (panned) v.rightGain = gainOf(right);
}

// Starts a control block: envelope step, tremolo step, new gains. True when
// the envelope has ended and the voice is Free.
inline bool startControlBlock(Voice& v) {
    if (v.envStep != 0 && stepEnvelope(v)) return true;
    if (v.tremoloPhaseStep != 0) updateTremolo(v);
    computeGains(v);
    return false;
}

// Updating routine: the gains change every controlRatio frames, counted in
// blockCountdown across calls.
template <Layout L>
void mixUpdating(Voice& v, int32_t controlRatio, int32_t* mix, const int16_t* in, int32_t n) {
    const MixLoops& loops = mixLoops();
    const int32_t ratio = std::max(controlRatio, 1);
    int32_t c = v.blockCountdown;
    if (c <= 0) {
        c = ratio;
        if (startControlBlock(v)) return;
    }
    if (n <= 0) return;
    for (;;) {
        if (c >= n) {
            mixWithGains<L>(loops, v, mix, in, n);
            v.blockCountdown = c - n;
            return;
        }
        mixWithGains<L>(loops, v, mix, in, c);
        mix += c * kStride<L>;
        in += c;
        n -= c;
        c = ratio;
        if (startControlBlock(v)) return;
    }
}

// Mixes the resampled frames of a Dying voice with its gain falling to 0 over
// them, into mono or stereo sums.
void fadeDyingVoice(const Voice& v, bool mono, int32_t* mix, int32_t frameCount, const int16_t* in) {
    const int32_t n = std::max(frameCount, 0);
    const int32_t divisor = std::max(n, 1);
    int32_t g = v.leftGain;
    int32_t dg = -(g / divisor);
    if (dg == 0) dg = -1;
    if (mono) {
        for (int32_t i = 0; i < n; ++i) {
            g += dg;
            if (g < 0) break;
            mix[i] += int32_t(in[i]) * g;
        }
        return;
    }
    switch (v.panMode) {
        case PanMode::Panned: {
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
        case PanMode::Centre:
            for (int32_t i = 0; i < n; ++i) {
                g += dg;
                if (g < 0) break;
                mix[2 * i] += int32_t(in[i]) * g;
                mix[2 * i + 1] += int32_t(in[i]) * g;
            }
            break;
        case PanMode::LeftOnly:
        case PanMode::RightOnly: {
            int32_t* slot = mix + (v.panMode == PanMode::RightOnly ? 1 : 0);
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

}  // namespace

MixContext mixContext(MidiSong& song) {
    return MixContext{song.resampleBuffer, song.outputRate, song.controlRatio, song.format.mono()};
}


void mixVoice(Voice& v, const MixContext& context, int32_t* mix, int32_t frameCount) {
    if (v.sample == nullptr) {
        v.state = VoiceState::Free;
        return;
    }
    if (v.state == VoiceState::Dying) {
        int32_t n = std::min(frameCount, kDyingFadeFrames);
        const int16_t* in = resampleVoice(v, context.resampleBuffer, context.outputRate, n);
        fadeDyingVoice(v, context.mono, mix, n, in);
        v.state = VoiceState::Free;
        return;
    }
    int32_t n = frameCount;
    const int16_t* in = resampleVoice(v, context.resampleBuffer, context.outputRate, n);
    const bool moving = v.envStep != 0 || v.tremoloPhaseStep != 0;
    if (context.mono)
        return moving ? mixUpdating<Layout::Mono>(v, context.controlRatio, mix, in, n)
                      : mixConstant<Layout::Mono>(v, mix, in, n);
    return moving ? mixUpdating<Layout::Stereo>(v, context.controlRatio, mix, in, n)
                  : mixConstant<Layout::Stereo>(v, mix, in, n);
}

void addGroupToMix(int64_t* mix, int32_t* group, int32_t count, bool first) {
    mixLoops().addGroup(mix, group, count, first);
}

void updateGains(Voice& voice) { computeGains(voice); }

void addFrames(int32_t* mix, const int16_t* in, int32_t n, int32_t left, int32_t right, bool mono) {
    if (n <= 0) return;
    if (mono)
        mixLoops().mono(mix, in, n, left);
    else
        mixLoops().stereo(mix, in, n, left, right);
}

int32_t gainOfAmplitude(float amplitude) { return gainOf(amplitude); }

}  // namespace tz
