#include "synth/lfo.h"

#include <algorithm>
#include <cmath>

#include "platform/portable_math.h"
#include "platform/saturate.h"
#include "records/channel_voice.h"
#include "records/instrument.h"
#include "records/tables.h"

namespace tz {

namespace {

// 2 pi / 1024 as the double the engine has always used.
constexpr double kLfoRadiansPerStep = 0.006135923151542565;

// Depths are the patch's 0..255 scaled by 128.
constexpr int32_t kMaxLfoDepth = 255 * 128;

// One update of a sweep: the level grows by the step until it reaches 65536
// (full depth), when the step is cleared; until then the depth is scaled by
// level / 65536. A step of 0 means the sweep is over (or there was none).
int32_t sweptDepth(int32_t& sweepLevel, int32_t& sweepStep, int32_t depth) {
    if (sweepStep == 0) return depth;
    const int64_t level = saturateToInt32(int64_t(sweepLevel) + sweepStep);
    sweepLevel = int32_t(level);
    if (level >= 65536) {
        sweepStep = 0;
        return depth;
    }
    return int32_t(std::clamp<int64_t>((level * depth) >> 16, -kMaxLfoDepth, kMaxLfoDepth));
}

}  // namespace

void updateTremolo(Voice& v) {
    const int32_t depth = sweptDepth(v.tremoloSweepLevel, v.tremoloSweepStep, v.sample->tremoloDepth * 128);
    // The phase runs on for as long as the note sounds and wraps in 32 bits;
    // its top 27 bits count the 1024 steps of the sine.
    v.tremoloPhase = int32_t(uint32_t(v.tremoloPhase) + uint32_t(v.tremoloPhaseStep));
    const double angle = double(v.tremoloPhase >> 5) * kLfoRadiansPerStep;
    const float swing = float((portableSin(angle) + 1.0) * depth * 0x1p-17);
    v.tremoloFactor = 1.0f - swing;
}

int32_t vibratoStep(Voice& voice, int32_t outputRate, bool negative) {
    const int32_t phase = (voice.vibratoPhase >= 63 || voice.vibratoPhase < 0) ? 0 : voice.vibratoPhase + 1;
    voice.vibratoPhase = phase;
    // 32 cache slots serve the 64 phases: phases mirrored about the middle
    // of each half period (p and 31 - p, p and 95 - p) share a slot, so
    // phases 0..31 (sine positive) fold onto slots 0..15 and 32..63 onto
    // 16..31. Mirrored phases lie half a step off the sine's peaks, so their
    // sines differ slightly; the step computed first serves both.
    const int slot = phase < 16 ? 15 - phase : phase < 48 ? phase - 16 : 79 - phase;
    if (voice.vibratoStepCache[slot] != 0)
        return negative ? -voice.vibratoStepCache[slot] : voice.vibratoStepCache[slot];

    const Sample& sample = *voice.sample;
    const int32_t depth = sweptDepth(voice.vibratoSweepLevel, voice.vibratoSweepStep, sample.vibratoDepth * 128);

    // The unmodulated step, as the frequency recompute forms it, rounded to
    // single precision (a value too large for that saturates the step anyway).
    double base = double(sample.sampleRate) * double(voice.frequency) /
                  (double(sample.rootFrequency) * double(outputRate)) * 4096.0;
    if (std::fabs(base) < 0x1p40) base = double(float(base));
    // 64 phases a period: phase p sits at step 16 p of the 1024-step sine.
    const int32_t offset = int32_t(portableSin(double(phase * 16) * kLfoRadiansPerStep) * depth);
    double result;
    if (offset >= 0) {
        // Multiplied in this order, factor by factor: the rounding of each
        // product is part of the step.
        const PitchFactors f = pitchOffsetFactors(uint32_t(offset));
        result = base * f.fine * f.semitones;
    } else {
        result = base / pitchOffsetRatio(uint32_t(-offset));
    }
    // A step is kept as a non-negative magnitude; the caller gives it its sign.
    const int32_t step = saturatingTruncate(std::fabs(result));
    if (voice.vibratoSweepStep == 0) voice.vibratoStepCache[slot] = step;
    return negative ? -step : step;
}

}  // namespace tz
