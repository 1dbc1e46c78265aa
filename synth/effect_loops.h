// What the effect loops (synth/reverb_loops.inc, synth/chorus_loops.inc)
// share: the sine their sweeps follow, and the vector operations they are
// written with. A loop is written once, as a template over one of these
// sets, and runs one frame per lane: PlainOps one frame at a time, Sse2Ops
// four, Avx2Ops eight. Every lane does what the plain loop does to its
// frame, operation for operation in single-precision float (rounded to
// nearest, never contracted) or in 32-bit integers, so all paths give the
// same bits; the frames a wide loop leaves over at the end of a span go
// through PlainOps.
//
// Lanes are frames, so nothing here mixes lanes except the loads and stores
// of the interleaved stereo buses and mix, which move values between their
// stereo pairs and the lanes.
//
// The AVX2 set is defined between TZ_AVX2_BEGIN and TZ_AVX2_END, which compile
// every function in between for AVX2 alone; a loop template is included a
// second time in such a region to make its AVX2 version (see reverb.cpp).
#pragma once
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "synth/simd_path.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if TZ_AVX2_PATH
#include <immintrin.h>
#endif

#if defined(__GNUC__)
#define TZ_FX_INLINE inline __attribute__((always_inline))
#else
#define TZ_FX_INLINE inline
#endif

#if TZ_AVX2_PATH
#if defined(__clang__)
#define TZ_AVX2_BEGIN _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define TZ_AVX2_END _Pragma("clang attribute pop")
#else
#define TZ_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define TZ_AVX2_END _Pragma("GCC pop_options")
#endif
#endif

namespace tz::fx {

// One cycle of the sine in kSineSteps steps, and the first value again,
// from portableSin: the same on every build.
constexpr int kSineSteps = 1024;
std::vector<float> sineTable();
// The sine of a phase (2^32 a cycle), interpolated in the table.
inline float sineAt(const std::vector<float>& table, uint32_t phase) {
    const uint32_t step = phase >> 22;
    const float fraction = float(phase & 0x3FFFFF) * 0x1p-22f;
    const float a = table[step], b = table[step + 1];
    return a + (b - a) * fraction;
}

// A 64-bit bus or mix value saturated to 32 bits, as the wide loads do it.
TZ_FX_INLINE int32_t saturate32(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

struct PlainOps {
    static constexpr int kWidth = 1;
    using F = float;
    using I = int32_t;

    static TZ_FX_INLINE F load(const float* p) { return *p; }
    static TZ_FX_INLINE void store(float* p, F v) { *p = v; }
    static TZ_FX_INLINE F set(float v) { return v; }
    // Lane k holds start + k (exact for whole numbers below 2^24).
    static TZ_FX_INLINE F countFrom(float start) { return start; }
    static TZ_FX_INLINE F add(F a, F b) { return a + b; }
    static TZ_FX_INLINE F sub(F a, F b) { return a - b; }
    static TZ_FX_INLINE F mul(F a, F b) { return a * b; }
    // As the SSE instructions choose: the second value unless the first is
    // smaller (larger), so equal zeros of either sign give the same bits.
    static TZ_FX_INLINE F min(F a, F b) { return a < b ? a : b; }
    static TZ_FX_INLINE F max(F a, F b) { return a > b ? a : b; }
    static TZ_FX_INLINE F clamp(F v, F limit, F negativeLimit) { return min(max(v, negativeLimit), limit); }

    static TZ_FX_INLINE I loadInt(const int32_t* p) { return *p; }
    static TZ_FX_INLINE void storeInt(int32_t* p, I v) { *p = v; }
    static TZ_FX_INLINE I setInt(int32_t v) { return v; }
    static TZ_FX_INLINE I addInt(I a, I b) { return int32_t(uint32_t(a) + uint32_t(b)); }
    static TZ_FX_INLINE I orInt(I a, I b) { return a | b; }
    static TZ_FX_INLINE I andInt(I a, I b) { return a & b; }
    static TZ_FX_INLINE I shiftRight16(I a) { return a >> 16; }
    static TZ_FX_INLINE bool anyBits(I a) { return a != 0; }
    static TZ_FX_INLINE I bits(F v) { return std::bit_cast<int32_t>(v); }
    // Lane k holds start + k * step.
    static TZ_FX_INLINE I ramp(int32_t start, int32_t) { return start; }
    static TZ_FX_INLINE F toFloat(I v) { return float(v); }
    // Toward zero; the value lies within the int32 range.
    static TZ_FX_INLINE I truncate(F v) { return int32_t(v); }
    // The values at each lane's index and the next.
    static TZ_FX_INLINE void gatherPair(const float* base, I index, F& at, F& next) {
        at = base[index];
        next = base[index + 1];
    }

    // Frames of a stereo 64-bit bus, each value saturated to 32 bits and
    // made a float, left plus right.
    static TZ_FX_INLINE F loadBusSum(const int64_t* bus) {
        return float(saturate32(bus[0])) + float(saturate32(bus[1]));
    }
    // Adds the frames' left and right values, truncated, into the stereo mix.
    static TZ_FX_INLINE void addToMix(int64_t* mix, F left, F right) {
        mix[0] += truncate(left);
        mix[1] += truncate(right);
    }
    // Pairs of frames of a stereo 64-bit bus: the four values of each pair
    // summed in 64 bits (wrapping, which sums of voices never come near),
    // saturated to 32 bits and made a float.
    static TZ_FX_INLINE F loadBusPairSum(const int64_t* bus) {
        return float(saturate32(int64_t(uint64_t(bus[0]) + uint64_t(bus[1]) + uint64_t(bus[2]) + uint64_t(bus[3]))));
    }
    // Adds, per pair of frames, the first frame's and the second frame's
    // left and right values, truncated, into the stereo mix.
    static TZ_FX_INLINE void addPairsToMix(int64_t* mix, F firstLeft, F firstRight, F secondLeft, F secondRight) {
        mix[0] += truncate(firstLeft);
        mix[1] += truncate(firstRight);
        mix[2] += truncate(secondLeft);
        mix[3] += truncate(secondRight);
    }
};

#if defined(__SSE2__)
struct Sse2Ops {
    static constexpr int kWidth = 4;
    using F = __m128;
    using I = __m128i;

    static TZ_FX_INLINE F load(const float* p) { return _mm_loadu_ps(p); }
    static TZ_FX_INLINE void store(float* p, F v) { _mm_storeu_ps(p, v); }
    static TZ_FX_INLINE F set(float v) { return _mm_set1_ps(v); }
    static TZ_FX_INLINE F countFrom(float start) { return _mm_add_ps(_mm_set1_ps(start), _mm_setr_ps(0, 1, 2, 3)); }
    static TZ_FX_INLINE F add(F a, F b) { return _mm_add_ps(a, b); }
    static TZ_FX_INLINE F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static TZ_FX_INLINE F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static TZ_FX_INLINE F min(F a, F b) { return _mm_min_ps(a, b); }
    static TZ_FX_INLINE F max(F a, F b) { return _mm_max_ps(a, b); }
    static TZ_FX_INLINE F clamp(F v, F limit, F negativeLimit) { return min(max(v, negativeLimit), limit); }

    static TZ_FX_INLINE I loadInt(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static TZ_FX_INLINE void storeInt(int32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static TZ_FX_INLINE I setInt(int32_t v) { return _mm_set1_epi32(v); }
    static TZ_FX_INLINE I addInt(I a, I b) { return _mm_add_epi32(a, b); }
    static TZ_FX_INLINE I orInt(I a, I b) { return _mm_or_si128(a, b); }
    static TZ_FX_INLINE I andInt(I a, I b) { return _mm_and_si128(a, b); }
    static TZ_FX_INLINE I shiftRight16(I a) { return _mm_srai_epi32(a, 16); }
    static TZ_FX_INLINE bool anyBits(I a) { return _mm_movemask_epi8(_mm_cmpeq_epi32(a, _mm_setzero_si128())) != 0xFFFF; }
    static TZ_FX_INLINE I bits(F v) { return _mm_castps_si128(v); }
    static TZ_FX_INLINE I ramp(int32_t start, int32_t step) {
        const uint32_t s = uint32_t(start), d = uint32_t(step);
        return _mm_setr_epi32(int32_t(s), int32_t(s + d), int32_t(s + 2 * d), int32_t(s + 3 * d));
    }
    static TZ_FX_INLINE F toFloat(I v) { return _mm_cvtepi32_ps(v); }
    static TZ_FX_INLINE I truncate(F v) { return _mm_cvttps_epi32(v); }
    static TZ_FX_INLINE void gatherPair(const float* base, I index, F& at, F& next) {
        alignas(16) int32_t i[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(i), index);
        at = _mm_setr_ps(base[i[0]], base[i[1]], base[i[2]], base[i[3]]);
        next = _mm_setr_ps(base[i[0] + 1], base[i[1] + 1], base[i[2] + 1], base[i[3] + 1]);
    }

    // Two 64-bit values saturated to 32 bits, from each of two vectors: the
    // low half when the high half is its sign, else the limit of the high
    // half's sign (as the 16-bit output conversion splits its sums).
    static TZ_FX_INLINE I saturatePairs(const int64_t* p) {
        return saturatePairs(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)));
    }
    static TZ_FX_INLINE I saturatePairs(__m128i first, __m128i second) {
        const __m128 a = _mm_castsi128_ps(first), b = _mm_castsi128_ps(second);
        const __m128i low = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i high = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128i fits = _mm_cmpeq_epi32(high, _mm_srai_epi32(low, 31));
        const __m128i limit = _mm_xor_si128(_mm_srai_epi32(high, 31), _mm_set1_epi32(0x7FFFFFFF));
        return _mm_or_si128(_mm_and_si128(fits, low), _mm_andnot_si128(fits, limit));
    }
    static TZ_FX_INLINE F loadBusSum(const int64_t* bus) {
        const __m128 first = _mm_cvtepi32_ps(saturatePairs(bus));       // L0 R0 L1 R1
        const __m128 second = _mm_cvtepi32_ps(saturatePairs(bus + 4));  // L2 R2 L3 R3
        return _mm_add_ps(_mm_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0)),
                          _mm_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    static TZ_FX_INLINE void addPair(int64_t* mix, __m128i pair) {
        __m128i* at = reinterpret_cast<__m128i*>(mix);
        const __m128i sign = _mm_srai_epi32(pair, 31);
        _mm_storeu_si128(at, _mm_add_epi64(_mm_loadu_si128(at), _mm_unpacklo_epi32(pair, sign)));
        _mm_storeu_si128(at + 1, _mm_add_epi64(_mm_loadu_si128(at + 1), _mm_unpackhi_epi32(pair, sign)));
    }
    static TZ_FX_INLINE void addToMix(int64_t* mix, F left, F right) {
        const __m128i l = _mm_cvttps_epi32(left), r = _mm_cvttps_epi32(right);
        addPair(mix, _mm_unpacklo_epi32(l, r));      // L0 R0 L1 R1
        addPair(mix + 4, _mm_unpackhi_epi32(l, r));  // L2 R2 L3 R3
    }
    // A pair's two frames, left and right each: its four values summed.
    static TZ_FX_INLINE __m128i pairSums(const int64_t* bus) {
        const __m128i* p = reinterpret_cast<const __m128i*>(bus);
        const __m128i a = _mm_add_epi64(_mm_loadu_si128(p), _mm_loadu_si128(p + 1));      // pair 0: L, R
        const __m128i b = _mm_add_epi64(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3));  // pair 1: L, R
        return _mm_add_epi64(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
    }
    static TZ_FX_INLINE F loadBusPairSum(const int64_t* bus) {
        return _mm_cvtepi32_ps(saturatePairs(pairSums(bus), pairSums(bus + 8)));
    }
    static TZ_FX_INLINE void addPairsToMix(int64_t* mix, F firstLeft, F firstRight, F secondLeft, F secondRight) {
        const __m128i a = _mm_cvttps_epi32(firstLeft), b = _mm_cvttps_epi32(firstRight);
        const __m128i c = _mm_cvttps_epi32(secondLeft), d = _mm_cvttps_epi32(secondRight);
        const __m128i abLow = _mm_unpacklo_epi32(a, b), cdLow = _mm_unpacklo_epi32(c, d);  // pairs 0 1
        const __m128i abHigh = _mm_unpackhi_epi32(a, b), cdHigh = _mm_unpackhi_epi32(c, d);  // pairs 2 3
        addPair(mix, _mm_unpacklo_epi64(abLow, cdLow));
        addPair(mix + 4, _mm_unpackhi_epi64(abLow, cdLow));
        addPair(mix + 8, _mm_unpacklo_epi64(abHigh, cdHigh));
        addPair(mix + 12, _mm_unpackhi_epi64(abHigh, cdHigh));
    }
};
#endif

#if TZ_AVX2_PATH
TZ_AVX2_BEGIN
struct Avx2Ops {
    static constexpr int kWidth = 8;
    using F = __m256;
    using I = __m256i;

    static TZ_FX_INLINE F load(const float* p) { return _mm256_loadu_ps(p); }
    static TZ_FX_INLINE void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static TZ_FX_INLINE F set(float v) { return _mm256_set1_ps(v); }
    static TZ_FX_INLINE F countFrom(float start) {
        return _mm256_add_ps(_mm256_set1_ps(start), _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static TZ_FX_INLINE F add(F a, F b) { return _mm256_add_ps(a, b); }
    static TZ_FX_INLINE F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static TZ_FX_INLINE F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static TZ_FX_INLINE F min(F a, F b) { return _mm256_min_ps(a, b); }
    static TZ_FX_INLINE F max(F a, F b) { return _mm256_max_ps(a, b); }
    static TZ_FX_INLINE F clamp(F v, F limit, F negativeLimit) { return min(max(v, negativeLimit), limit); }

    static TZ_FX_INLINE I loadInt(const int32_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    static TZ_FX_INLINE void storeInt(int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static TZ_FX_INLINE I setInt(int32_t v) { return _mm256_set1_epi32(v); }
    static TZ_FX_INLINE I addInt(I a, I b) { return _mm256_add_epi32(a, b); }
    static TZ_FX_INLINE I orInt(I a, I b) { return _mm256_or_si256(a, b); }
    static TZ_FX_INLINE I andInt(I a, I b) { return _mm256_and_si256(a, b); }
    static TZ_FX_INLINE I shiftRight16(I a) { return _mm256_srai_epi32(a, 16); }
    static TZ_FX_INLINE bool anyBits(I a) { return !_mm256_testz_si256(a, a); }
    static TZ_FX_INLINE I bits(F v) { return _mm256_castps_si256(v); }
    static TZ_FX_INLINE I ramp(int32_t start, int32_t step) {
        const __m256i k = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_add_epi32(_mm256_set1_epi32(start), _mm256_mullo_epi32(k, _mm256_set1_epi32(step)));
    }
    static TZ_FX_INLINE F toFloat(I v) { return _mm256_cvtepi32_ps(v); }
    static TZ_FX_INLINE I truncate(F v) { return _mm256_cvttps_epi32(v); }
    static TZ_FX_INLINE void gatherPair(const float* base, I index, F& at, F& next) {
        at = _mm256_i32gather_ps(base, index, 4);
        next = _mm256_i32gather_ps(base + 1, index, 4);
    }

    // Four 64-bit values saturated to 32 bits from each of two loads, in
    // order (see Sse2Ops::saturatePairs; the in-lane shuffles leave them as
    // 0 1 4 5 2 3 6 7, which the 64-bit permute puts right).
    static TZ_FX_INLINE I saturateQuads(const int64_t* p) {
        return saturateQuads(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4)));
    }
    static TZ_FX_INLINE I saturateQuads(__m256i first, __m256i second) {
        const __m256 a = _mm256_castsi256_ps(first), b = _mm256_castsi256_ps(second);
        const __m256i low = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        const __m256i high = _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
        const __m256i fits = _mm256_cmpeq_epi32(high, _mm256_srai_epi32(low, 31));
        const __m256i limit = _mm256_xor_si256(_mm256_srai_epi32(high, 31), _mm256_set1_epi32(0x7FFFFFFF));
        const __m256i values = _mm256_or_si256(_mm256_and_si256(fits, low), _mm256_andnot_si256(fits, limit));
        return _mm256_permute4x64_epi64(values, _MM_SHUFFLE(3, 1, 2, 0));
    }
    // The sums come out as frames 0 1 4 5 2 3 6 7 from the in-lane
    // shuffles; the 64-bit permute puts them in order.
    static TZ_FX_INLINE F loadBusSum(const int64_t* bus) {
        const __m256 first = _mm256_cvtepi32_ps(saturateQuads(bus));       // L0 R0 .. L3 R3
        const __m256 second = _mm256_cvtepi32_ps(saturateQuads(bus + 8));  // L4 R4 .. L7 R7
        const __m256 sums = _mm256_add_ps(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0)),
                                          _mm256_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1)));
        return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(sums), _MM_SHUFFLE(3, 1, 2, 0)));
    }
    static TZ_FX_INLINE void addQuad(int64_t* mix, __m128i quad) {
        __m256i* at = reinterpret_cast<__m256i*>(mix);
        _mm256_storeu_si256(at, _mm256_add_epi64(_mm256_loadu_si256(at), _mm256_cvtepi32_epi64(quad)));
    }
    // unpacklo/hi interleave within each 128-bit lane: frames 0 1 | 4 5 and
    // 2 3 | 6 7.
    static TZ_FX_INLINE void addToMix(int64_t* mix, F left, F right) {
        const __m256i l = _mm256_cvttps_epi32(left), r = _mm256_cvttps_epi32(right);
        const __m256i low = _mm256_unpacklo_epi32(l, r), high = _mm256_unpackhi_epi32(l, r);
        addQuad(mix, _mm256_castsi256_si128(low));
        addQuad(mix + 4, _mm256_castsi256_si128(high));
        addQuad(mix + 8, _mm256_extracti128_si256(low, 1));
        addQuad(mix + 12, _mm256_extracti128_si256(high, 1));
    }
    // Four pairs' sums, each pair one load of its four values: the values
    // of two pairs side by side are added in 128-bit halves, then the halves.
    static TZ_FX_INLINE __m256i pairSums(const int64_t* bus) {
        const __m256i* p = reinterpret_cast<const __m256i*>(bus);
        const __m256i p0 = _mm256_loadu_si256(p), p1 = _mm256_loadu_si256(p + 1);
        const __m256i p2 = _mm256_loadu_si256(p + 2), p3 = _mm256_loadu_si256(p + 3);
        const __m256i s01 = _mm256_add_epi64(_mm256_unpacklo_epi64(p0, p1), _mm256_unpackhi_epi64(p0, p1));
        const __m256i s23 = _mm256_add_epi64(_mm256_unpacklo_epi64(p2, p3), _mm256_unpackhi_epi64(p2, p3));
        return _mm256_add_epi64(_mm256_permute2x128_si256(s01, s23, 0x20), _mm256_permute2x128_si256(s01, s23, 0x31));
    }
    static TZ_FX_INLINE F loadBusPairSum(const int64_t* bus) {
        return _mm256_cvtepi32_ps(saturateQuads(pairSums(bus), pairSums(bus + 16)));
    }
    // Per pair the four values first left, first right, second left, second
    // right: interleaved in 32 bits within each 128-bit lane (pairs 0 1 2 3
    // in the low lanes, 4 5 6 7 in the high), then widened.
    static TZ_FX_INLINE void addPairsToMix(int64_t* mix, F firstLeft, F firstRight, F secondLeft, F secondRight) {
        const __m256i a = _mm256_cvttps_epi32(firstLeft), b = _mm256_cvttps_epi32(firstRight);
        const __m256i c = _mm256_cvttps_epi32(secondLeft), d = _mm256_cvttps_epi32(secondRight);
        const __m256i abLow = _mm256_unpacklo_epi32(a, b), cdLow = _mm256_unpacklo_epi32(c, d);
        const __m256i abHigh = _mm256_unpackhi_epi32(a, b), cdHigh = _mm256_unpackhi_epi32(c, d);
        const __m256i pair0 = _mm256_unpacklo_epi64(abLow, cdLow), pair1 = _mm256_unpackhi_epi64(abLow, cdLow);
        const __m256i pair2 = _mm256_unpacklo_epi64(abHigh, cdHigh), pair3 = _mm256_unpackhi_epi64(abHigh, cdHigh);
        addQuad(mix, _mm256_castsi256_si128(pair0));
        addQuad(mix + 4, _mm256_castsi256_si128(pair1));
        addQuad(mix + 8, _mm256_castsi256_si128(pair2));
        addQuad(mix + 12, _mm256_castsi256_si128(pair3));
        addQuad(mix + 16, _mm256_extracti128_si256(pair0, 1));
        addQuad(mix + 20, _mm256_extracti128_si256(pair1, 1));
        addQuad(mix + 24, _mm256_extracti128_si256(pair2, 1));
        addQuad(mix + 28, _mm256_extracti128_si256(pair3, 1));
    }
};
TZ_AVX2_END
#endif

}  // namespace tz::fx
