#!/usr/bin/env bash
# Turns CHANGELOG.md into the changelog forms the packages carry:
#   changelog.sh debian|rpm CHANGELOG.md PACKAGE MAINTAINER RELEASE OUTPUT
# The Debian form is written compressed, as Debian keeps it.
# Each "## VERSION - YYYY-MM-DD" section becomes one entry and each "- "
# item one change. The newest entry is dated by SOURCE_DATE_EPOCH where it
# is set, so that a package built for a given moment says so; every other
# date comes from the file.
set -euo pipefail
form=$1 source=$2 package=$3 maintainer=$4 release=$5 output=$6
newest=1

entry_date() {  # format, the section's own date
  if ((newest)) && [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then
    LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" "$1"
  else
    LC_ALL=C date -u -d "$2" "$1"
  fi
}

# One change, wrapped, with its first and following line prefixes.
change() {
  printf '%s\n' "$1" | fmt -w "$2" | sed "1s/^/$3/; 2,\$s/^/$4/"
}

emit() {  # version date changes...
  local version=$1 day=$2
  shift 2
  if [[ $form == debian ]]; then
    printf '%s (%s) unstable; urgency=medium\n\n' "$package" "$version"
    for c in "$@"; do change "$c" 74 '  * ' '    '; done
    printf '\n -- %s  %s\n\n' "$maintainer" "$(entry_date -R "$day")"
  else
    printf '* %s %s - %s-%s\n' "$(entry_date '+%a %b %d %Y' "$day")" "$maintainer" "$version" "$release"
    for c in "$@"; do change "$c" 76 '- ' '  '; done
    printf '\n'
  fi
  newest=0
}

flush_item() {
  if [[ -n $item ]]; then
    changes+=("$item")
  fi
  item=''
}

all() {
  version='' day='' changes=() item=''
  while IFS= read -r line || [[ -n $line ]]; do
    if [[ $line =~ ^##\ ([^ ]+)\ -\ ([0-9]{4}-[0-9]{2}-[0-9]{2})$ ]]; then
      flush_item
      if [[ -n $version ]]; then
        emit "$version" "$day" "${changes[@]}"
      fi
      version=${BASH_REMATCH[1]} day=${BASH_REMATCH[2]} changes=()
    elif [[ -n $version && $line == '- '* ]]; then
      flush_item
      item=${line#- }
    elif [[ -n $version && -n $item && $line == '  '* ]]; then
      item+=" ${line#  }"
    fi
  done <"$source"
  flush_item
  if [[ -z $version ]]; then
    echo "changelog.sh: no release in $source" >&2
    exit 1
  fi
  emit "$version" "$day" "${changes[@]}"
}

if [[ $form == debian ]]; then
  all | gzip -9n >"$output"
else
  all >"$output"
fi
