#!/usr/bin/env bash
# Sound report: the standard sound (and the classic, for contrast) measured
# against FluidSynth playing a SoundFont and SpessaSynth playing the bank
# made from it, reverb and chorus off for the sound figures:
#   notes  every General-MIDI program and drum note: the velocity, CC7 and
#          CC11 law, pitch (also with a bank made with --tuning-in-wsmp),
#          length (bench/bank_report.cpp)
#   songs  the OpenMSX songs: envelope correlation, spectral centroid, sound
#          after the last event, left/right correlation, clipping, voices
#          stolen and lost (bench/song_report.cpp)
#   speed  standard against classic per SIMD path, the effects' cost, and
#          standard with its effects against FluidSynth with its own (wall
#          time, whole songs)
# and ends with a table of the figures against their targets. The banks and
# the full tables go to build-bench/sound-report/.
#   scripts/sound-report.sh [TimGM6mb|FluidR3|SOUNDFONT.sf2]   (default TimGM6mb)
# JOBS (default 2) renders run at once for the notes and songs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
"$root/scripts/deps.sh" build data bench spessa
"$root/scripts/build.sh" bench >/dev/null
"$root/scripts/build.sh" linux >/dev/null
case "${1:-TimGM6mb}" in
  TimGM6mb) sf2=$TZ_TIMGM6MB_SF2 ;;
  FluidR3 | FluidR3_GM) sf2=$TZ_FLUIDR3_SF2 ;;
  *) sf2=$1 ;;
esac
name=$(basename "$sf2" .sf2)
out="$root/build-bench/sound-report"
mkdir -p "$out"
bench="$root/build-bench/bench"
tzmidi="$root/build/tzmidi"
spessa="$root/bench/spessa/render.mjs"
jobs=${JOBS:-2}
bank="$out/$name.dls"
wsmp="$out/$name-wsmp.dls"
# Made afresh: the converter may have changed since the last run.
"$tzmidi" bank "$sf2" -o "$bank" --quiet
"$tzmidi" bank "$sf2" -o "$wsmp" --tuning-in-wsmp --quiet
songs=("$TZ_SONGS_DIR"/*.mid)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
start=$(date +%s)

echo "== Notes: $name (table: $out/$name-notes.txt)"
"$bench/bank_report" --sf2 "$sf2" --bank "$bank" --wsmp-bank "$wsmp" --spessa "$spessa" --jobs "$jobs" --dense \
  --out "$out/$name-notes.txt" --figures "$out/$name-notes.fig" | sed -n '/^== /,$p'
echo
echo "== Songs: ${#songs[@]} OpenMSX songs (table: $out/$name-songs.txt)"
"$bench/song_report" --sf2 "$sf2" --bank "$bank" --spessa "$spessa" --jobs "$jobs" \
  --out "$out/$name-songs.txt" --figures "$out/$name-songs.fig" "${songs[@]}" | sed -n '/^== /,$p'
echo

echo "== Speed (CPU time, single thread, every OpenMSX song once; multiples of real time)"
# The paths' line of render_bench's comparison: the files' multiple of real
# time is the second field from the end.
speed() { awk -v p="$1" 'index($0, p) == 1 && NF >= 5 { print $(NF - 1) }' "$2"; }
"$bench/render_bench" --bank "$bank" --sound classic --rounds 1 --no-hash "${songs[@]}" >"$tmp/classic.txt"
"$bench/render_bench" --bank "$bank" --sound standard --rounds 1 --no-hash "${songs[@]}" >"$tmp/standard.txt"
widest=AVX2
[ -n "$(speed AVX2 "$tmp/standard.txt")" ] || widest=baseline
"$bench/render_bench" --bank "$bank" --sound standard --reverb 0 --chorus 0 --rounds 1 --no-hash \
  --path "$(echo "$widest" | tr A-Z a-z)" "${songs[@]}" >"$tmp/dry.txt"
for path in baseline AVX2; do
  c=$(speed "$path" "$tmp/classic.txt")
  s=$(speed "$path" "$tmp/standard.txt")
  [ -n "$c" ] && [ -n "$s" ] || continue
  awk -v p="$path" -v c="$c" -v s="$s" 'BEGIN { printf "%-9s classic %7.1fx, standard with effects %7.1fx: %.3f of the classic speed\n", p, c, s, s / c }'
done
dry=$(speed "$widest" "$tmp/dry.txt")
wet=$(speed "$widest" "$tmp/standard.txt")
awk -v p="$widest" -v d="$dry" -v w="$wet" 'BEGIN { printf "%-9s standard without effects %.1fx, with %.1fx: the effects take %.1f %% of the render\n", p, d, w, 100 * (1 - w / d) }'
ns() { date +%s%N; }
t0=$(ns)
for s in "${songs[@]}"; do "$tzmidi" render "$s" -o "$tmp/tz.wav" --bank "$bank" --sound standard --quiet; done
tz=$(($(ns) - t0))
t0=$(ns)
for s in "${songs[@]}"; do timeout 1200 fluidsynth -ni -F "$tmp/fs.wav" -r 44100 "$sf2" "$s" >/dev/null 2>&1; done
fs=$(($(ns) - t0))
echo "wall time, whole songs to WAV files: tzmidi standard with effects $((tz / 1000000)) ms, FluidSynth with its" \
  "default effects $((fs / 1000000)) ms: tz_midi is $(awk -v a="$tz" -v b="$fs" 'BEGIN { printf "%.2f", b / a }')x the speed of FluidSynth"
echo

notes="$out/$name-notes.fig" songfig="$out/$name-songs.fig"
fig() { awk -v k="$1" '$1 == k { $1 = ""; sub(/^ /, ""); print; exit }' "$2"; }
dec2() { awk -v x="$1" 'BEGIN { printf "%.2f", x }'; }
dec3() { awk -v x="$1" 'BEGIN { printf "%.3f", x }'; }
ratio=$(awk -v c="$(speed "$widest" "$tmp/classic.txt")" -v s="$wet" 'BEGIN { printf "%.3f", s / c }')
# A row: figure, target, ours, and whether it is met (an awk condition on
# the variables given after it).
row() {
  local figure=$1 target=$2 ours=$3 condition=$4
  shift 4
  local met
  met=$(awk "$@" "BEGIN { print ($condition) ? \"met\" : \"MISSED\" }")
  printf '| %-66s | %-13s | %-72s | %-6s |\n' "$figure" "$target" "$ours" "$met"
}
echo "== Targets: $name, the standard sound ($(($(date +%s) - start)) s)"
printf '| %-66s | %-13s | %-72s | %-6s |\n' figure target ours ""
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..68})" "$(printf -- '-%.0s' {1..15})" "$(printf -- '-%.0s' {1..74})" "--------"
law=$(fig law.standard.worst "$notes")
row "velocity and CC7/CC11 law, worst error at 20/40/64/100" "<= 0.5 dB" \
  "$(dec2 "$law") dB $(fig law.standard.worst_at "$notes"); median $(dec2 "$(fig law.standard.median "$notes")"); FluidSynth $(dec2 "$(fig law.fluidsynth.worst "$notes")")" \
  "w <= 0.5" -v w="$law"
off=$(fig pitch_wsmp.standard.off "$notes")
row "programs > 10 cents off, bank with tuning in wsmp" "<= 3" \
  "$off of $(fig pitch_wsmp.standard.pitched "$notes"); normal bank $(fig pitch.standard.off "$notes")" "n <= 3" -v n="$off"
outside=$(fig length.standard.outside "$notes")
measured=$(fig length.standard.measured "$notes")
share=$(awk -v a="$outside" -v b="$measured" 'BEGIN { printf "%.1f", 100 * a / b }')
row "note length outside 0.67-1.5x FluidSynth's" "<= 5 %" \
  "$share % ($outside of $measured); SpessaSynth $(fig length.spessasynth.outside "$notes") of $(fig length.spessasynth.measured "$notes")" \
  "s <= 5" -v s="$share"
worst=$(fig corr.standard.worst "$songfig") median=$(fig corr.standard.median "$songfig")
yard=$(fig corr.spessasynth.median "$songfig")
row "10 ms envelope correlation with FluidSynth, worst song" ">= 0.90" "$(dec3 "$worst")" "w >= 0.90" -v w="$worst"
row "  the median, against SpessaSynth-vs-FluidSynth's median" ">= $(dec3 "$yard")" "$(dec3 "$median")" "m >= y" \
  -v m="$median" -v y="$yard"
low=$(fig centroid.standard.min "$songfig") high=$(fig centroid.standard.max "$songfig")
row "spectral centroid ratio to FluidSynth, every song" "0.85-1.15" \
  "$(dec3 "$low") .. $(dec3 "$high"), median $(dec3 "$(fig centroid.standard.median "$songfig")")" \
  "l >= 0.85 && h <= 1.15" -v l="$low" -v h="$high"
after=$(fig after_diff.standard.worst "$songfig")
row "seconds after the last event, against FluidSynth's up to the tail" "within 0.5 s" \
  "worst song $(dec2 "$after") s off (tail $(fig tail "$songfig") s)" "a <= 0.5" -v a="$after"
lost=$(fig voices.standard.lost "$songfig") audible=$(fig voices.standard.stolen_audible "$songfig")
row "notes lost / stolen louder than -40 dB at 64 voices" "0 / 0" \
  "$lost / $audible (stolen $(fig voices.standard.stolen "$songfig"); 32 voices: $(fig voices.standard32.lost "$songfig") / $(fig voices.standard32.stolen_audible "$songfig"))" \
  "l == 0 && a == 0" -v l="$lost" -v a="$audible"
clipped=$(fig clipped.standard.worst "$songfig")
row "clipped samples, any song" "<= 100" "$clipped" "c <= 100" -v c="$clipped"
row "standard vs classic speed ($widest, with effects)" ">= 0.5x" "${ratio}x" "r >= 0.5" -v r="$ratio"
