// The engine's per-frame loops (interpolation, mixing, output conversion)
// come in a plain version, one frame at a time, a baseline version (SSE2 on
// x86, which every x86-64 CPU and the 32-bit build have; the plain loops
// elsewhere) and, on x86 with GCC or Clang, an AVX2 version compiled for that
// instruction set alone. The widest path the CPU and the operating system
// support is used; all give the same bits, which the tests check by forcing
// each in turn against the plain loops.
#pragma once
#include <cstdint>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TZ_AVX2_PATH 1
// Marks a function whose body may use AVX2; it runs only once the CPU has
// been found to support it.
#define TZ_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TZ_AVX2_PATH 0
#endif

namespace tz {

enum class SimdPath : uint8_t { Plain = 0, Baseline = 1, Avx2 = 2 };
constexpr int kSimdPathCount = 3;

const char* simdPathName(SimdPath path);
// True when this build has the path and this machine can run it.
bool simdPathAvailable(SimdPath path);
// The path every song renders with: the widest available one, unless a test
// or a benchmark forced another.
SimdPath activeSimdPath();
// Renders with the given path from now on, for tests and benchmarks that
// compare the paths; false, and nothing changes, when it is not available.
bool forceSimdPath(SimdPath path);

}  // namespace tz
