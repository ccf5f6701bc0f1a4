#!/usr/bin/env bash
# Checks of the installable forms, run by CTest:
#   package_test.sh man SOURCE             the man page has no groff or mandoc warnings
#   package_test.sh deb SOURCE BUILD       the Debian package is lintian clean,
#                                          installs into a temporary root and
#                                          merges the example
#   package_test.sh rpm SOURCE BUILD       the RPM package has no rpmlint errors
#                                          and the Debian package's files
#   package_test.sh zip SOURCE BUILD       the zip holds Zunfel32.exe and a
#                                          README.txt with CR LF line ends
#   package_test.sh reproducible SOURCE    two release builds in different
#                                          folders give identical bytes
#   package_test.sh zip-reproducible SOURCE CPU  the same for Zunfel32.exe and its zip
set -euo pipefail
what=$1 source=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zunfel-package-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
files="usr/bin/zunfelu usr/share/man/man1/zunfelu.1.gz usr/share/doc/zunfelu/README.md
       usr/share/doc/zunfelu/changelog.gz usr/share/doc/zunfelu/copyright"

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
    deb=$(ls "$scratch"/out/zunfelu_*_amd64.deb)
    report=$(lintian --no-cfg --fail-on error,warning "$deb" 2>&1) || fail "lintian: $report"
    [[ $(dpkg-deb -f "$deb" Package) == zunfelu ]] || fail "package name"
    [[ $(dpkg-deb -f "$deb" Section) == utils ]] || fail "section"
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q '^libc6 (>= ' <<<"$depends" || fail "dependencies: $depends"
    dpkg -x "$deb" "$scratch/root"
    for f in $files; do
      [[ -f $scratch/root/$f ]] || fail "$f not in the package"
    done
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
    echo "installed $(basename "$deb") into a temporary root; it merged the example set; lintian: no E: or W:"
    ;;
  rpm)
    build=$3
    (cd "$scratch" && cpack -G RPM --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
    rpm=$(ls "$scratch"/out/zunfelu-*.x86_64.rpm)
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
    build=$3
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >/dev/null)
    zip=$(ls "$scratch"/out/Zunfel32-*.zip)
    (cd "$scratch" && unzip -q "$zip" -d unpacked)
    [[ $(ls "$scratch/unpacked") == $'README.txt\nZunfel32.exe' ]] || fail "zip holds: $(ls "$scratch/unpacked")"
    lines=$(wc -l <"$scratch/unpacked/README.txt")
    crlf=$(grep -c $'\r$' "$scratch/unpacked/README.txt" || true)
    ((lines > 0 && lines == crlf)) || fail "README.txt: $crlf of $lines lines end in CR LF"
    echo "$(basename "$zip"): Zunfel32.exe and README.txt ($lines CR LF lines)"
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
  *)
    fail "unknown check $what"
    ;;
esac
