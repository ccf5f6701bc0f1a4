#!/usr/bin/env bash
# Runs the README's two commands on freshly installed Debian systems, as a new
# user would, to prove that they install everything they use:
#
#   scripts/clean-room.sh RELEASE...      for example: bookworm trixie
#
# For each release: a Debian root made by `debootstrap --variant=minbase`
# (cached between runs; a copy is used), the three suites that a normal
# installation lists (the release, -updates, -security), git installed, the
# current commit cloned into "/root/my checkout/zunfel" (a folder other users
# cannot enter, a path with a blank), then `bash scripts/example.sh` and
# `bash scripts/check.sh` there, as root, with no standard input. Each runs
# in a private mount namespace with its own proc, sys, /dev, devpts and
# /dev/shm, which vanish with it: nothing leaks to this machine and nothing
# of its installation is seen. Prints one line per release and command, with
# the last lines of a failure; the logs stay in the cache folder.
#
# Needs root. Environment: ZUNFEL_CLEAN_ROOM (cache folder, default
# /var/tmp/zunfel-clean-room), ZUNFEL_MIRROR and ZUNFEL_SECURITY_MIRROR
# (Debian's by default), ZUNFEL_CLEAN_ROOM_KEEP=1 (keep the used root),
# ZUNFEL_WINE32 (handed on to the commands). Not part of the test command.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if (($# == 0)); then
  echo "usage: $0 RELEASE...   (for example: bookworm trixie)" >&2
  exit 2
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "clean-room.sh: needs root (debootstrap, chroot and mount namespaces)" >&2
  exit 2
fi
. "$top/scripts/packages.sh"
need=()
command -v debootstrap >/dev/null || need+=(debootstrap)
command -v unshare >/dev/null || need+=(util-linux)
command -v findmnt >/dev/null || need+=(util-linux)
install_packages clean-room.sh "${need[@]}"

cache=${ZUNFEL_CLEAN_ROOM:-/var/tmp/zunfel-clean-room}
mirror=${ZUNFEL_MIRROR:-http://deb.debian.org/debian}
security=${ZUNFEL_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
commit=$(git -C "$top" rev-parse HEAD)
checkout="/root/my checkout/zunfel"
mkdir -p "$cache/logs"

# A root is copied or removed only while nothing is mounted inside it: a copy
# would take the host's /proc or /dev along, a removal would reach into them.
nothing_mounted_in() {
  local inside
  inside=$(findmnt -rn -o TARGET | awk -v root="$1" 'index($0, root "/") == 1 || $0 == root')
  if [[ -n $inside ]]; then
    echo "clean-room.sh: still mounted inside $1, left alone:" >&2
    echo "$inside" >&2
    return 1
  fi
}

remove_root() {
  [[ -e $1 ]] || return 0
  nothing_mounted_in "$1"
  rm -rf --one-file-system "$1"
}

# The bare root of a release, made once.
bare_root() {
  local release=$1 base="$cache/$release.base"
  if [[ ! -d $base ]]; then
    remove_root "$base.new"
    debootstrap --variant=minbase "$release" "$base.new" "$mirror" \
      >"$cache/logs/$release-debootstrap.log" 2>&1 || {
      echo "$release  debootstrap  FAILED (see $cache/logs/$release-debootstrap.log)"
      tail -n 5 "$cache/logs/$release-debootstrap.log" | sed 's/^/    /'
      return 1
    }
    nothing_mounted_in "$base.new"
    mv "$base.new" "$base"
  fi
  echo "$base"
}

# Runs a shell command as root inside the root, in a mount namespace of its
# own; its output goes to the log.
in_root() {
  local root=$1 command=$2 log=$3
  unshare -m --propagation private -- bash -s "$root" "$command" "${ZUNFEL_WINE32:-}" \
    >"$log" 2>&1 <<'INSIDE'
set -eu
root=$1 command=$2 wine32=$3
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount -t tmpfs -o mode=755,size=8m,nosuid dev "$root/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
  IFS=: read -r name major minor <<<"$node"
  mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
environment=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
[ -z "$wine32" ] || environment+=("ZUNFEL_WINE32=$wine32")
exec chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -c "$command" </dev/null
INSIDE
}

# One line for a step; the end of its log when it failed.
report() {
  local release=$1 step=$2 status=$3 seconds=$4 log=$5
  if ((status == 0)); then
    printf '%s  %-20s passed (status 0, %d s)\n' "$release" "$step" "$seconds"
  else
    printf '%s  %-20s FAILED (status %d, %d s), log %s:\n' "$release" "$step" "$status" \
      "$seconds" "$log"
    grep -v '^\s*$' "$log" | tail -n 25 | sed 's/^/    /'
  fi
}

failed=0
for release in "$@"; do
  base=$(bare_root "$release") || {
    failed=1
    continue
  }
  root="$cache/$release.run"
  remove_root "$root"
  cp -a "$base" "$root"
  rm -f "$root/etc/apt/sources.list"
  cat >"$root/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $release $release-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: $release-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  steps=("install git" "scripts/example.sh" "scripts/check.sh")
  commands=(
    "apt-get update -q; DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends git"
    "cd '$checkout' && bash scripts/example.sh"
    "cd '$checkout' && bash scripts/check.sh"
  )
  for k in "${!steps[@]}"; do
    # A run with ZUNFEL_WINE32=skip keeps its logs beside those of a full run.
    log="$cache/logs/$release-${steps[k]##*/}${ZUNFEL_WINE32:+-wine32-$ZUNFEL_WINE32}.log"
    log=${log// /-}
    if ((k == 1)); then
      mkdir -p "$root/root/my checkout"
      git clone -q --no-hardlinks "$top" "$root$checkout"
      git -C "$root$checkout" checkout -q --detach "$commit"
    fi
    start=$SECONDS
    status=0
    in_root "$root" "${commands[k]}" "$log" || status=$?
    report "$release${ZUNFEL_WINE32:+ (ZUNFEL_WINE32=$ZUNFEL_WINE32)}" "${steps[k]}" "$status" \
      "$((SECONDS - start))" "$log"
    if ((status != 0)); then
      failed=1
      ((k > 0)) || break
    fi
  done
  if [[ ${ZUNFEL_CLEAN_ROOM_KEEP:-} != 1 ]]; then
    remove_root "$root"
  fi
done
exit "$failed"
