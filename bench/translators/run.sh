#!/usr/bin/env bash
# run.sh: times the four translators on a generated 20 MB source with 10,000
# units (each with a coload construct, a parallel region and a serial block).
# Not part of the tests.  Usage: bench/translators/run.sh [BIN_DIR] [UNITS]
# BIN_DIR defaults to build/bin; each translator should take under 2 s.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../../build/bin}
units=${2:-10000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

c++ -O2 -o "$work/generate_source" "$here/generate_source.cpp"
"$work/generate_source" "$units" > "$work/big.zeq"
size=$(stat -c %s "$work/big.zeq")
echo "source: $size bytes, $units units"

status=0
for t in zeqcuda zeqopencl zeqremote zeqopenmp; do
    start=$(date +%s.%N)
    "$bin/$t" "$work/big.zeq" > "$work/$t.out"
    end=$(date +%s.%N)
    seconds=$(echo "$end - $start" | bc)
    out=$(stat -c %s "$work/$t.out")
    verdict=ok
    if (( $(echo "$seconds >= 2" | bc) )); then verdict=SLOW; status=1; fi
    printf '%-10s %6.3f s  %10d bytes out  %s\n' "$t" "$seconds" "$out" "$verdict"
done
exit $status
