#!/usr/bin/env bash
# The main job: install what is needed, build, make the default bank once,
# and render a General-MIDI song to a WAV file.
# Usage: scripts/main.sh [SONG.mid] [OUT.wav]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
"$root/scripts/deps.sh" build player data
"$root/scripts/build.sh" linux
"$root/scripts/make-default-bank.sh"
song=${1:-$TZ_SONGS_DIR/tttheme2.mid}
out=${2:-$root/out/$(basename "${song%.*}").wav}
mkdir -p "$(dirname "$out")"
start=$(date +%s%N)
"$root/build/tzmidi" render "$song" -o "$out"
end=$(date +%s%N)
ms=$(( (end - start) / 1000000 ))
echo "Rendered $song"
echo "  to $out"
echo "  in $((ms / 1000)).$(printf '%03d' $((ms % 1000))) s"
