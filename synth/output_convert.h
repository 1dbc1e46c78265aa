// Conversion of the mix buffer to the output sample format.
#pragma once
#include <cstdint>

#include "midi/song.h"

namespace tz {

// The conversion for a sample format code (0x0008, 0x8008, 0x8010, 0x9010;
// every other code: unsigned 16-bit low byte first).
ConvertOutputFn selectOutputConversion(uint16_t format);

}  // namespace tz
