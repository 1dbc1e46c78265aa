#!/usr/bin/env bash
# The main job: install what is needed, build, and render a General-MIDI song
# to a WAV file with Debian's FluidR3 General-MIDI SoundFont, played directly
# (no bank file is made).
# Usage: scripts/main.sh [SONG.mid] [OUT.wav]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
"$root/scripts/deps.sh" build player data
ready=$(date +%s%N)
"$root/scripts/build.sh" linux
song=${1:-$TZ_SONGS_DIR/tttheme2.mid}
out=${2:-$root/out/$(basename "${song%.*}").wav}
mkdir -p "$(dirname "$out")"
start=$(date +%s%N)
"$root/build/tzmidi" render "$song" -o "$out" --bank "$TZ_FLUIDR3_SF2"
end=$(date +%s%N)
seconds() { local ms=$(( ($2 - $1) / 1000000 )); echo "$((ms / 1000)).$(printf '%03d' $((ms % 1000))) s"; }
echo "Rendered $song"
echo "  to $out, with $TZ_FLUIDR3_SF2"
echo "  in $(seconds "$start" "$end") ($(seconds "$ready" "$end") from the packages being there to the song rendered)"
