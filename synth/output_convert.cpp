#include "synth/output_convert.h"

#include <algorithm>

#include "synth/simd_path.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if TZ_AVX2_PATH
#include <immintrin.h>
#endif

namespace tz {

namespace {

inline int32_t clip8(int64_t value) { return int32_t(std::clamp<int64_t>(value >> 21, -128, 127)); }
inline int32_t clip16(int64_t value) { return int32_t(std::clamp<int64_t>(value >> 13, -32768, 32767)); }

// --- signed 16-bit, the host's format: plain, SSE2 and AVX2 loops ----------
//
// The wide loops split each 64-bit sum into its low and high 32 bits. A sum
// that fits 32 bits (high half = the low half's sign) is the low half, and
// its clip is the low half shifted by 13 and packed to 16 bits with
// saturation; a sum that does not fit lies beyond +-2^31, far past full
// scale, and clips to 32767 or -32768 by the sign of its high half. Stored
// as 16-bit integers on a little-endian machine, low byte first.

void convertSigned16Plain(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t s = uint16_t(clip16(mix[i]));
        out[2 * i] = uint8_t(s);
        out[2 * i + 1] = uint8_t(s >> 8);
    }
}

#if defined(__SSE2__)
// Four clipped sums, as 32-bit values within the 16-bit range or beyond it
// (which the pack then saturates), from the low and high halves of the sums.
inline __m128i clipHalves(__m128i low, __m128i high) {
    const __m128i fits = _mm_cmpeq_epi32(high, _mm_srai_epi32(low, 31));
    const __m128i shifted = _mm_srai_epi32(low, 13);
    const __m128i saturated = _mm_xor_si128(_mm_srai_epi32(high, 31), _mm_set1_epi32(0x7FFF));
    return _mm_or_si128(_mm_and_si128(fits, shifted), _mm_andnot_si128(fits, saturated));
}

// Sums i .. i + 3: their low halves, and their high halves.
inline __m128i clipFour(const int64_t* mix) {
    const __m128 a = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mix)));
    const __m128 b = _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mix + 2)));
    return clipHalves(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                      _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
}

void convertSigned16Sse2(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    int32_t i = 0;
    for (; i + 8 <= count; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i),
                         _mm_packs_epi32(clipFour(mix + i), clipFour(mix + i + 4)));
    convertSigned16Plain(out + 2 * i, mix + i, count - i);
}
#endif

#if TZ_AVX2_PATH
// Sums i .. i + 7 as in clipHalves; the in-lane shuffles leave them in the
// order 0 1 4 5 2 3 6 7, which the 64-bit permute puts right.
TZ_TARGET_AVX2 inline __m128i clipEight(const int64_t* mix) {
    const __m256 a = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(mix)));
    const __m256 b = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(mix + 4)));
    const __m256i low = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i high = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m256i fits = _mm256_cmpeq_epi32(high, _mm256_srai_epi32(low, 31));
    const __m256i shifted = _mm256_srai_epi32(low, 13);
    const __m256i saturated = _mm256_xor_si256(_mm256_srai_epi32(high, 31), _mm256_set1_epi32(0x7FFF));
    const __m256i clipped = _mm256_or_si256(_mm256_and_si256(fits, shifted), _mm256_andnot_si256(fits, saturated));
    const __m256i ordered = _mm256_permute4x64_epi64(clipped, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_packs_epi32(_mm256_castsi256_si128(ordered), _mm256_extracti128_si256(ordered, 1));
}

TZ_TARGET_AVX2 void convertSigned16Avx2(void* destination, const int64_t* mix, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(destination);
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), clipEight(mix + i));
    convertSigned16Plain(out + 2 * i, mix + i, count - i);
}
#endif

// Indexed by SimdPath.
constexpr ConvertOutputFn kConvertSigned16[kSimdPathCount] = {
    convertSigned16Plain,
#if defined(__SSE2__)
    convertSigned16Sse2,
#else
    convertSigned16Plain,
#endif
#if TZ_AVX2_PATH
    convertSigned16Avx2,
#elif defined(__SSE2__)
    convertSigned16Sse2,
#else
    convertSigned16Plain,
#endif
};

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
    kConvertSigned16[int(activeSimdPath())](destination, mix, count);
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

ConvertOutputFn selectOutputConversion(SampleFormat format) {
    switch (format.code) {
        case 8: return convertUnsigned8;
        case SampleFormat::kSigned | 8: return convertSigned8;
        case SampleFormat::kSigned | 16: return convertSigned16;
        case SampleFormat::kSigned | SampleFormat::kBigEndian | 16: return convertSigned16Swapped;
        default: return convertUnsigned16;
    }
}

}  // namespace tz
