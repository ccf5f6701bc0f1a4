#!/usr/bin/env bash
# The project's test command: installs what is missing (as root), builds
# every program and runs every test, Linux and Windows. Any failure, or a
# suite that cannot run, fails the whole command.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest ]] || need+=(libgtest-dev)
# The Windows build compiles GoogleTest from its sources.
[[ -e /usr/src/googletest/CMakeLists.txt ]] || need+=(googletest)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686-posix)
[[ -x /usr/lib/wine/wine64 ]] || need+=(wine64)
# The 32-bit Zunfel32.exe runs under Wine's 32-bit loader, from i386.
[[ -x /usr/lib/wine/wine ]] || need+=(wine32:i386)
command -v tmux >/dev/null || need+=(tmux)
# The man page check and the packages.
command -v groff >/dev/null || need+=(groff-base)
command -v man >/dev/null || need+=(man-db)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v unzip >/dev/null || need+=(unzip)
command -v zip >/dev/null || need+=(zip)
command -v mandoc >/dev/null || need+=(mandoc)
command -v lintian >/dev/null || need+=(lintian)
command -v rpmbuild >/dev/null || need+=(rpm)
command -v rpmlint >/dev/null || need+=(rpmlint)
command -v git >/dev/null || need+=(git)
if ((${#need[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "== installing: ${need[*]}"
  if [[ " ${need[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" </dev/null
fi

echo "== Linux: release build and tests"
cmake --workflow --preset release

echo "== Linux: AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
cmake --workflow --preset sanitize

echo "== Windows: Zunfel32.exe for every x86 Windows (32-bit) and its unit tests under Wine"
cmake --workflow --preset windows

echo "== Windows: the 64-bit Zunfel32.exe and its unit tests under Wine"
cmake --workflow --preset windows-x64

echo "== Windows: the 32-bit Zunfel32.exe end to end under Wine (consoles in tmux)"
ctest --preset wine

echo "== every test passed"
