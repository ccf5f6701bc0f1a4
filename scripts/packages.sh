# Sourced by the README's two commands: installs Debian packages the way a
# fresh Debian 12 or 13 needs it, and tells a plain user what to install.
#
#   install_packages WHO PACKAGE...   installs the packages (as root, through
#                                     apt); as a plain user, names them and
#                                     the command that installs them, and ends
#
# A package mirror is often a little out of step: one index of a suite fails
# to download ("Mirror sync in progress?"), or the i386 index of -security or
# -updates lags behind the amd64 one, so that the i386 copy of a library that
# Multi-Arch wants at the amd64 version does not exist yet. Neither stops the
# install at once: a failed index is a warning, and a failed install is tried
# once more with the release's own suite as the target release, which keeps
# the two architectures in step.

apt_log=$(mktemp "${TMPDIR:-/tmp}/zunfel-apt-XXXXXX")
trap 'rm -f "$apt_log"' EXIT

release_codename() {
  (. /etc/os-release && echo "${VERSION_CODENAME:-}")
}

# apt-get update, whose failed indexes are reported and then set aside.
apt_update() {
  if ! apt-get update -q >"$apt_log" 2>&1; then
    echo "warning: apt-get update could not fetch every index; going on with the ones it has:" >&2
    grep -E '^(E|W|Err):' "$apt_log" | sed 's/^/  /' | head -n 6 >&2
  fi
}

apt_get_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" \
    </dev/null >"$apt_log" 2>&1
}

# apt-get install, then once more with the release's own suite preferred.
apt_install() {
  local codename
  apt_get_install "$@" && return 0
  codename=$(release_codename)
  [[ -n $codename ]] || return 1
  echo "warning: apt-get install failed; trying again with -t $codename" >&2
  apt_get_install -t "$codename" "$@"
}

# What apt said about the last failed install, without its progress lines.
apt_reason() {
  grep -E ' : (Depends|PreDepends|Conflicts|Breaks)|not installable|not going to be installed|^E: ' \
    "$apt_log" | head -n 12 | sed 's/^/  /'
}

# Ends the caller after a failed install of its packages, with apt's reason.
install_failed() {
  local who=$1
  shift
  echo "$who: apt-get install $* failed:" >&2
  apt_reason >&2
  exit 1
}

# Set by install_packages: the i386 packages that could not be installed.
unavailable_i386=()

install_packages() {
  local who=$1
  shift
  (($#)) || return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "$who: missing packages: $*" >&2
    echo "install them as root with: apt-get install --no-install-recommends $*" >&2
    exit 1
  fi
  echo "== installing: $*"
  local foreign=() plain=() p
  for p in "$@"; do
    if [[ $p == *:i386 ]]; then foreign+=("$p"); else plain+=("$p"); fi
  done
  if ((${#foreign[@]})) && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update
  if apt_install "$@"; then
    return 0
  fi
  ((${#foreign[@]})) || install_failed "$who" "$@"
  # What apt refuses is most likely the i386 part: install the rest, and
  # leave it to the caller to say what the missing part costs.
  if ((${#plain[@]})) && ! apt_install "${plain[@]}"; then
    install_failed "$who" "${plain[@]}"
  fi
  apt_install "${foreign[@]}" && return 0
  unavailable_i386=("${foreign[@]}")
}
