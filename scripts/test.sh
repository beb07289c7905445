#!/usr/bin/env bash
# The one test command: installs what is missing, builds both flavours and runs
# every test of each.  Ends with CTest's summary; the exit status is non-zero if
# any test failed in either flavour.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
jobs=$(nproc 2>/dev/null || echo 2)

status=0
echo "== i386 (build-i386) =="
ctest --test-dir build-i386 --output-on-failure -j "$jobs" || status=1
echo "== x86-64 (build) =="
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
exit $status
