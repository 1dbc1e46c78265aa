// A small General-MIDI style DLS bank for tests, fuzzing and the host test:
// a few melodic instruments with looping integer waveforms and a drum kit
// whose regions cover notes 35..81. The same bytes on every build.
#pragma once
#include <cstdint>
#include <vector>

namespace tz::test {

std::vector<uint8_t> smallGmBank();

}  // namespace tz::test
