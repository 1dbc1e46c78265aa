// The low-pass of the standard sound, y = b0 (x + 2 x1 + x2) - a1 y1 - a2 y2,
// in integers: inputs carry kFilterStateBits below the sample, coefficients
// kFilterFractionBits, products and their sum 64 bits (below 2^61: |b0| <= 1,
// |a1| < 2, |a2| < 1 in coefficient units and |y| < 2^31), and the new output
// is bits 28..59 of the sum as a 32-bit value. The wide loop forms exactly
// these values in its lanes, so every path gives the same bits.
#include "synth/filter_lanes.h"

#include <algorithm>
#include <cmath>

#include "synth/simd_path.h"

#if TZ_AVX2_PATH
#include <immintrin.h>
#endif

namespace tz {
namespace {

static_assert(kFilterFractionBits == 28 && kFilterStateBits == 8, "the wide loop's shifts assume these");

const int16_t kSilence[kFilterLaneFrames] = {};

inline int16_t toSample(int32_t y) { return int16_t(std::clamp(y >> kFilterStateBits, -32768, 32767)); }

inline int32_t filterStep(const FilterState& f, int32_t x, int32_t& x1, int32_t& x2, int32_t& y1, int32_t& y2) {
    const int32_t xs = x + 2 * x1 + x2;
    const int64_t sum = int64_t(f.b0) * xs - int64_t(f.a1) * y1 - int64_t(f.a2) * y2;
    const int32_t y = int32_t(uint32_t(uint64_t(sum) >> kFilterFractionBits));
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
}

// One lane after the other.
void filterLanesPlain(FilterState* const* filters, const int16_t* const* in, int16_t* const* out, int count,
                      int32_t n) {
    for (int j = 0; j < count; ++j) {
        FilterState& f = *filters[j];
        int32_t x1 = f.x1, x2 = f.x2, y1 = f.y1, y2 = f.y2;
        for (int32_t t = 0; t < n; ++t)
            out[j][t] = toSample(filterStep(f, int32_t(in[j][t]) * (1 << kFilterStateBits), x1, x2, y1, y2));
        f.x1 = x1;
        f.x2 = x2;
        f.y1 = y1;
        f.y2 = y2;
    }
}

#if TZ_AVX2_PATH
// Eight rows of eight 16-bit values turned into eight columns.
TZ_TARGET_AVX2 inline void transpose8(__m128i r[8]) {
    __m128i a[8], b[8];
    for (int k = 0; k < 4; ++k) {
        a[2 * k] = _mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]);
        a[2 * k + 1] = _mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]);
    }
    for (int k = 0; k < 2; ++k) {
        b[4 * k] = _mm_unpacklo_epi32(a[4 * k], a[4 * k + 2]);
        b[4 * k + 1] = _mm_unpackhi_epi32(a[4 * k], a[4 * k + 2]);
        b[4 * k + 2] = _mm_unpacklo_epi32(a[4 * k + 1], a[4 * k + 3]);
        b[4 * k + 3] = _mm_unpackhi_epi32(a[4 * k + 1], a[4 * k + 3]);
    }
    for (int k = 0; k < 4; ++k) {
        r[2 * k] = _mm_unpacklo_epi64(b[k], b[k + 4]);
        r[2 * k + 1] = _mm_unpackhi_epi64(b[k], b[k + 4]);
    }
}

// Eight lanes in the eight 32-bit slots of a vector, frame by frame. The
// 32-by-32-bit multiply takes the even slots; the odd ones are shifted down
// for it, and their sums shifted up into place. The lanes' frames are turned
// across (a frame's eight lanes side by side) on the way in, and back.
TZ_TARGET_AVX2 void filterLanesAvx2(FilterState* const* filters, const int16_t* const* in, int16_t* const* out,
                                    int count, int32_t n) {
    alignas(32) int16_t across[kFilterLaneFrames * kFilterLanes];
    alignas(32) int32_t state[7][kFilterLanes] = {};
    const int16_t* from[kFilterLanes];
    for (int j = 0; j < kFilterLanes; ++j) {
        from[j] = j < count ? in[j] : kSilence;
        if (j >= count) continue;
        const FilterState& f = *filters[j];
        const int32_t values[7] = {f.b0, f.a1, f.a2, f.x1, f.x2, f.y1, f.y2};
        for (int k = 0; k < 7; ++k) state[k][j] = values[k];
    }
    int32_t t = 0;
    for (; t + 8 <= n; t += 8) {
        __m128i rows[8];
        for (int j = 0; j < 8; ++j) rows[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from[j] + t));
        transpose8(rows);
        for (int k = 0; k < 8; ++k) _mm_store_si128(reinterpret_cast<__m128i*>(across + (t + k) * kFilterLanes), rows[k]);
    }
    for (; t < n; ++t)
        for (int j = 0; j < kFilterLanes; ++j) across[t * kFilterLanes + j] = from[j][t];

    // The even lanes and the odd ones (shifted down) run as two recursions
    // side by side; only their outputs are put back together.
    const __m256i* at = reinterpret_cast<const __m256i*>(state);
    const __m256i b0 = _mm256_load_si256(at), a1 = _mm256_load_si256(at + 1), a2 = _mm256_load_si256(at + 2);
    const __m256i b0Odd = _mm256_srli_epi64(b0, 32), a1Odd = _mm256_srli_epi64(a1, 32),
                  a2Odd = _mm256_srli_epi64(a2, 32);
    __m256i x1 = _mm256_load_si256(at + 3), x2 = _mm256_load_si256(at + 4);
    __m256i y1 = _mm256_load_si256(at + 5), y2 = _mm256_load_si256(at + 6);
    __m256i y1Odd = _mm256_srli_epi64(y1, 32), y2Odd = _mm256_srli_epi64(y2, 32);
    for (t = 0; t < n; ++t) {
        __m128i* frame = reinterpret_cast<__m128i*>(across + t * kFilterLanes);
        const __m256i x = _mm256_slli_epi32(_mm256_cvtepi16_epi32(_mm_load_si128(frame)), kFilterStateBits);
        const __m256i xs = _mm256_add_epi32(_mm256_add_epi32(x, x2), _mm256_slli_epi32(x1, 1));
        const __m256i even = _mm256_sub_epi64(
            _mm256_sub_epi64(_mm256_mul_epi32(b0, xs), _mm256_mul_epi32(a2, y2)), _mm256_mul_epi32(a1, y1));
        const __m256i odd = _mm256_sub_epi64(
            _mm256_sub_epi64(_mm256_mul_epi32(b0Odd, _mm256_srli_epi64(xs, 32)), _mm256_mul_epi32(a2Odd, y2Odd)),
            _mm256_mul_epi32(a1Odd, y1Odd));
        x2 = x1;
        x1 = x;
        y2 = y1;
        y2Odd = y1Odd;
        // Bits 28..59 of each sum in the low half of its slot pair.
        y1 = _mm256_srli_epi64(even, kFilterFractionBits);
        y1Odd = _mm256_srli_epi64(odd, kFilterFractionBits);
        const __m256i y = _mm256_blend_epi32(y1, _mm256_slli_epi64(y1Odd, 32), 0xAA);
        const __m256i shifted = _mm256_srai_epi32(y, kFilterStateBits);
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(shifted, shifted), 0x08);
        _mm_store_si128(frame, _mm256_castsi256_si128(packed));
    }
    y1 = _mm256_blend_epi32(y1, _mm256_slli_epi64(y1Odd, 32), 0xAA);
    y2 = _mm256_blend_epi32(y2, _mm256_slli_epi64(y2Odd, 32), 0xAA);
    _mm256_store_si256(reinterpret_cast<__m256i*>(state[3]), x1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(state[4]), x2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(state[5]), y1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(state[6]), y2);
    for (int j = 0; j < count; ++j) {
        FilterState& f = *filters[j];
        f.x1 = state[3][j];
        f.x2 = state[4][j];
        f.y1 = state[5][j];
        f.y2 = state[6][j];
    }
    for (t = 0; t + 8 <= n; t += 8) {
        __m128i rows[8];
        for (int k = 0; k < 8; ++k)
            rows[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(across + (t + k) * kFilterLanes));
        transpose8(rows);
        for (int j = 0; j < count; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(out[j] + t), rows[j]);
    }
    for (; t < n; ++t)
        for (int j = 0; j < count; ++j) out[j][t] = across[t * kFilterLanes + j];
}
#endif

using LanesLoop = void (*)(FilterState* const*, const int16_t* const*, int16_t* const*, int, int32_t);

// Indexed by SimdPath.
// SSE2 has no signed 32-by-32-bit multiply into 64 bits, and made of the
// unsigned one it is slower than the plain loop: the baseline takes that.
constexpr LanesLoop kLanesLoops[kSimdPathCount] = {
    filterLanesPlain,
    filterLanesPlain,
#if TZ_AVX2_PATH
    filterLanesAvx2,
#else
    filterLanesPlain,
#endif
};

int32_t fixed(double v) {
    return int32_t(std::clamp(v * double(1 << kFilterFractionBits), -2147483647.0, 2147483647.0));
}

}  // namespace

void setFilterCoefficients(FilterState& filter, double b0, double a1, double a2) {
    // Within the ranges the sums are sized for (a stable low-pass is).
    filter.b0 = fixed(std::clamp(b0, 0.0, 1.0));
    filter.a1 = fixed(std::clamp(a1, -1.999999, 1.999999));
    filter.a2 = fixed(std::clamp(a2, -0.999999, 0.999999));
}

void runFilterLanes(FilterState* const* filters, const int16_t* const* in, int16_t* const* out, int count,
                    int32_t n) {
    count = std::clamp(count, 0, kFilterLanes);
    n = std::clamp(n, 0, kFilterLaneFrames);
    if (count == 0 || n == 0) return;
    kLanesLoops[int(activeSimdPath())](filters, in, out, count, n);
}

}  // namespace tz
