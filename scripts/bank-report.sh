#!/usr/bin/env bash
# Bank report: converts each SoundFont with `tzmidi bank` and compares the bank,
# in the classic and the standard sound, with FluidSynth playing the
# SoundFont: pitch, level, velocity/CC7/CC11 law and length of every
# General-MIDI program and drum note, clipped samples in every OpenMSX song
# and in a dense generated song, and the loudness envelope of five OpenMSX
# songs. The per-note tables are written to build-bench/bank-report/NAME.txt.
# (scripts/sound-report.sh adds SpessaSynth, a bank with tuning in the wave
# samples and the song figures.)
#   scripts/bank-report.sh [SOUNDFONT.sf2 ...]   (default: TimGM6mb and FluidR3_GM)
# Extra `tzmidi bank` options (for example --gain -6) may be given in
# BANK_OPTIONS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
"$root/scripts/build.sh" bench >/dev/null
"$root/scripts/build.sh" linux >/dev/null
out="$root/build-bench/bank-report"
mkdir -p "$out"
sf2s=("$@")
[ ${#sf2s[@]} -gt 0 ] || sf2s=("$TZ_TIMGM6MB_SF2" "$TZ_FLUIDR3_SF2")
songs=("$TZ_SONGS_DIR"/*.mid)
# Every sixth song, so that the choice does not follow the results.
compare=()
for i in "${!songs[@]}"; do
  if [ $((i % 6)) -eq 0 ] && [ ${#compare[@]} -lt 5 ]; then compare+=("${songs[$i]}"); fi
done
for sf2 in "${sf2s[@]}"; do
  name=$(basename "$sf2" .sf2)
  # shellcheck disable=SC2086
  "$root/build/tzmidi" bank "$sf2" -o "$out/$name.dls" ${BANK_OPTIONS:-} | sed -n 's/^  //p'
  "$root/build-bench/bench/bank_report" --sf2 "$sf2" --bank "$out/$name.dls" \
    --out "$out/$name.txt" --dense --song "${songs[@]}" --compare "${compare[@]}" | sed -n '/^== /,$p'
  echo "(table: $out/$name.txt)"
  echo
done
