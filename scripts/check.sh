#!/usr/bin/env bash
# The project's test command: installs what is missing (as root), builds
# every program and runs every test. Any failure, or a suite that cannot
# run, fails the whole command.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest ]] || need+=(libgtest-dev)
if ((${#need[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi

echo "== Linux: release build and tests"
cmake --workflow --preset release

echo "== Linux: AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
cmake --workflow --preset sanitize
