#!/bin/bash
# Reads the machine code of the workload's functions in a built binary and
# checks its double arithmetic: no fused multiply-add (which rounds once
# where the benchmark rounds twice) and, on 32-bit x86, no x87 arithmetic
# (which rounds to extended precision). The arithmetic the benchmark does
# must be there, so a wrong reading of the binary cannot pass.
#
# usage: disassembly.sh OBJDUMP PROCESSOR BINARY
set -euo pipefail
objdump=$1 processor=$2 binary=$3

case $processor in
x86_64 | AMD64 | amd64)
    arithmetic='^v?(add|sub|mul|div)sd'
    fused='^vf(n)?m(add|sub)'
    x87='' ;;
i[3-6]86 | x86)
    arithmetic='^v?(add|sub|mul|div)sd'
    fused='^vf(n)?m(add|sub)'
    x87='^f(i?(add|sub|subr|mul|div|divr)|sqrt|chs|abs|prem|rndint|scale|sin|cos|ptan|patan|2xm1|yl2x|xtract|u?comi?)' ;;
arm*)
    arithmetic='^v(add|sub|mul|div)\.f64'
    fused='^vf(n)?m[as]\.'
    x87='' ;;
aarch64 | arm64)
    arithmetic='^f(add|sub|mul|div)$'
    fused='^f(n)?m(add|sub)$|^fml[as]$'
    x87='' ;;
*)
    echo "no disassembly rules for processor $processor" >&2
    exit 1 ;;
esac

# "mnemonic function" for each instruction of PA, P3, P0 and timed_pass
# (and any clone of them, such as PA.constprop.0).
instructions=$("$objdump" -d --no-show-raw-insn "$binary" | awk '
    /^[0-9a-f]+ <[^>]+>:$/ {
        name = $2; gsub(/[<>:]/, "", name); stem = name; sub(/[.@].*/, "", stem)
        inside = (stem == "PA" || stem == "P3" || stem == "P0" || stem == "timed_pass")
        if (inside) seen[stem] = 1
        next
    }
    inside && /^ *[0-9a-f]+: *\t/ {
        split($0, field, "\t"); split(field[2], word, " ")
        if (word[1] != "") print word[1], name
    }
    END { for (s in seen) print "FUNCTION", s }')

status=0
for f in PA P3 P0 timed_pass; do
    if ! grep -qx "FUNCTION $f" <<<"$instructions"; then
        echo "function $f not found in $binary" >&2
        status=1
    fi
done
mnemonics=$(grep -v '^FUNCTION ' <<<"$instructions" || true)

found=$(awk -v re="$arithmetic" '$1 ~ re' <<<"$mnemonics" | wc -l)
if [ "$found" -eq 0 ]; then
    echo "no double arithmetic ($arithmetic) found in the workload" >&2
    status=1
fi
# forbid RE WHAT: fails on every instruction whose mnemonic matches RE.
forbid() {
    if [ -n "$1" ] && awk -v re="$1" -v what="$2" '$1 ~ re { print what ":", $0; bad = 1 }
        END { exit !bad }' <<<"$mnemonics" >&2; then
        status=1
    fi
}
forbid "$fused" "fused multiply-add"
forbid "$x87" "x87 arithmetic"
[ $status -eq 0 ] && echo "$found double arithmetic instructions, none fused${x87:+, none x87}"
exit $status
