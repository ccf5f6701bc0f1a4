#!/usr/bin/env bash
# Builds zunfelu and merges the bundled example set in a scratch folder; the
# example set itself is left untouched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
. scripts/packages.sh

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v g++ >/dev/null || need+=(g++)
install_packages example.sh "${need[@]}"

# The program and what installs with it (man page, changelog), in a build
# folder of its own: the tests (and GoogleTest) are the test command's.
cmake -S . -B build/example -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/example -j2 >/dev/null
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zunfelu-example-XXXXXX")
# A copy of the set keeps the argument short, whatever the checkout's path.
mkdir "$scratch/set"
cp "$top"/examples/report.Z0? "$scratch/set/"
cd "$scratch"
echo "\$ zunfelu set/report.Z00"
status=0
"$top/build/example/zunfelu" set/report.Z00 </dev/null || status=$?
echo "exit status: $status"
if cmp -s report.txt "$top/examples/source/report.txt"; then
  echo "rebuilt $scratch/report.txt: identical to examples/source/report.txt"
  ls -l --time-style=+'%Y-%m-%d %H:%M:%S %Z' report.txt
  echo "(the folder $scratch is yours to remove)"
else
  echo "rebuilt file differs from examples/source/report.txt" >&2
  exit 1
fi

quote() { printf '%q' "$1"; }
echo
echo "zunfelu is built: $top/build/example/zunfelu"
echo "To install it with its man page (then: zunfelu report.Z00, man zunfelu):"
if ((EUID == 0)); then
  echo "  cmake --install $(quote "$top/build/example") --prefix /usr/local"
else
  # ~/.local/bin is on a user's PATH in Debian's shells once it exists, and
  # man finds the pages beside it.
  echo "  cmake --install $(quote "$top/build/example") --prefix ~/.local"
fi
