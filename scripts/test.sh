#!/usr/bin/env bash
# Runs every test:
#   1. the Linux build's whole suite (unit, host-level, end-to-end on real songs);
#   2. the Windows DLL's host tests under Wine, and the same renders from both
#      builds; the same for the 32-bit DLL where its toolchain can be installed;
#   3. the whole suite again under AddressSanitizer, UndefinedBehaviorSanitizer
#      and LeakSanitizer (the long renders of whole real songs excepted: the
#      end-to-end song renders, the SoundFont-against-bank comparison and the
#      SIMD paths on real songs, whose loops the other tests run too);
#   4. under ThreadSanitizer, the host-level test (demuxers on two threads)
#      and the tests of songs sharing one bank from many threads;
#   5. each fuzz target for a bounded time on top of its seeds and kept inputs.
# FUZZ_SECONDS sets the time per fuzz target (default 20; 0 skips fuzzing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build player data win fuzz
jobs=$(nproc 2>/dev/null || echo 2)
# The packages above hold the songs and SoundFonts: a test that misses them
# fails here instead of skipping.
export TZ_REQUIRE_DATA=1

echo "== Linux build and tests"
"$root/scripts/build.sh" linux
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

echo "== Windows build, tests under Wine"
"$root/scripts/build.sh" windows
ctest --test-dir "$root/build-win" --output-on-failure

echo "== The same renders from the Linux library and the Windows DLL"
"$root/scripts/compare-renders.sh"

# Stages that could not run, said again in the last lines.
skipped=()

echo "== 32-bit Windows build, tests under Wine"
# Three tries for this optional stage's packages, not the four the required
# ones get, to keep the whole run inside its half hour.
if DEPS_ATTEMPTS=3 "$root/scripts/deps.sh" win32; then
  "$root/scripts/build.sh" windows32
  ctest --test-dir "$root/build-win32" --output-on-failure
  "$root/scripts/compare-renders.sh" build-win32
else
  echo "The 32-bit mingw-w64 toolchain or 32-bit Wine cannot be installed here: skipped."
  skipped+=("the 32-bit Windows build and its tests under Wine: its packages could not be installed")
fi

echo "== Sanitizer build and tests"
"$root/scripts/build.sh" sanitize
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" \
  -E 'EndToEndSong|EndToEnd\.ASoundFontPlaysExactly|SynthMixPaths\.RealSongs'

echo "== ThreadSanitizer build, threaded tests"
"$root/scripts/build.sh" tsan
TSAN_OPTIONS=halt_on_error=1 \
  ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" -R '^(host_abi|BankSharing\.)'

seconds=${FUZZ_SECONDS:-20}
if [ "$seconds" -gt 0 ]; then
  echo "== Fuzzing, ${seconds}s per target"
  "$root/scripts/fuzz.sh" "$seconds"
else
  skipped+=("fuzzing: FUZZ_SECONDS=0")
fi

echo
if [ ${#skipped[@]} -gt 0 ]; then
  echo "== Every stage passed that ran; these did NOT run:"
  for s in "${skipped[@]}"; do echo "   - $s"; done
else
  echo "== Every stage ran and passed"
fi
