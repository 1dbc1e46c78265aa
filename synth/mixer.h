// Voice mixing: envelopes, tremolo, gains and the mixing routines.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;

// Voices whose frames are summed in 32 bits before the sums join the 64-bit
// mix buffer: as many as can never pass the 32-bit range.
constexpr int kVoicesPerGroup = 8;

// Adds the voice's next frameCount frames into the 32-bit sums of its group
// (interleaved stereo, or mono), starting at its first frame.
void mixVoice(MidiSong& song, int voiceIndex, int32_t* mix, int32_t frameCount);
// Adds count 32-bit group sums into the 64-bit mix buffer, or stores them
// there when first, and leaves the group sums at 0.
void addGroupToMix(int64_t* mix, int32_t* group, int32_t count, bool first);
// Starts the next envelope stage; true when the voice has become Free.
bool advanceEnvelopeStage(MidiSong& song, int voiceIndex);
// One control-block step of the envelope; true when the voice became Free.
bool stepEnvelope(MidiSong& song, int voiceIndex);
void updateTremolo(MidiSong& song, int voiceIndex);
void updateGains(MidiSong& song, int voiceIndex);
// Mixes the resampled frames of a Dying voice with its gain falling to 0 over
// them. Used by mixVoice.
void fadeDyingVoice(MidiSong& song, int voiceIndex, int32_t* mix, int32_t frameCount, const int16_t* resampled);

}  // namespace tz
