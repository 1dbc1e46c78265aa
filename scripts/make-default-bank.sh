#!/usr/bin/env bash
# Makes the default General-MIDI bank from a free SoundFont, once; later runs
# reuse it while it was made from the same SoundFont by the same converter.
# Usage: scripts/make-default-bank.sh [SOUNDFONT.sf2] [OUT.dls]
# Defaults: Debian's FluidR3 GM SoundFont into $HOME/.local/share/tz_midi/gm.dls
# (or $TZMIDI_DEFAULT_BANK when set).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
sf2=${1:-$TZ_FLUIDR3_SF2}
out=${2:-${TZMIDI_DEFAULT_BANK:-${XDG_DATA_HOME:-$HOME/.local/share}/tz_midi/gm.dls}}
# What the bank was made from: the SoundFont and the converter's sources.
made_from="$sf2 $(stat -c %s "$sf2") $(cat "$root"/soundfont/{sf2_reader,sf2_to_dls,sf2_articulation,dls_writer}.{h,cpp} | sha256sum | cut -c1-16)"
if [ -s "$out" ] && [ "$(cat "$out.made-from" 2>/dev/null)" = "$made_from" ]; then
  echo "Default bank: $out (already made)"
  exit 0
fi
mkdir -p "$(dirname "$out")"
echo "Making the default bank $out from $sf2"
"$root/build/tzmidi" bank "$sf2" -o "$out.part"
mv "$out.part" "$out"
echo "$made_from" > "$out.made-from"
