#!/usr/bin/env bash
# Benchmarks: render speed as a multiple of real time (the OpenMSX songs with
# a bank made from TimGM6mb, and a crafted dense song), the time of open with
# that bank, the time to read a 1 MB MIDI file, the speed against
# FluidSynth's fast file render of the same songs with the same SoundFont,
# and the bank report (scripts/bank-report.sh) for TimGM6mb and FluidR3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build data bench
"$root/scripts/build.sh" bench
"$root/scripts/build.sh" linux >/dev/null
out="$root/build-bench"
sf2=/usr/share/sounds/sf2/TimGM6mb.sf2
bank="$out/TimGM6mb.dls"
# Made afresh: the converter may have changed since the last run.
"$root/build/tzmidi" bank "$sf2" -o "$bank" --quiet
songs=(/usr/share/games/openttd/baseset/openmsx/*.mid)

echo "== Reading a 1 MB MIDI file"
"$out/bench/smf_read_bench"
echo
echo "== Rendering (CPU time, single thread)"
"$out/bench/render_bench" --bank "$bank" "${songs[@]}"
echo
echo "== Open with a $(du -h "$bank" | cut -f1) bank"
"$out/bench/open_bench" "$bank" "${songs[@]}" | tail -4
echo
echo "== Against FluidSynth (wall time, whole songs to WAV files)"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
ns() { date +%s%N; }
bytes=0
start=$(ns)
for s in "${songs[@]}"; do
  "$root/build/tzmidi" render "$s" -o "$tmp/tz.wav" --bank "$bank" --quiet
  bytes=$(( bytes + $(stat -c %s "$tmp/tz.wav") - 44 ))
done
tz=$(( $(ns) - start ))
start=$(ns)
for s in "${songs[@]}"; do
  fluidsynth -ni -F "$tmp/fs.wav" -r 44100 -R 0 -C 0 -o synth.polyphony=32 "$sf2" "$s" >/dev/null 2>&1
done
fs=$(( $(ns) - start ))
echo "tz_midi:    $((tz / 1000000)) ms for ${#songs[@]} songs ($((bytes / 176400)) s of music)"
echo "FluidSynth: $((fs / 1000000)) ms for ${#songs[@]} songs"
awk -v a="$tz" -v b="$fs" 'BEGIN { printf "tz_midi is %.1fx the speed of FluidSynth\n", b / a }'
echo
echo "== Banks against FluidSynth with their SoundFonts (scripts/bank-report.sh)"
"$root/scripts/bank-report.sh"
