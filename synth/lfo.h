// The two low-frequency oscillators of a voice: tremolo, which the mixer
// applies as a factor on the gains once a control block, and vibrato, which
// gives the resampler a new step every vibratoPeriod frames. Both run a sine
// over 1024 phase steps and a sweep that fades the depth in over the first
// updates of a note.
#pragma once
#include <cstdint>

namespace tz {

struct Voice;

// Advances the voice's tremolo by one update and sets its tremoloFactor.
void updateTremolo(Voice& voice);

// Advances the voice's vibrato by one update and returns the new step for
// output at outputRate Hz, negated when negative is set.
int32_t vibratoStep(Voice& voice, int32_t outputRate, bool negative);

}  // namespace tz
