#!/usr/bin/env bash
# Builds zunfelu and merges the bundled example set in a scratch folder; the
# example set itself is left untouched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release --target zunfelu >/dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zunfelu-example-XXXXXX")
# A copy of the set keeps the argument short, whatever the checkout's path.
mkdir "$scratch/set"
cp "$top"/examples/report.Z0? "$scratch/set/"
cd "$scratch"
echo "\$ zunfelu set/report.Z00"
status=0
"$top/build/release/zunfelu" set/report.Z00 </dev/null || status=$?
echo "exit status: $status"
if cmp -s report.txt "$top/examples/source/report.txt"; then
  echo "rebuilt $scratch/report.txt: identical to examples/source/report.txt"
  ls -l --time-style=+'%Y-%m-%d %H:%M:%S %Z' report.txt
else
  echo "rebuilt file differs from examples/source/report.txt" >&2
  exit 1
fi
