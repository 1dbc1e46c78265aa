#!/usr/bin/env bash
# Runs every test: the Linux suite, the Windows build's host tests under Wine,
# and the render comparison between the two builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" build data win
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Linux build and tests"
"$root/scripts/build.sh" linux
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

echo "== Windows build, tests under Wine"
"$root/scripts/build.sh" windows
ctest --test-dir "$root/build-win" --output-on-failure
