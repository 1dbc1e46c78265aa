// Conversion of the mix buffer to the output sample format.
#pragma once
#include <cstdint>

#include "records/midi_song.h"

namespace tz {

// Each converts `count` mix values (frames x channels) into packed output
// samples: the value shifted right arithmetically by 21 (8-bit) or 13
// (16-bit) and clipped to the signed range, so mix values at or beyond
// +-2^28 give full scale.
void convertSigned8(void* destination, const int64_t* mix, int32_t count);
void convertUnsigned8(void* destination, const int64_t* mix, int32_t count);
void convertSigned16(void* destination, const int64_t* mix, int32_t count);         // low byte first
void convertSigned16Swapped(void* destination, const int64_t* mix, int32_t count);  // high byte first
void convertUnsigned16(void* destination, const int64_t* mix, int32_t count);       // low byte first

// The conversion for a sample format, chosen by its whole code (0x0008,
// 0x8008, 0x8010, 0x9010; every other code: unsigned 16-bit low byte first).
ConvertOutputFn selectOutputConversion(SampleFormat format);

}  // namespace tz
