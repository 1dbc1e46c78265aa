// Per-voice pitch and level: the pitch-bent frequency and resampling step,
// and the static panned amplitudes the mixer turns into gains.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;

// Writes the voice's frequency and step (keeping the step's sign), clears
// its vibrato step cache when it has vibrato, and fills the channel's
// cached bend factor when it is not yet computed.
void recomputeFrequency(MidiSong& song, int voiceIndex);
// Writes the voice's leftScale, panMode and, when panned, rightScale. The
// caller then runs updateGains.
void recomputeAmplitude(MidiSong& song, int voiceIndex);

// Frequency ratio (>= 1.0, single precision) of a bend of `offset` units of
// 1/8192 of the bend range away from the centre, for a range of
// `bendRange` semitones.
float bendFactorFor(int32_t bendRange, int32_t offset);

}  // namespace tz
