#!/usr/bin/env bash
# Effects report: our reverb and chorus measured next to FluidSynth's and
# SpessaSynth's with the same SoundFont (reverb time, width, ringing and
# level on a click song; depth, rate and level of the chorus on a held note),
# and what they cost: frames per second per SIMD path, and the reverb over
# every OpenMSX song against the engine's own time to render them.
#   scripts/effects-report.sh [SOUNDFONT.sf2]   (default TimGM6mb)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build data bench spessa
"$root/scripts/build.sh" bench >/dev/null
"$root/scripts/build.sh" linux >/dev/null
sf2=${1:-/usr/share/sounds/sf2/TimGM6mb.sf2}
bank="$root/build-bench/$(basename "$sf2" .sf2).dls"
# Made afresh: the converter may have changed since the last run.
"$root/build/tzmidi" bank "$sf2" -o "$bank" --quiet
"$root/build-bench/bench/effects_report" --bank "$bank" --sf2 "$sf2" --spessa "$root/bench/spessa/render.mjs" \
  --songs /usr/share/games/openttd/baseset/openmsx/*.mid
