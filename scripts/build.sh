#!/usr/bin/env bash
# Configures and builds one flavour of the project.
#   scripts/build.sh linux      build/        tz_midi.so, tzmidi, tests
#   scripts/build.sh windows    build-win/    tz_midi.dll, tzmidi.exe, host test (Wine)
#   scripts/build.sh windows32  build-win32/  the 32-bit DLL (needs g++-mingw-w64-i686-posix)
#   scripts/build.sh sanitize   build-asan/   the whole suite with ASan+UBSan
#   scripts/build.sh tsan       build-tsan/   the whole suite with ThreadSanitizer
#   scripts/build.sh fuzz       build-fuzz/   libFuzzer targets (clang)
#   scripts/build.sh bench      build-bench/  benchmarks
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
flavour=${1:-linux}
jobs=$(nproc 2>/dev/null || echo 2)
case "$flavour" in
  linux)    dir=build;       args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  windows)  dir=build-win;   args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake") ;;
  windows32) dir=build-win32; args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake") ;;
  sanitize) dir=build-asan;  args=(-DCMAKE_BUILD_TYPE=Debug -DTZ_SANITIZE=ON -DCMAKE_CXX_COMPILER=g++) ;;
  tsan)     dir=build-tsan;  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTZ_TSAN=ON -DCMAKE_CXX_COMPILER=g++) ;;
  fuzz)     dir=build-fuzz;  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTZ_FUZZ=ON -DTZ_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++) ;;
  bench)    dir=build-bench; args=(-DCMAKE_BUILD_TYPE=Release -DTZ_BENCH=ON -DTZ_TESTS=OFF) ;;
  *) echo "build.sh: unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/$dir" -G Ninja "${args[@]}" >/dev/null
cmake --build "$root/$dir" -j "$jobs"
