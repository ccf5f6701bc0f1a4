# What a probe program's run says of this host, for check.sh:
#   probe_runs PROGRAM   status 0 when it ran (ended with 42), 1 when the
#                        kernel refused it as a program it cannot run ("Exec
#                        format error"), 2 when that cannot be told (any other
#                        end: a folder mounted noexec, a missing program), with
#                        the status and the shell's words on standard error.
probe_runs() {
  local out status=0
  out=$("$1" 2>&1) || status=$?
  case $status in
    42) return 0 ;;
    126) [[ $out == *"Exec format error"* ]] && return 1 ;;
  esac
  echo "the probe ended with status $status${out:+: $out}" >&2
  return 2
}
