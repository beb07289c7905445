#!/usr/bin/env bash
# Builds the x86-64 flavour with ThreadSanitizer into build-tsan/ (see
# cmake/sanitize.cmake) and runs the runtime's tests under it: the core
# (regions, locks, pool, lifecycle), the offload part (coload calls, devices,
# balance), the remote client and server folder, and the zeqworker agents.
# Ends non-zero when a test failed or any process printed a TSan report.
#
# Not part of scripts/test.sh: TSan slows these tests five to fifteen times,
# which on a small machine adds most of an hour to a command that already
# runs three full suites, and it would need a fourth build of the tree.
#
# Every process of the run, agents and children included, writes its reports
# to build-tsan/tsan-reports/<program>.<pid> (log_path) rather than to standard
# error, where a test that keeps a child's output would hide them; the
# summary counts them per program.  Reports TSan cannot judge rightly are
# suppressed in scripts/tsan.supp, each with its reason.
# Arguments go to ctest (for example -R region to run fewer tests).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-tsan -G Ninja -DZEQ_SANITIZE=thread -DZEQ_BUILD_BENCH=OFF >/dev/null
# Only what the tests below need: the parser's and the N-body sample's tests
# exercise no more of the runtime's threads than these do.
cmake --build build-tsan -j "$jobs" --target \
  tests/Runtime/all tests/zeqworker/all zeqworker/all \
  tests/support/cuda_stand_in/all tests/support/sshfs_server/all tests/support/slurm_cluster/all \
  Samples/saxpy/all Samples/remote_saxpy/all

reports=$root/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
# exitcode=0: a report fails the run through the count below, not by changing
# the exit status of a program whose status a test judges in its own way.
export TSAN_OPTIONS="log_path=$reports/tsan:log_exe_name=1:exitcode=0:suppressions=$root/scripts/tsan.supp:second_deadlock_stack=1${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

status=0
# tests/Runtime holds the core, offload (remote and server folder included)
# and lifecycle tests; tests/zeqworker the agents'.
for dir in tests/Runtime tests/zeqworker; do
  echo "== $dir under ThreadSanitizer (build-tsan) =="
  ctest --test-dir "build-tsan/$dir" --output-on-failure -j "$jobs" "$@" || status=1
done

echo "== ThreadSanitizer reports per program =="
total=0
shopt -s nullglob
declare -A per_program=()
for f in "$reports"/tsan.*; do
  n=$(grep -c 'WARNING: ThreadSanitizer\|ERROR: ThreadSanitizer' "$f" || true)
  [[ $n -gt 0 ]] || continue
  program=${f#"$reports"/tsan.}
  program=${program%.*}
  per_program[$program]=$(( ${per_program[$program]:-0} + n ))
  total=$(( total + n ))
done
for program in "${!per_program[@]}"; do
  printf '%6d  %s\n' "${per_program[$program]}" "$program"
done | sort -k2
echo "$total report(s) in all; the reports are in $reports"
[[ $total -eq 0 ]] || status=1
exit $status
