#!/usr/bin/env bash
# Renders a few songs with the Linux library and with the Windows DLL under
# Wine, with the same bank, and checks that the bytes are the same.
#   scripts/compare-renders.sh [WINDOWS_BUILD_DIR]   (default build-win)
# Needs build/ (its test bank is made here when the tests have not made it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
bank="$root/build/test-bank/TimGM6mb.dls"
[ -f "$bank" ] || "$root/build/tzmidi" bank "$TZ_TIMGM6MB_SF2" -o "$bank" --quiet
win="$root/${1:-build-win}"
export WINEPREFIX="$win/tests/wineprefix" WINEDEBUG=-all
songs=(tttheme2 chuggachugga harp_harmony)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
passed=0 failed=0
# Both sounds: the classic one and the standard one with its effects.
for sound in classic standard; do
  for s in "${songs[@]}"; do
    mid=$TZ_SONGS_DIR/$s.mid
    "$root/build/tzmidi" render "$mid" -o "$out/$s-linux.wav" --bank "$bank" --sound $sound --quiet
    "$root/scripts/wine-run.sh" "$win/tzmidi.exe" render "Z:$mid" -o "Z:$out/$s-windows.wav" --bank "Z:$bank" --sound $sound --quiet
    "$root/scripts/wine-run.sh" "$win/tzmidi.exe" render "Z:$mid" -o "Z:$out/$s-seek.wav" --bank "Z:$bank" --sound $sound --seek 7.5 --quiet
    "$root/build/tzmidi" render "$mid" -o "$out/$s-seek-linux.wav" --bank "$bank" --sound $sound --seek 7.5 --quiet
    if cmp -s "$out/$s-linux.wav" "$out/$s-windows.wav" && cmp -s "$out/$s-seek.wav" "$out/$s-seek-linux.wav"; then
      echo "same bytes, $sound: $s ($(stat -c %s "$out/$s-linux.wav") bytes)"; passed=$((passed + 1))
    else
      echo "DIFFERENT, $sound: $s"; failed=$((failed + 1))
    fi
  done
done
echo "compare-renders ($(basename "$win")): $passed passed, $failed failed"
[ "$failed" -eq 0 ]
