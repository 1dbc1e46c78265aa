#!/usr/bin/env bash
# Runs a Windows program under Wine quietly, with a private prefix that lives
# beside the build (WINEPREFIX may be set by the caller).
set -e
: "${WINEPREFIX:=${TZ_WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine || command -v wine64)
if [ ! -d "$WINEPREFIX" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
fi
exec "$wine" "$@"
