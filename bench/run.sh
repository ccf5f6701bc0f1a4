#!/usr/bin/env bash
# The benchmark: zunfelu against cat and a plain copy on three sets (see
# bench/merge_bench.cpp).
#   bash bench/run.sh [RUNS]
#   ZUNFEL_BENCH_SETS=S bash bench/run.sh [RUNS]   only the sets named (L, S, M)
# The sets (about 3 GiB while they run) go to a fresh folder in tmpfs
# (/dev/shm, or $ZUNFEL_BENCH_TMPFS) and, when $ZUNFEL_BENCH_DIR names a
# folder on a disk, there as well; each folder is removed at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release --target zunfelu make_sets merge_bench plain_copy >/dev/null
cmake --build --preset release --target checksum_bench >/dev/null 2>&1 || true
work=''
trap 'rm -rf "$work"' EXIT

measure() {  # title, folder
  work=$(mktemp -d "$2/zunfel-bench-XXXXXX")
  echo "== $1 ($2)"
  build/release/bench/make_sets "$work" >/dev/null
  build/release/bench/merge_bench "$top/build/release/zunfelu" "$work" "${RUNS:-9}" \
    "$top/build/release/bench/plain_copy"
  rm -rf "$work"
}

RUNS=${1:-9}
tmpfs=${ZUNFEL_BENCH_TMPFS:-/dev/shm}
[[ $(stat -f -c %T "$tmpfs") == tmpfs ]] || { echo "$tmpfs is not a tmpfs" >&2; exit 1; }
measure "sets in tmpfs" "$tmpfs"
if [[ -n ${ZUNFEL_BENCH_DIR:-} ]]; then
  measure "sets on disk" "$ZUNFEL_BENCH_DIR"
fi
# The checksum alone, when Google Benchmark is installed.
if [[ -x build/release/bench/checksum_bench ]]; then
  build/release/bench/checksum_bench
fi
