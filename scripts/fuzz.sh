#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a while on top of its
# seeds and kept regression inputs.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Default: 60 seconds for each of smf dls patch plugin sf2 settings patchcfg. New crashes are left in
# build-fuzz/crashes/TARGET/; copy them to fuzz/regressions/TARGET/ once fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/data-paths.sh"
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(smf dls patch plugin sf2 settings patchcfg)
"$root/scripts/deps.sh" build data fuzz
"$root/scripts/build.sh" fuzz
out="$root/build-fuzz"
rm -rf "$out/seeds"
"$out/fuzz/make_seeds" "$out/seeds" "$TZ_SONGS_DIR"/*.mid 2>/dev/null ||
  "$out/fuzz/make_seeds" "$out/seeds"
status=0
for t in "${targets[@]}"; do
  corpus="$out/corpus/$t"
  crashes="$out/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  dict="$root/fuzz/dict/$t.dict"
  [ "$t" = plugin ] && dict="$root/fuzz/dict/smf.dict"
  echo "== fuzzing $t for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
      "$out/fuzz/${t}_fuzz" "$corpus" "$out/seeds/$t" "$root/fuzz/regressions/$t" \
      -dict="$dict" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=262144 \
      -artifact_prefix="$crashes/" -print_final_stats=1 2>"$out/$t.log"; then
    echo "fuzz target $t failed; see $out/$t.log"; tail -40 "$out/$t.log"; status=1
  fi
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec|cov:' "$out/$t.log" | tail -3 || true
done
exit $status
