// Per-voice pitch and level: the pitch-bent frequency and resampling step,
// and the static panned amplitudes the mixer turns into gains.
#pragma once
#include <cstdint>

namespace tz {

struct Channel;
struct MidiSong;
struct Voice;

// Writes the voice's frequency and step for output at outputRate Hz (keeping
// the step's sign), clears its vibrato step cache when it has vibrato, and
// fills the cached bend factor of `channel`, the voice's channel, when it is
// not yet computed.
void recomputeFrequency(Voice& voice, Channel& channel, int32_t outputRate);
// Writes the voice's leftScale, panMode and, when panned, rightScale, from
// its velocity, its channel's levels in the song, the master volume and the
// output layout. The caller then runs updateGains.
void recomputeAmplitude(Voice& voice, const MidiSong& song);

}  // namespace tz
