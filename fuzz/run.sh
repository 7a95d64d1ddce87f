#!/usr/bin/env bash
# Runs every fuzz target for a bounded time: run.sh BUILD_DIR SECONDS_PER_TARGET.
# Each target starts from its committed seeds (fuzz/corpus/<target>) plus what earlier runs in
# the same build tree found (BUILD_DIR/corpus/<target>, not committed). A crash, a sanitizer
# report, a hang or a broken invariant fails the run and leaves the input under
# BUILD_DIR/artifacts/; such an input belongs in the unit tests as a regression case.
set -euo pipefail

build=${1:?build directory}
seconds=${2:?seconds per target}
here=$(cd "$(dirname "$0")" && pwd)
targets=(response settings modem exports gateway_write gateway_config)

mkdir -p "$build/artifacts"
failed=0
for t in "${targets[@]}"; do
  bin="$build/fuzz/fuzz_$t"
  [ -x "$bin" ] || { echo "fuzz: $bin is not built" >&2; exit 1; }
  mkdir -p "$build/corpus/$t"
  echo "fuzz: $t for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "$here/corpus/$t" \
       >"$build/fuzz_$t.log" 2>&1; then
    echo "fuzz: $t FAILED, see $build/fuzz_$t.log" >&2
    grep -E 'invariant broken|runtime error|ERROR:|SUMMARY' "$build/fuzz_$t.log" | head -5 >&2 || true
    failed=$((failed + 1))
  else
    grep -E '^stat::number_of_executed_units' "$build/fuzz_$t.log" | sed "s/^/fuzz: $t /" || true
  fi
done
passed=$(( ${#targets[@]} - failed ))
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
