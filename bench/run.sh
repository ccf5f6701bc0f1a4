#!/usr/bin/env bash
# The benchmark: zunfelu against cat on three sets (see bench/merge_bench.cpp).
#   bash bench/run.sh [RUNS]
# The sets (about 3 GiB while it runs) go to a fresh folder under
# $ZUNFEL_BENCH_DIR, or under the system's temporary folder; it is removed
# at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release --target zunfelu make_sets merge_bench plain_copy >/dev/null
cmake --build --preset release --target checksum_bench >/dev/null 2>&1 || true
base=${ZUNFEL_BENCH_DIR:-${TMPDIR:-/tmp}}
work=$(mktemp -d "$base/zunfel-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
build/release/bench/make_sets "$work"
build/release/bench/merge_bench "$top/build/release/zunfelu" "$work" "${1:-5}" "$top/build/release/bench/plain_copy"
# The checksum loop alone, when Google Benchmark is installed.
if [[ -x build/release/bench/checksum_bench ]]; then
  build/release/bench/checksum_bench
fi
