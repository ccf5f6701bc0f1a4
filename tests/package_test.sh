#!/usr/bin/env bash
# Checks of the installable forms, run by CTest:
#   package_test.sh man SOURCE             the man page has no groff or mandoc warnings
#   package_test.sh deb SOURCE BUILD       the Debian package is lintian clean,
#                                          installs into a temporary root and
#                                          merges the example
#   package_test.sh rpm SOURCE BUILD       the RPM package has no rpmlint errors
#                                          and the Debian package's files
#   package_test.sh zip SOURCE BUILD CXX   the zip holds Zunfel32.exe and a
#                                          README.txt with CR LF line ends;
#                                          the program starts on Windows XP
#   package_test.sh reproducible SOURCE    two release builds in different
#                                          folders give identical bytes
#   package_test.sh zip-reproducible SOURCE CPU  the same for Zunfel32.exe and its zip
#   package_test.sh example SOURCE         the example command, run in a fresh
#                                          clone, ends with an install line that
#                                          installs zunfelu and its man page
set -euo pipefail
what=$1 source=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zunfel-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
files="usr/bin/zunfelu usr/share/man/man1/zunfelu.1.gz usr/share/doc/zunfelu/README.md
       usr/share/doc/zunfelu/changelog.gz usr/share/doc/zunfelu/copyright"

# The program loads the C library and nothing else.
# (On arm64 the stack protector reads its canary, __stack_chk_guard, from
# the dynamic loader, so a hardened program needs the loader's library too.)
libc_alone() {
  local needed allowed=libc.so.6
  needed=$(readelf -dW "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
  # (Read whole first: grep -q would end the pipe early, which pipefail
  # takes for a failure.)
  if [[ $(readelf --dyn-syms -W "$1") == *" UND __stack_chk_guard"* ]]; then
    allowed=$(printf '%s\n' libc.so.6 "$(readelf -lW "$1" | sed -n 's|.*interpreter: .*/\(.*\)\]|\1|p')" | sort | tr '\n' ' ')
  else
    allowed+=' '
  fi
  [[ $needed == "$allowed" ]] || fail "$1 loads more than the C library: $needed"
}

# The hardening Debian gives its own packages, read off the binary: a
# position-independent executable, read-only relocations bound at start,
# the stack protector and fortified calls, and the control-flow marks where
# the system's own start files carry them (Debian 12's do not, so no program
# linked there can).
hardening() {
  local elf=$1 header dynamic symbols notes start
  header=$(readelf -hW "$elf") dynamic=$(readelf -dW "$elf") symbols=$(readelf --dyn-syms -W "$elf")
  notes=$(readelf -nW "$elf") start=$(readelf -nW "$(g++ -print-file-name=Scrt1.o)" 2>/dev/null || true)
  grep -q 'Type: *DYN' <<<"$header" || fail "$elf is not position-independent"
  libc_alone "$elf"
  readelf -lW "$elf" | grep -q GNU_RELRO || fail "$elf has no read-only relocations"
  grep -Eq 'BIND_NOW|Flags: .*NOW' <<<"$dynamic" || fail "$elf is not bound at start"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$elf has no stack protector"
  grep -Eq '__[a-z]+_chk' <<<"$symbols" || fail "$elf calls no fortified function"
  if grep -q 'x86 feature: IBT, SHSTK' <<<"$start"; then
    grep -q 'x86 feature: IBT, SHSTK' <<<"$notes" || fail "$elf has no control-flow protection"
  else
    echo "control-flow marks: this system's start files have none, so no program linked here can"
  fi
}

case $what in
  man)
    warnings=$(groff -man -ww -z "$source/docs/zunfelu.1" 2>&1)
    [[ -z $warnings ]] || fail "groff warns: $warnings"
    warnings=$(mandoc -Tlint -W warning "$source/docs/zunfelu.1" 2>&1) || fail "mandoc warns: $warnings"
    [[ -z $warnings ]] || fail "mandoc warns: $warnings"
    if command -v man >/dev/null; then
      warnings=$(man --warnings -l "$source/docs/zunfelu.1" 2>&1 >/dev/null)
      [[ -z $warnings ]] || fail "man warns: $warnings"
    fi
    ;;
  deb)
    build=$3
    (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
    deb=$(ls "$scratch"/out/zunfelu_*_"$(dpkg --print-architecture)".deb)
    report=$(lintian --no-cfg --fail-on error,warning "$deb" 2>&1) || fail "lintian: $report"
    [[ $(dpkg-deb -f "$deb" Package) == zunfelu ]] || fail "package name"
    [[ $(dpkg-deb -f "$deb" Section) == utils ]] || fail "section"
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q '^libc6 (>= ' <<<"$depends" || fail "dependencies: $depends"
    dpkg -x "$deb" "$scratch/root"
    for f in $files; do
      [[ -f $scratch/root/$f ]] || fail "$f not in the package"
    done
    # Outside the section on building from the source, the packaged README
    # names nothing that only a checkout holds.
    names=$(awk '/^## /{skip = /^## Getting it/} !skip' "$scratch/root/usr/share/doc/zunfelu/README.md" |
      grep -nE 'LICENSE|CHANGELOG|DEVELOPING|scripts/|docs/|examples/|build/' || true)
    [[ -z $names ]] || fail "the packaged README names what the package lacks: $names"
    version=$(dpkg-deb -f "$deb" Version)
    # Whole outputs are captured before they are searched: with pipefail, a
    # grep -q that stops reading early would fail the writer with SIGPIPE.
    first=$(zcat "$scratch/root/usr/share/doc/zunfelu/changelog.gz")
    first=${first%%$'\n'*}
    [[ $first == "zunfelu ($version) unstable; urgency=medium" ]] || fail "changelog: $first"
    grep -q '^License: Expat$' "$scratch/root/usr/share/doc/zunfelu/copyright" || fail "copyright file"
    zcat "$scratch/root/usr/share/man/man1/zunfelu.1.gz" | groff -man -ww -z 2>&1 | grep . && fail "installed man page"
    mkdir "$scratch/run"
    cp "$source"/examples/report.Z0? "$scratch/run/"
    (cd "$scratch/run" && "$scratch/root/usr/bin/zunfelu" report.Z00 </dev/null >/dev/null) ||
      fail "the installed zunfelu failed"
    cmp "$scratch/run/report.txt" "$source/examples/source/report.txt" || fail "merged file differs"
    hardening "$scratch/root/usr/bin/zunfelu"
    pedantic=$(lintian --no-cfg -I --pedantic "$deb" 2>&1 || true)
    ! grep -q 'hardening' <<<"$pedantic" || fail "lintian --pedantic: $pedantic"
    echo "installed $(basename "$deb") into a temporary root; it merged the example set; lintian: no E: or W:, no hardening tag"
    ;;
  rpm)
    build=$3
    (cd "$scratch" && cpack -G RPM --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
    rpm=$(ls "$scratch"/out/zunfelu-*."$(uname -m)".rpm)
    report=$(rpmlint -c "$source/cmake/rpmlint.toml" "$rpm" 2>&1) || true
    grep -q ' 0 errors' <<<"$report" || fail "rpmlint: $report"
    [[ $(rpm -qp --qf '%{LICENSE}' "$rpm") == MIT ]] || fail "licence: $(rpm -qp --qf '%{LICENSE}' "$rpm")"
    changelog=$(rpm -qp --changelog "$rpm") requires=$(rpm -qpR "$rpm") list=$(rpm -qpl "$rpm")
    grep -q "^\* .* - $(rpm -qp --qf '%{VERSION}-%{RELEASE}' "$rpm")$" <<<"$changelog" || fail "no %changelog"
    grep -q '^libc.so.6' <<<"$requires" || fail "dependencies: $requires"
    for f in $files; do
      grep -qx "/$f" <<<"$list" || fail "/$f not in the package"
    done
    echo "$(basename "$rpm"): $(grep -o '[0-9]* errors, [0-9]* warnings' <<<"$report")"
    ;;
  zip)
    build=$3 cxx=$4
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
    zip=$(ls "$scratch"/out/Zunfel32-*.zip)
    (cd "$scratch" && unzip -q "$zip" -d unpacked)
    [[ $(ls "$scratch/unpacked") == $'README.txt\nZunfel32.exe' ]] || fail "zip holds: $(ls "$scratch/unpacked")"
    lines=$(wc -l <"$scratch/unpacked/README.txt")
    crlf=$(grep -c $'\r$' "$scratch/unpacked/README.txt" || true)
    ((lines > 0 && lines == crlf)) || fail "README.txt: $crlf of $lines lines end in CR LF"
    # Address-space randomisation and no execution of data; a 64-bit
    # program (PE32+, magic 020b) also with high entropy.
    pe=$("$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")" -p "$scratch/unpacked/Zunfel32.exe")
    for flag in DYNAMIC_BASE NX_COMPAT; do
      grep -q "$flag" <<<"$pe" || fail "Zunfel32.exe lacks $flag"
    done
    if grep -q '^Magic.*020b' <<<"$pe"; then
      grep -q HIGH_ENTROPY_VA <<<"$pe" || fail "the 64-bit Zunfel32.exe lacks high-entropy ASLR"
    fi
    # Windows refuses to start a program that imports a call its DLLs lack.
    # Every imported call (but msvcrt.dll's, whose header knows no versions)
    # must be one that mingw-w64's headers declare for Windows XP, and the
    # header may ask for no later system than XP: 5.1, or for a 64-bit
    # program 5.2, the first x64 Windows (XP x64 Edition).
    newest=501
    if grep -q '^Magic.*020b' <<<"$pe"; then newest=502; fi
    # An entry is "vma hint name" (binutils before 2.42) or "vma ordinal
    # hint name" (later ones): its name is the last word.
    imports=$(awk '/DLL Name:/ { dll = tolower($3); next }
                   /^[[:space:]]*$/ { dll = "" }
                   dll != "" && dll != "msvcrt.dll" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ &&
                     $NF ~ /^[A-Za-z_][A-Za-z0-9_]*$/ { print $NF }' <<<"$pe")
    [[ -n $imports ]] || fail "no imported calls found in Zunfel32.exe"
    {
      echo '#include <windows.h>'
      echo '#include <winternl.h>'
      for call in $imports; do echo "auto* const use_$call = &$call;"; done
    } >"$scratch/imports.cpp"
    if ! report=$(LC_ALL=C "$cxx" -fsyntax-only -D_WIN32_WINNT=0x0501 -DWINVER=0x0501 "$scratch/imports.cpp" 2>&1); then
      late=$(grep -o "'[A-Za-z0-9_]*' was not declared" <<<"$report" | cut -d"'" -f2 | sort -u | tr '\n' ' ' || true)
      fail "Zunfel32.exe imports calls that Windows XP lacks: ${late:-$report}"
    fi
    for field in OSystem Subsystem; do
      version=$(awk -v f="$field" '$1 == "Major" f "Version" { major = $2 }
                                   $1 == "Minor" f "Version" { minor = $2 }
                                   END { print major "." minor }' <<<"$pe")
      IFS=. read -r major minor <<<"$version"
      ((major * 100 + minor <= newest)) || fail "Zunfel32.exe asks for Windows $version or later ($field)"
    done
    echo "$(basename "$zip"): Zunfel32.exe ($(grep -Eo 'HIGH_ENTROPY_VA|DYNAMIC_BASE|NX_COMPAT' <<<"$pe" | tr '\n' ' ')) and README.txt ($lines CR LF lines)"
    echo "$(wc -w <<<"$imports") imported calls, each declared for Windows XP; system and subsystem at most $((newest / 100)).$((newest % 100))"
    ;;
  reproducible)
    for n in 1 2; do
      cmake -S "$source" -B "$scratch/build-$n" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
      cmake --build "$scratch/build-$n" --target zunfelu man_page changelogs -j2 >/dev/null
      (cd "$scratch/build-$n" && SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct 2>/dev/null || echo 0) \
        cpack >/dev/null 2>&1)
    done
    cmp "$scratch/build-1/zunfelu" "$scratch/build-2/zunfelu" || fail "zunfelu differs between builds"
    cmp "$scratch/build-1/zunfelu.1.gz" "$scratch/build-2/zunfelu.1.gz" || fail "man page differs"
    for kind in deb rpm; do
      cmp "$(ls "$scratch"/build-1/zunfelu*."$kind")" "$(ls "$scratch"/build-2/zunfelu*."$kind")" ||
        fail "the $kind packages differ although their contents do not"
    done
    echo "two builds in different folders: identical zunfelu, man page, .deb and .rpm"
    ;;
  zip-reproducible)
    for n in 1 2; do
      cmake -S "$source" -B "$scratch/build-$n" --toolchain "$source/cmake/mingw-w64.cmake" \
        -DZUNFEL_WINDOWS_CPU="$3" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
      cmake --build "$scratch/build-$n" --target Zunfel32 -j2 >/dev/null
      (cd "$scratch/build-$n" && cpack >/dev/null)
    done
    cmp "$scratch/build-1/Zunfel32.exe" "$scratch/build-2/Zunfel32.exe" || fail "Zunfel32.exe differs between builds"
    cmp "$(ls "$scratch"/build-1/Zunfel32-*.zip)" "$(ls "$scratch"/build-2/Zunfel32-*.zip)" || fail "the zips differ"
    echo "two builds in different folders: identical Zunfel32.exe and zip"
    ;;
  example)
    clone="$scratch/fresh clone"
    git clone -q "$source" "$clone" || fail "cannot clone $source"
    log=$(cd "$scratch" && bash "$clone/scripts/example.sh" </dev/null 2>&1) || fail "example.sh: $log"
    grep -q "^zunfelu is built: $clone/build/example/zunfelu\$" <<<"$log" || fail "no path of the program: $log"
    line=${log##*$'\n'}
    [[ $line == "  cmake --install "*" --prefix "* ]] || fail "last line is no install line: $line"
    # Installed as printed, into a staging root instead of this machine.
    DESTDIR="$scratch/stage" bash -c "$line" >/dev/null || fail "the install line failed: $line"
    prefix=${line##* --prefix }
    [[ $prefix == "~/.local" ]] && prefix=$HOME/.local
    root="$scratch/stage$prefix"
    [[ $("$root/bin/zunfelu" --version) == *"zunfelu $(sed -n 's/^project(zunfel VERSION \([0-9.]*\).*/\1/p' "$clone/CMakeLists.txt")" ]] ||
      fail "the installed zunfelu does not answer --version"
    libc_alone "$root/bin/zunfelu"
    [[ -f $root/share/man/man1/zunfelu.1.gz ]] || fail "no man page in $root/share/man/man1"
    warnings=$(man --warnings -l "$root/share/man/man1/zunfelu.1.gz" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "installed man page: $warnings"
    # The README's removal takes away what a real install made, folders
    # included, and no folder that was there before; the prefix given
    # relative to where the install runs.
    home="$scratch/a home"
    mkdir -p "$home/.local/share/man"
    (cd "$home" && timeout 120 cmake --install "$clone/build/example" --prefix .local >/dev/null) ||
      fail "install into $home with the relative prefix .local"
    xargs -d '\n' rm -f -- <"$clone/build/example/install_manifest.txt"
    xargs -r -d '\n' rmdir --ignore-fail-on-non-empty -- <"$clone/build/example/install_folders.txt"
    left=$(cd "$home" && find . | sort | tr '\n' ' ')
    [[ $left == ". ./.local ./.local/share ./.local/share/man " ]] || fail "left after the removal: $left"
    echo "example.sh in a fresh clone printed: $line; it installed zunfelu and its man page; the removal left only what was there"
    ;;
  *)
    fail "unknown check $what"
    ;;
esac
