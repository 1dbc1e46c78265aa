#!/usr/bin/env bash
# Prints a SHA-256 line per render of every OpenMSX song with one bank, in the
# classic sound (SOUND=standard for the standard one): the
# whole song, the song after a seek to 7.5 s, and the whole song in reads of
# 999 bytes. Two lists from two builds (or two versions of the code) with the
# same bank must be the same.
#   scripts/render-hashes.sh BANK.dls [BUILD_DIR]   (default build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
bank=$1
build=${2:-$root/build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for mid in "$TZ_SONGS_DIR"/*.mid; do
  name=$(basename "$mid" .mid)
  for variant in whole seek read999; do
    case $variant in
      whole)   extra=() ;;
      seek)    extra=(--seek 7.5) ;;
      read999) extra=(--read-size 999) ;;
    esac
    "$build/tzmidi" render "$mid" -o "$tmp/out.wav" --bank "$bank" --sound "${SOUND:-classic}" --quiet "${extra[@]}"
    echo "$(sha256sum < "$tmp/out.wav" | cut -c1-64)  $name $variant"
  done
done
