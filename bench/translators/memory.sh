#!/usr/bin/env bash
# memory.sh: peak memory (maximum resident set) of zeqopenmp on generated
# sources that are all brackets or all constructs, the shapes that make its
# tables and its stack of blocks largest.  Reported in bytes per source byte;
# more than 8 is marked HIGH and makes the script fail.  Not part of the tests.
# Usage: bench/translators/memory.sh [BIN_DIR] [MEGABYTES]
# BIN_DIR defaults to build/bin, MEGABYTES (decimal) to 50.  Needs GNU time
# (/usr/bin/time; Debian package "time").
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build/bin}
megabytes=${2:-50}
size=$((megabytes * 1000000))
limit=8
if [ ! -x /usr/bin/time ]; then
    echo "memory.sh: needs GNU time at /usr/bin/time (apt-get install time)" >&2
    exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# SIZE bytes of TEXT repeated.
repeat() {
    yes "$1" | tr -d '\n' | head -c "$2" || true
}
# LEVELS nested blocks of HEAD, then their closing braces: SIZE bytes in all.
nest() {
    local levels=$(($2 / (${#1} + 1)))
    repeat "$1" $((levels * ${#1}))
    repeat '}' "$levels"
}

repeat '{' "$size" > "$work/braces.zeq"
repeat '(' "$size" > "$work/parens.zeq"
repeat 'serial({' "$size" > "$work/keywords.zeq"
nest 'serial(){' "$size" > "$work/nested_serial.zeq"
nest 'parallel(1){' "$size" > "$work/nested_parallel.zeq"

status=0
echo "zeqopenmp from $bin, ${megabytes} MB sources"
for shape in braces parens keywords nested_serial nested_parallel; do
    source=$work/$shape.zeq
    bytes=$(stat -c %s "$source")
    /usr/bin/time -f %M -o "$work/rss" "$bin/zeqopenmp" "$source" > /dev/null
    kib=$(tail -n 1 "$work/rss")
    per_byte=$(echo "scale=2; $kib * 1024 / $bytes" | bc)
    verdict=ok
    if (( $(echo "$per_byte > $limit" | bc) )); then verdict=HIGH; status=1; fi
    printf '%-16s %10d bytes  peak %8d KiB  %6.2f bytes per byte  %s\n' \
        "$shape" "$bytes" "$kib" "$per_byte" "$verdict"
done
exit $status
