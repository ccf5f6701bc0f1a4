#!/usr/bin/env bash
# check.sh's decision whether this host runs 32-bit programs, on stand-in
# probes: only "Exec format error" means it does not; any other failure
# (a folder mounted noexec, a missing program, a bare 126) stops the run
# with the probe's words.
set -uo pipefail
. "$1/scripts/probe.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/zunfel-probe-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\nexit 42\n' >"$work/runs" && chmod +x "$work/runs"
printf '\177ELF\001\001\001\000\000\000\000\000' >"$work/refused" && chmod +x "$work/refused"
printf '#!/bin/sh\nexit 42\n' >"$work/noexec"
printf '#!/bin/sh\nexit 126\n' >"$work/bare126" && chmod +x "$work/bare126"
failed=0
while read -r probe want words; do
  got=0
  said=$(probe_runs "$work/$probe" 2>&1) || got=$?
  if [[ $got != "$want" || $said != *"$words"* ]]; then
    echo "FAILED: $probe: status $got (want $want), said: $said" >&2
    failed=1
  fi
done <<'ROWS'
runs 0
refused 1
noexec 2 status 126: 
bare126 2 status 126
missing 2 status 127: 
ROWS
((failed == 0)) && echo "probe: ran, refused, noexec, a bare 126 and a missing probe each decided right"
exit "$failed"
