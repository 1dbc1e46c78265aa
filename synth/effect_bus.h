// The send buses the standard sound's effects (reverb.h, chorus.h) read.
//
// Per chunk of at most 1024 frames, each voice that sends to an effect adds
// its frames times its send gain into that effect's bus: stereo interleaved
// int64_t values at the mix buffer's scale (one output LSB is 2^13, full
// scale +-2^28), stored by the first voice as the group sums are into the
// mix (addGroupToMix), so the bus need not be cleared. After the voices the
// effect reads its bus and adds its output into the stereo mix buffer,
// before the chunk is converted. A chunk in which no voice sent anything
// passes no bus (nullptr); an effect whose tail has died away then costs
// nothing. Sums of voices stay far within the values the effects take
// (below +-2^61; the reverb's sums of four values wrap beyond).
#pragma once
#include <cstdint>

namespace tz {

// Output rates the effects accept; their delays scale with the rate.
constexpr int32_t kMinEffectRate = 8000;
constexpr int32_t kMaxEffectRate = 192000;

}  // namespace tz
