#!/usr/bin/env bash
# Makes the default General-MIDI bank from a free SoundFont, once; later runs
# reuse it. Usage: scripts/make-default-bank.sh [SOUNDFONT.sf2] [OUT.dls]
# Defaults: Debian's FluidR3 GM SoundFont into $HOME/.local/share/tz_midi/gm.dls
# (or $TZMIDI_DEFAULT_BANK when set).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sf2=${1:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
out=${2:-${TZMIDI_DEFAULT_BANK:-${XDG_DATA_HOME:-$HOME/.local/share}/tz_midi/gm.dls}}
if [ -s "$out" ]; then
  echo "Default bank: $out (already made)"
  exit 0
fi
mkdir -p "$(dirname "$out")"
echo "Making the default bank $out from $sf2"
"$root/build/tzmidi" bank "$sf2" -o "$out.part"
mv "$out.part" "$out"
