#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs the build, or packages it as a .deb and unpacks that, into a
# temporary folder, and checks what a user would get: exactly the programs,
# their manual pages and the verifier's qemu plugin, programs that run, a
# zarvek that zarvek-verify judges faithful (natively, and under qemu with
# the installed plugin), and pages that render without a warning and
# document what zarvek prints.
#
# usage: install_test.sh install|package BUILD_DIR bench|no-bench verify|no-verify fleet|no-fleet
#   bench:  zarvek-bench was built, so it must be there too
#   verify: judge the installed zarvek (not with sanitizers, which valgrind
#           cannot run)
#   fleet:  zarvek-fleet was built, so it must be there too
set -euo pipefail
mode=$1 build=$2 bench=$3 verify=$4 fleet=$5
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
    dpkg-deb -f "$deb" Recommends | grep -q valgrind || fail "zarvek-verify's valgrind not recommended"
    if [ "$bench" = bench ]; then
        for dependency in python3-scipy python3-statsmodels python3-jinja2 python3-matplotlib \
            python3-jsonschema python3-sqlalchemy python3-psycopg2; do
            dpkg-deb -f "$deb" Depends | grep -q "$dependency" ||
                fail "no dependency on $dependency (zarvek-compare, zarvek-report)"
        done
    fi
    if [ "$fleet" = fleet ]; then
        # Open MPI's launcher alone: zarvek-fleet links Open MPI.
        dpkg-deb -f "$deb" Recommends | tr , '\n' | sed 's/^ *//' | grep -qx openmpi-bin ||
            fail "zarvek-fleet's launcher, Open MPI's alone, not recommended"
    fi
    # Debian's checks pass it without an error or a warning, where lintian
    # is installed (CI's packages): the page compressed, the copyright
    # file, the programs stripped but zarvek, whose symbol table the
    # verifier needs, no maintainer script running ldconfig for the plugin.
    if command -v lintian >/dev/null; then
        found=$(lintian --allow-root --fail-on error,warning "$deb" 2>&1) || fail "lintian: $found"
    else
        echo "install_test: lintian is not installed; the package is not checked by it"
    fi
    dpkg-deb -x "$deb" "$work/root"
    root=$work/root/usr ;;
*)
    fail "unknown mode $mode" ;;
esac

# Exactly the programs and their pages; the package's pages compressed,
# with its copyright, changelog and lintian's override for zarvek.
programs=(zarvek zarvek-verify)
[ "$bench" = bench ] && programs+=(zarvek-bench zarvek-compare zarvek-report)
[ "$fleet" = fleet ] && programs+=(zarvek-fleet)
pages=.1
[ "$mode" = package ] && pages=.1.gz
expected=$({
    for p in "${programs[@]}"; do echo "./bin/$p"; echo "./share/man/man1/$p$pages"; done
    echo ./lib/zarvek/zarvek-qemu-plugin.so
    if [ "$bench" = bench ]; then
        for f in __init__ _bench _causes _files _machine _process _progress _result _schema \
            _stats _verdict _version \
            _compare/__init__ _compare/builds _compare/judge _compare/output _compare/plan \
            _compare/plot _compare/rounds _compare/saved _compare/sections \
            _changes _history_page _rating _records _series _store _summary history keeping \
            _workload compare page report; do
            echo "./lib/zarvek/zarvek/$f.py"
        done
        for f in result-1 result-2 result-3 result-parts; do
            echo "./lib/zarvek/zarvek/schemas/$f.schema.json"
        done
        echo ./lib/zarvek/zarvek/templates/history.html.j2
        echo ./lib/zarvek/zarvek/templates/page.html.j2
        echo ./lib/zarvek/zarvek/templates/sort.js
    fi
    if [ "$mode" = package ]; then
        printf '%s\n' ./share/doc/zarvek/copyright ./share/doc/zarvek/changelog.gz \
            ./share/lintian/overrides/zarvek
    fi
} | sort | tr '\n' ' ')
files=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "$expected" ] || fail "installed files: $files; expected: $expected"
for p in "${programs[@]}"; do
    [ -x "$root/bin/$p" ] || fail "$p is not executable"
done

# The program runs: a bad count gives exactly the usage line and status 1.
set +e
usage=$("$root/bin/zarvek" -5 2>&1 >/dev/null)
status=$?
set -e
[ $status -eq 1 ] || fail "zarvek -5 exited with $status"
[ "$usage" = "usage: zarvek [-c] [loops]" ] || fail "zarvek -5 wrote: $usage"

# zarvek-verify, beside it, judges it faithful: the installed zarvek kept
# its symbol table. zarvek-bench runs.
if [ "$verify" = verify ]; then
    verdict=$("$root/bin/zarvek-verify" 2>&1) || fail "zarvek-verify on the installed zarvek: $verdict"
    grep -q "^Verdict: faithful" <<<"$verdict" || fail "no faithful verdict: $verdict"
    # Under emulation it finds its plugin where it was installed.
    qemu=qemu-$(uname -m)
    if command -v "$qemu" >/dev/null; then
        verdict=$("$root/bin/zarvek-verify" --emulator "$qemu" 2>&1) ||
            fail "zarvek-verify under $qemu: $verdict"
        grep -q "^Method: .* with zarvek-verify's plugin $root/bin/../lib/zarvek/" <<<"$verdict" ||
            fail "the installed plugin was not used: $verdict"
    fi
fi
if [ "$bench" = bench ]; then
    "$root/bin/zarvek-bench" --benchmark_list_tests | grep -qx "timed_pass/1" ||
        fail "zarvek-bench does not list timed_pass/1"
fi
# zarvek-compare finds the zarvek-verify installed beside it, which judges
# the installed build, and compares that build with itself. The budget
# leaves room for a probe that ran beside other tests at a tenth of its
# speed: the fewest rounds would then need 5.5 s.
if [ "$bench" = bench ] && [ "$verify" = verify ] && [ "$mode" = install ]; then
    compared=$("$root/bin/zarvek-compare" --time 10 --loop 1000 --repetitions 2 "$root/bin" "$root/bin" 2>&1) ||
        fail "zarvek-compare on the installed build: $compared"
    grep -qx "  verifier  faithful" <<<"$compared" || fail "zarvek-compare did not verify: $compared"
fi
# zarvek-report finds the package where it was installed, through a
# symbolic link to it too, says the project's version, and leaves no byte
# code there.
if [ "$bench" = bench ]; then
    help=$("$root/bin/zarvek-report" --help 2>&1) || fail "zarvek-report --help: $help"
    [[ $help = "usage: zarvek-report "* ]] || fail "zarvek-report --help wrote: $help"
    ln -s "$root/bin/zarvek-compare" "$work/linked-compare"
    version=$("$work/linked-compare" --version 2>&1) || fail "zarvek-compare --version: $version"
    [ "$version" = "zarvek-compare $(sed -n 's/^project(zarvek VERSION \([0-9.]*\).*/\1/p' \
        "$(dirname "$0")/../CMakeLists.txt")" ] || fail "zarvek-compare --version wrote: $version"
    [ -z "$(find "$root/lib/zarvek" -name __pycache__)" ] || fail "byte code written in lib/zarvek"
fi
# zarvek-fleet runs without a launcher too, as a job of one rank.
if [ "$fleet" = fleet ]; then
    # Open MPI keeps allocations until exit, which a sanitized build's leak
    # check would count.
    help=$(ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$root/bin/zarvek-fleet" --help) ||
        fail "zarvek-fleet --help failed"
    [[ $help = "usage: zarvek-fleet "* ]] || fail "zarvek-fleet --help wrote: $help"
fi

# The pages render without a warning from groff or man.
for p in "${programs[@]}"; do
    page=$root/share/man/man1/$p$pages
    warnings=$(zcat -f "$page" | groff -man -Tascii -ww -z 2>&1) || fail "groff failed on $p.1: $warnings"
    [ -z "$warnings" ] || fail "groff warnings in $p.1: $warnings"
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null) || fail "man failed on $p.1: $warnings"
    [ -z "$warnings" ] || fail "man warnings in $p.1: $warnings"
done

# zarvek's sections, and every line it prints, as it prints it.
page=$root/share/man/man1/zarvek$pages
text=$(zcat -f "$page" | groff -man -Tascii -P-cbou)
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
echo "$mode: ${programs[*]} and their pages in place; zarvek judged faithful; the pages render cleanly"
