#!/usr/bin/env bash
# Installs the Debian packages the given groups need, when they are missing.
#   build  compilers, CMake, GoogleTest, CLI11 (tzmidi's command line)
#   player tzmidi's sound card output (SDL2) and FLAC/Ogg/Opus files (libsndfile,
#          libsamplerate); sox and flac, which the tests decode with
#   data   General-MIDI SoundFonts, GUS patches (freepats) and free GM songs
#   win    the mingw-w64 cross compiler and Wine
#   win32  the 32-bit mingw-w64 cross compiler and 32-bit Wine (adds the i386 architecture)
#   fuzz   clang with its sanitizer and fuzzer runtimes
#   bench  FluidSynth (a speed reference), GNU time (peak memory)
#   spessa node and npm, then SpessaSynth (spessasynth_core from the npm
#          registry, at the pinned version below) into build-bench/spessa, for
#          bench/spessa/render.mjs
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
spessa_version=4.3.22
pkgs=()
need_update=
spessa=
for group in "$@"; do
  case "$group" in
    build) pkgs+=(g++ cmake ninja-build libgtest-dev pkg-config libcli11-dev) ;;
    player) pkgs+=(libsdl2-dev libsndfile1-dev libsamplerate0-dev sox flac) ;;
    data)  pkgs+=(timgm6mb-soundfont fluid-soundfont-gm openttd-openmsx freepats) ;;
    win)   pkgs+=(g++-mingw-w64-x86-64-posix wine wine64) ;;
    win32)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        [ "$(id -u)" -eq 0 ] && dpkg --add-architecture i386 || sudo dpkg --add-architecture i386
        need_update=1
      fi
      pkgs+=(g++-mingw-w64-i686-posix wine32:i386) ;;
    fuzz)  pkgs+=(clang libclang-rt-14-dev) ;;
    bench) pkgs+=(fluidsynth time) ;;
    spessa)
      spessa=1
      command -v node >/dev/null && command -v npm >/dev/null || pkgs+=(nodejs npm) ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  [ ${#missing[@]} -gt 0 ] && echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  # A mirror caught mid-sync serves an index that does not match its
  # release file, and an install then finds packages missing. Such errors
  # pass: each retry fetches the indexes afresh after a pause.
  attempts=${DEPS_ATTEMPTS:-4}
  installed=
  for attempt in $(seq 1 "$attempts"); do
    if [ "$attempt" -gt 1 ]; then
      echo "deps.sh: attempt $attempt of $attempts, with fresh package indexes" >&2
      sleep $((attempt * 10))
      $SUDO rm -rf /var/lib/apt/lists/partial/* 2>/dev/null || true
      $SUDO apt-get clean || true
    fi
    if $SUDO apt-get update -qq 2>&1 | grep -E '^(E|W):' >&2; then
      echo "deps.sh: the package indexes did not all update" >&2
    fi
    if [ ${#missing[@]} -eq 0 ] ||
       DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null; then
      installed=1
      break
    fi
  done
  if [ -z "$installed" ]; then
    echo "deps.sh: could not install: ${missing[*]}" >&2
    exit 1
  fi
fi
if [ -n "$spessa" ]; then
  dir="$root/build-bench/spessa"
  installed=$(node -e "try { console.log(require('$dir/node_modules/spessasynth_core/package.json').version) } catch { }" 2>/dev/null || true)
  if [ "$installed" != "$spessa_version" ]; then
    echo "Installing spessasynth_core $spessa_version into $dir"
    mkdir -p "$dir"
    [ -f "$dir/package.json" ] || echo '{ "private": true }' > "$dir/package.json"
    npm install --prefix "$dir" --save-exact --no-audit --no-fund --loglevel=error "spessasynth_core@$spessa_version" >/dev/null
  fi
fi
