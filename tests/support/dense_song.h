// The crafted dense song of the render benchmark and the SIMD path tests.
#pragma once
#include <cstdint>
#include <vector>

namespace tz::test {

// One minute at 120 beats per minute: every channel strikes a three-note
// chord each beat and holds it for two beats, with bends and volume moves,
// so far more notes are wanted than there are voices.
std::vector<uint8_t> denseSong();

}  // namespace tz::test
