#!/usr/bin/env bash
# Wine for the Windows tests, always in a prefix of their own:
#   wine.sh create PREFIX [persistent]
#                             make a fresh prefix (its folder must not exist);
#                             "persistent" keeps its server and services running
#                             until remove, which makes each program start in a
#                             tenth of the time, but they then hold on to the
#                             output of whoever started them
#   wine.sh remove PREFIX     end its server and remove it with its socket folder
#   wine.sh run PROGRAM ARGS  run a Windows program in $WINEPREFIX, under the
#                             32-bit loader when it is a 32-bit program
set -euo pipefail
loader=/usr/lib/wine/wine64
loader32=/usr/lib/wine/wine
server=/usr/lib/wine/wineserver

# A 32-bit program (PE machine 014c) runs under the 32-bit loader; all else,
# Wine's own programs such as cmd included, under the 64-bit one.
loader_for() {
  local at machine
  [[ -f $1 ]] || { echo "$loader"; return; }
  at=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  machine=$(od -An -t x2 -j "$((at + 4))" -N 2 "$1" | tr -d ' ')
  if [[ $machine == 014c ]]; then
    [[ -x $loader32 ]] || { echo "wine.sh: $loader32 missing (install wine32:i386)" >&2; exit 1; }
    echo "$loader32"
  else
    echo "$loader"
  fi
}
export WINEDEBUG=-all

case "${1:-}" in
  create)
    [[ -x $loader ]] || { echo "wine.sh: $loader missing (install wine64)" >&2; exit 1; }
    mkdir -p "$(dirname "$2")"
    mkdir "$2"
    export WINEPREFIX=$2
    "$loader" wineboot -i >/dev/null 2>&1
    # A server left over from creating the prefix delays the first key of
    # later console programs, so start afresh.
    "$server" -k || true
    "$server" -w
    if [[ ${3:-} == persistent ]]; then
      "$server" -p </dev/null >/dev/null 2>&1
    fi
    ;;
  remove)
    export WINEPREFIX=$2
    [[ -d $2 ]] || exit 0
    "$server" -k 2>/dev/null || true
    "$server" -w 2>/dev/null || true
    socket=$(cat "$2/wineserver" 2>/dev/null || true)
    [[ -n $socket ]] && rm -rf "${TMPDIR:-/tmp}/$socket"
    rm -rf "$2"
    ;;
  run)
    shift
    : "${WINEPREFIX:?wine.sh run needs WINEPREFIX}"
    exec "$(loader_for "$1")" "$@"
    ;;
  *)
    echo "usage: wine.sh create|remove PREFIX | run PROGRAM ARGS" >&2
    exit 2
    ;;
esac
