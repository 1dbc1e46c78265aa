#!/usr/bin/env bash
# Benchmarks: render speed per SIMD path as a multiple of real time and in
# voice-frames per second, in the classic and the standard sound (the OpenMSX
# songs with a bank made from TimGM6mb, and a crafted dense song), the time to
# read a 1 MB MIDI file, the speed
# against FluidSynth's fast file render of the same songs with the same
# SoundFont, with the bank made from FluidR3 (the default bank) the time of
# open (the first in a process, later ones, a playlist scan), the memory of
# songs alive together and the peak memory of tzmidi rendering one song, the
# same SoundFont indexed and its presets converted as songs need them, the
# bank report (scripts/bank-report.sh) for TimGM6mb and FluidR3, the effects
# report (scripts/effects-report.sh: the reverb and chorus next to
# FluidSynth's and SpessaSynth's, and their speed), and the sound report
# (scripts/sound-report.sh: the standard sound against FluidSynth and
# SpessaSynth and its targets) for TimGM6mb and FluidR3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
"$root/scripts/deps.sh" build data bench
"$root/scripts/build.sh" bench
"$root/scripts/build.sh" linux >/dev/null
out="$root/build-bench"
sf2=$TZ_TIMGM6MB_SF2
bank="$out/TimGM6mb.dls"
# Made afresh: the converter may have changed since the last run.
"$root/build/tzmidi" bank "$sf2" -o "$bank" --quiet
fluid="$out/FluidR3.dls"
"$root/build/tzmidi" bank "$TZ_FLUIDR3_SF2" -o "$fluid" --quiet
songs=("$TZ_SONGS_DIR"/*.mid)

echo "== Reading a 1 MB MIDI file"
"$out/bench/smf_read_bench"
echo
echo "== Rendering, classic sound (CPU time, single thread, per SIMD path)"
"$out/bench/render_bench" --bank "$bank" --sound classic "${songs[@]}"
echo
echo "== Rendering, standard sound with its reverb and chorus (CPU time, single thread, per SIMD path)"
"$out/bench/render_bench" --bank "$bank" --sound standard "${songs[@]}"
echo
echo "== Open with the $(du -h "$fluid" | cut -f1) bank made from FluidR3"
"$out/bench/open_bench" "$fluid" "${songs[@]}" | grep -v '^  '
echo
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tttheme=$TZ_SONGS_DIR/tttheme2.mid
peak=$(/usr/bin/time -f %M "$root/build/tzmidi" render "$tttheme" -o "$tmp/tt.wav" --bank "$fluid" --sound classic --quiet 2>&1)
echo "peak memory of tzmidi render tttheme2.mid: $((peak / 1024)) MB"
echo
echo "== FluidR3 as a SoundFont, its presets converted as songs need them"
"$out/bench/sf2_bench" /usr/share/sounds/sf2/FluidR3_GM.sf2 "${songs[@]}" | grep -v '^  '
"$out/bench/sf2_bench" --render /usr/share/sounds/sf2/FluidR3_GM.sf2 "$tttheme" "$fluid"
echo
echo "== Against FluidSynth (wall time, whole songs to WAV files)"
ns() { date +%s%N; }
bytes=0
start=$(ns)
for s in "${songs[@]}"; do
  "$root/build/tzmidi" render "$s" -o "$tmp/tz.wav" --bank "$bank" --sound classic --quiet
  bytes=$(( bytes + $(stat -c %s "$tmp/tz.wav") - 44 ))
done
tz=$(( $(ns) - start ))
start=$(ns)
for s in "${songs[@]}"; do
  fluidsynth -ni -F "$tmp/fs.wav" -r 44100 -R 0 -C 0 -o synth.polyphony=32 "$sf2" "$s" >/dev/null 2>&1
done
fs=$(( $(ns) - start ))
echo "tz_midi (classic): $((tz / 1000000)) ms for ${#songs[@]} songs ($((bytes / 176400)) s of music)"
echo "FluidSynth: $((fs / 1000000)) ms for ${#songs[@]} songs"
awk -v a="$tz" -v b="$fs" 'BEGIN { printf "tz_midi is %.1fx the speed of FluidSynth\n", b / a }'
echo
echo "== Banks against FluidSynth with their SoundFonts (scripts/bank-report.sh)"
"$root/scripts/bank-report.sh"
echo
echo "== Reverb and chorus against FluidSynth and SpessaSynth (scripts/effects-report.sh)"
"$root/scripts/effects-report.sh"
echo
echo "== The standard sound against FluidSynth and SpessaSynth, and its targets (scripts/sound-report.sh)"
"$root/scripts/sound-report.sh" TimGM6mb
echo
"$root/scripts/sound-report.sh" FluidR3
