#include "synth/output_convert.h"

#include <algorithm>

namespace tz {

namespace {

inline int32_t clip8(int64_t value) { return int32_t(std::clamp<int64_t>(value >> 21, -128, 127)); }
inline int32_t clip16(int64_t value) { return int32_t(std::clamp<int64_t>(value >> 13, -32768, 32767)); }

}  // namespace

void convertSigned8(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < count; ++i) out[i] = uint8_t(clip8(mix[i]));
}

void convertUnsigned8(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < count; ++i) out[i] = uint8_t(clip8(mix[i]) ^ 0x80);
}

void convertSigned16(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t s = uint16_t(clip16(mix[i]));
        out[2 * i] = uint8_t(s);
        out[2 * i + 1] = uint8_t(s >> 8);
    }
}

void convertSigned16Swapped(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t s = uint16_t(clip16(mix[i]));
        out[2 * i] = uint8_t(s >> 8);
        out[2 * i + 1] = uint8_t(s);
    }
}

void convertUnsigned16(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t s = uint16_t(clip16(mix[i]) ^ 0x8000);
        out[2 * i] = uint8_t(s);
        out[2 * i + 1] = uint8_t(s >> 8);
    }
}

ConvertOutputFn selectOutputConversion(uint16_t format) {
    switch (format) {
        case 8: return convertUnsigned8;
        case kFormatCodeSigned | 8: return convertSigned8;
        case kFormatCodeSigned | 16: return convertSigned16;
        case kFormatCodeSigned | kFormatCodeBigEndian | 16: return convertSigned16Swapped;
        default: return convertUnsigned16;
    }
}

}  // namespace tz
