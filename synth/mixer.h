// Voice mixing: envelopes, tremolo, gains and the mixing routines.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;

// Adds the voice's next frameCount frames into mix (interleaved stereo, or
// mono), starting at its first frame.
void mixVoice(MidiSong& song, int voiceIndex, int64_t* mix, int32_t frameCount);
// Starts the next envelope stage; true when the voice has become Free.
bool advanceEnvelopeStage(MidiSong& song, int voiceIndex);
// One control-block step of the envelope; true when the voice became Free.
bool stepEnvelope(MidiSong& song, int voiceIndex);
void updateTremolo(MidiSong& song, int voiceIndex);
void updateGains(MidiSong& song, int voiceIndex);
// Mixes the resampled frames of a Dying voice with its gain falling to 0 over
// them. Used by mixVoice.
void fadeDyingVoice(MidiSong& song, int voiceIndex, int64_t* mix, int32_t frameCount, const int16_t* resampled);

}  // namespace tz
