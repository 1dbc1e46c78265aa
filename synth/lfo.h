// The two low-frequency oscillators of a voice: tremolo, which the mixer
// applies as a factor on the gains once a control block, and vibrato, which
// gives the resampler a new step every vibratoPeriod frames. Both run a sine
// over 1024 phase steps and a sweep that fades the depth in over the first
// updates of a note.
#pragma once
#include <algorithm>
#include <cstdint>

#include "platform/saturate.h"

namespace tz {

struct Voice;

// 2 pi / 1024 as the double the engine has always used.
constexpr double kLfoRadiansPerStep = 0.006135923151542565;

// Depths are the patch's 0..255 scaled by 128.
constexpr int32_t kMaxLfoDepth = 255 * 128;

// One update of a sweep: the level grows by the step until it reaches 65536
// (full depth), when the step is cleared; until then the depth is scaled by
// level / 65536. A step of 0 means the sweep is over (or there was none).
inline int32_t sweptDepth(int32_t& sweepLevel, int32_t& sweepStep, int32_t depth) {
    if (sweepStep == 0) return depth;
    const int64_t level = saturateToInt32(int64_t(sweepLevel) + sweepStep);
    sweepLevel = int32_t(level);
    if (level >= 65536) {
        sweepStep = 0;
        return depth;
    }
    return int32_t(std::clamp<int64_t>((level * depth) >> 16, -kMaxLfoDepth, kMaxLfoDepth));
}

// Advances the voice's tremolo by one update and sets its tremoloFactor.
void updateTremolo(Voice& voice);

// Advances the voice's vibrato by one update and returns the new step for
// output at outputRate Hz, negated when negative is set.
int32_t vibratoStep(Voice& voice, int32_t outputRate, bool negative);

}  // namespace tz
