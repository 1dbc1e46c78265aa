// Conversions to 32-bit integers that stay defined for any input: file data
// and absurd parameters may carry values far beyond what a voice can use.
#pragma once
#include <cstdint>
#include <limits>

namespace tz {

// Truncation toward zero, saturating at the int32 limits; NaN gives 0.
inline int32_t saturatingTruncate(double x) {
    if (x != x) return 0;
    if (x >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (x <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return int32_t(x);
}

inline int32_t saturateToInt32(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

}  // namespace tz
