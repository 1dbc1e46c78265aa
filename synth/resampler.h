// Resampling of a voice's sample data to the output rate.
#pragma once
#include <cstdint>
#include <span>

namespace tz {

struct Voice;

// Resamples the voice's next frames for output at outputRate Hz into
// resampleBuffer (or hands out a sample already at that rate in place). On
// entry frameCount is the number wanted (cut to the buffer's size); on return
// the number available at the result, lower only when the sample has ended
// (the voice is then Free).
const int16_t* resampleVoice(Voice& voice, std::span<int16_t> resampleBuffer, int32_t outputRate,
                             int32_t& frameCount);

}  // namespace tz
