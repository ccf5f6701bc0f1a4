#!/usr/bin/env bash
# The project's test command: installs what is missing (as root), builds
# every program and runs every test, Linux and Windows. Any failure, or a
# suite that cannot run, fails the whole command.
#
# ZUNFEL_WINE32=skip: when the package mirror cannot supply the 32-bit Wine,
# run everything else; the 64-bit Zunfel32.exe then runs the Wine end-to-end
# suite, and the run ends by saying, in capitals, what was NOT RUN.
#
# A host whose kernel runs no 32-bit programs (found by running one) cannot
# start the 32-bit Wine either: there the 32-bit Zunfel32.exe is built and
# packaged, the 64-bit one runs its unit tests and the end-to-end suite under
# Wine, and the run ends with the NOT RUN lines and that reason.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
. scripts/packages.sh
. scripts/probe.sh

wine32=${ZUNFEL_WINE32:-}
if [[ -n $wine32 && $wine32 != skip ]]; then
  echo "check.sh: ZUNFEL_WINE32 is either unset or skip, not '$wine32'" >&2
  exit 2
fi

# Wine runs x86 Windows programs on x86 hosts only: elsewhere (arm64, for
# one) the Windows stages cannot run, and the run says so at its end.
arch=$(dpkg --print-architecture 2>/dev/null || uname -m)
windows=yes
[[ $arch == amd64 ]] || windows=no

# Whether this kernel runs 32-bit x86 programs at all: one built without that
# support (or started with it off) refuses each with "Exec format error", the
# 32-bit Wine included, however it is installed. The probe is the smallest
# such program, 96 bytes written here, which only ends with status 42; it
# needs nothing installed. It lies in the checkout, where the build's own
# programs run, not in a TMPDIR that may forbid running anything.
runs_x86_32() {
  local probe=$top/build/x86-32-probe
  mkdir -p "$top/build"
  local bytes=(
    '7f 45 4c 46 01 01 01 00 00 00 00 00 00 00 00 00' # ELF, 32-bit, little-endian
    '02 00 03 00 01 00 00 00 54 80 04 08 34 00 00 00' # a program for the 80386
    '00 00 00 00 00 00 00 00 34 00 20 00 01 00 00 00 00 00 00 00'
    '01 00 00 00 00 00 00 00 00 80 04 08 00 80 04 08' # one segment: the file
    '60 00 00 00 60 00 00 00 05 00 00 00 00 10 00 00'
    'b8 01 00 00 00 bb 2a 00 00 00 cd 80' # exit(42) through int 0x80
  )
  printf '%b' "$(printf '%s ' "${bytes[@]}" | sed 's/\([0-9a-f][0-9a-f]\) */\\x\1/g')" >"$probe"
  chmod +x "$probe"
  local verdict=0 why
  why=$(probe_runs "$probe" 2>&1) || verdict=$?
  rm -f "$probe"
  ((verdict < 2)) && return "$verdict"
  echo "check.sh: cannot tell whether this host runs 32-bit programs: $why" >&2
  exit 1
}

# Why the 32-bit Zunfel32.exe cannot run under Wine here, if it cannot.
without32=
if [[ $windows == yes ]]; then
  if ! runs_x86_32; then
    without32="this host's kernel runs no 32-bit programs (a 32-bit x86 probe ended with"
    without32+=" \"Exec format error\"), so Wine's 32-bit loader cannot start"
  elif [[ $wine32 == skip ]]; then
    without32=ZUNFEL_WINE32=skip
  fi
fi

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[[ -e /usr/include/gtest/gtest.h ]] || need+=(libgtest-dev)
[[ -e /usr/include/gmock/gmock.h ]] || need+=(libgmock-dev)
if [[ $windows == yes ]]; then
  # The Windows build compiles GoogleTest from its sources.
  [[ -e /usr/src/googletest/CMakeLists.txt ]] || need+=(googletest)
  # Its Windows thread model links no thread library into Zunfel32.exe.
  command -v x86_64-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-x86-64-win32)
  command -v i686-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-i686-win32)
  [[ -x /usr/lib/wine/wine64 ]] || need+=(wine64)
  # The 32-bit Zunfel32.exe runs under Wine's 32-bit loader, from i386.
  [[ -x /usr/lib/wine/wine || -n $without32 ]] || need+=(wine32:i386)
  command -v tmux >/dev/null || need+=(tmux)
fi
command -v ps >/dev/null || need+=(procps)
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
install_packages check.sh "${need[@]}"
if ((${#unavailable_i386[@]})); then
  cat >&2 <<EOF
check.sh: ${unavailable_i386[*]} could not be installed; apt said:
$(apt_reason)
The package mirror is most likely out of step (its i386 index behind its
amd64 one). Rerun later, or run everything else now, the Windows end-to-end
suite with the 64-bit Zunfel32.exe instead of the 32-bit one:
  ZUNFEL_WINE32=skip bash scripts/check.sh
EOF
  exit 1
fi

# clang does not pull in its sanitizer and fuzzer runtimes without its
# recommends: link a probe, and install the runtimes of the clang at hand.
probe=$(mktemp -d "${TMPDIR:-/tmp}/zunfel-probe-XXXXXX")
links() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=address,undefined,fuzzer - -o "$probe/a.out" >/dev/null 2>&1
}
if ! links; then
  install_packages check.sh "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
  links || {
    echo "check.sh: clang++ still cannot link the sanitizers and libFuzzer" >&2
    exit 1
  }
fi
rm -rf "$probe"

# What a host without Wine leaves out is said at the end, also of a run
# that a failing test ends early.
if [[ $windows == no ]]; then
  not_run() {
    echo "NOT RUN: EVERY WINDOWS STAGE (ZUNFEL32.EXE BUILT, ITS UNIT TESTS AND THE END-TO-END SUITE UNDER WINE)."
    echo "NOT RUN: this host is $arch; Wine runs x86 Windows programs on amd64 hosts only."
  }
  trap not_run EXIT
fi

echo "== Linux: release build and tests"
cmake --workflow --preset release

echo "== Linux: AddressSanitizer and UndefinedBehaviorSanitizer build and tests"
cmake --workflow --preset sanitize

if [[ $windows == no ]]; then
  echo "== every Linux test passed"
  exit 0
fi

if [[ -n $without32 ]]; then
  echo "== Windows: Zunfel32.exe for every x86 Windows (32-bit), built and packaged"
  cmake --preset windows
  cmake --build --preset windows
  ctest --preset windows -LE wine
else
  echo "== Windows: Zunfel32.exe for every x86 Windows (32-bit) and its unit tests under Wine"
  cmake --workflow --preset windows
fi

echo "== Windows: the 64-bit Zunfel32.exe and its unit tests under Wine"
cmake --workflow --preset windows-x64

if [[ -n $without32 ]]; then
  echo "== Windows: the 64-bit Zunfel32.exe end to end under Wine (consoles in tmux)"
  ZUNFEL_WINDOWS_BUILD=$top/build/windows-x64 ctest --preset wine
  echo "== every test that ran passed"
  echo "NOT RUN: THE 32-BIT ZUNFEL32.EXE UNDER WINE (ITS UNIT TESTS AND THE END-TO-END SUITE); IT WAS BUILT AND PACKAGED."
  echo "NOT RUN: $without32; the 64-bit Zunfel32.exe ran its unit tests and the end-to-end suite instead."
else
  echo "== Windows: the 32-bit Zunfel32.exe end to end under Wine (consoles in tmux)"
  ctest --preset wine
  echo "== every test passed"
fi
