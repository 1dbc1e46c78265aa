#include "synth/simd_path.h"

#include <atomic>

#if TZ_AVX2_PATH
#include <cpuid.h>
#endif

namespace tz {
namespace {

#if TZ_AVX2_PATH
// AVX2 needs the instructions and an operating system that saves the YMM
// registers on a context switch (XCR0 bits 1 and 2); the second part is what
// tells a CPU with AVX2 under an old or restricted system apart.
bool machineHasAvx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid(1, a, b, c, d);
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 6) != 6) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
}
#endif

SimdPath widestPath() {
#if TZ_AVX2_PATH
    static const SimdPath widest = machineHasAvx2() ? SimdPath::Avx2 : SimdPath::Baseline;
    return widest;
#else
    return SimdPath::Baseline;
#endif
}

// -1 until a path is forced.
std::atomic<int> forcedPath{-1};

}  // namespace

const char* simdPathName(SimdPath path) {
    switch (path) {
        case SimdPath::Plain: return "plain";
#if defined(__SSE2__)
        case SimdPath::Baseline: return "baseline (SSE2)";
#else
        case SimdPath::Baseline: return "baseline";
#endif
        case SimdPath::Avx2: return "AVX2";
    }
    return "?";
}

bool simdPathAvailable(SimdPath path) {
    return path != SimdPath::Avx2 || widestPath() == SimdPath::Avx2;
}

SimdPath activeSimdPath() {
    const int forced = forcedPath.load(std::memory_order_relaxed);
    return forced >= 0 ? SimdPath(forced) : widestPath();
}

bool forceSimdPath(SimdPath path) {
    if (!simdPathAvailable(path)) return false;
    forcedPath.store(int(path), std::memory_order_relaxed);
    return true;
}

}  // namespace tz
