#!/bin/bash
# Installs the build, or packages it as a .deb and unpacks that, into a
# temporary folder, and checks what a user would get: exactly the program
# and its manual page, a program that runs, and a page that renders without
# a warning and documents what the program prints.
#
# usage: install_test.sh install|package BUILD_DIR
set -euo pipefail
mode=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

case $mode in
install)
    cmake --install "$build" --prefix "$work/root" >/dev/null
    root=$work/root ;;
package)
    (cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
    debs=("$work"/pkg/*.deb)
    [ -f "${debs[0]}" ] && [ ${#debs[@]} -eq 1 ] || fail "cpack made no single .deb: ${debs[*]}"
    deb=${debs[0]}
    [ "$(dpkg-deb -f "$deb" Package)" = zarvek ] || fail "package name"
    [ -n "$(dpkg-deb -f "$deb" Version)" ] || fail "no version"
    dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependency on libc6"
    dpkg-deb -x "$deb" "$work/root"
    root=$work/root/usr ;;
*)
    fail "unknown mode $mode" ;;
esac

# Exactly the program and the page.
files=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./bin/zarvek ./share/man/man1/zarvek.1 " ] || fail "installed files: $files"
[ -x "$root/bin/zarvek" ] || fail "zarvek is not executable"

# The program runs: a bad count gives exactly the usage line and status 1.
set +e
usage=$("$root/bin/zarvek" -5 2>&1 >/dev/null)
status=$?
set -e
[ $status -eq 1 ] || fail "zarvek -5 exited with $status"
[ "$usage" = "usage: zarvek [-c] [loops]" ] || fail "zarvek -5 wrote: $usage"

# The page renders without a warning from groff or man.
page=$root/share/man/man1/zarvek.1
warnings=$(groff -man -Tascii -ww -z "$page" 2>&1) || fail "groff failed: $warnings"
[ -z "$warnings" ] || fail "groff warnings: $warnings"
warnings=$(man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed: $warnings"
[ -z "$warnings" ] || fail "man warnings: $warnings"

# Its sections, and every line the program prints, as the program prints it.
text=$(groff -man -Tascii -P-cbou "$page")
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" NOTES; do
    grep -qx "$heading" <<<"$text" || fail "no $heading section"
done
expected=(
    "zarvek [-c] [loops]"
    "$usage"
    "Loops: 200000, Iterations: 1, Duration: 3 sec."
    "C Converted Double Precision Corvanes: 6666.7 MIPS"
    "C Converted Double Precision Corvanes: 700.0 KIPS"
    "Insufficient duration- Increase the LOOP count"
    "zarvek: cannot write standard output: error"
)
for line in "${expected[@]}"; do
    grep -qxF "$line" <<<"$(sed 's/^ *//; s/ *$//' <<<"$text")" || fail "the page lacks: $line"
done
echo "$mode: zarvek and zarvek.1 in place; the page renders cleanly"
