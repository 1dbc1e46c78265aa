// Resampling of a voice's sample data to the output rate.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;
struct Voice;

// Resamples the voice's next frames. On entry frameCount is the number
// wanted; on return the number available at the result, lower only when the
// sample has ended (the voice is then Free).
const int16_t* resampleVoice(MidiSong& song, int voiceIndex, int32_t& frameCount);

}  // namespace tz
