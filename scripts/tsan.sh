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
# TSan's exit status stays its own (66) for a program that reported: it fails
# the test that ran it, as well as the count below.  It is also the status of
# a program that TSan ends on a fatal signal, which must never read as 0.
# A report while GoogleTest lists a program's tests stops the run of that
# folder at once; the count below still names the program.
# A request too big for memory must meet a null from malloc, as it would
# without TSan, whose allocator otherwise ends the process (allocator_may_return_null).
options="log_path=$reports/tsan:log_exe_name=1:suppressions=$root/scripts/tsan.supp:second_deadlock_stack=1"
options+=":allocator_may_return_null=1"
export TSAN_OPTIONS="$options${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

# Left out, as what they check does not survive TSan's slowness or its runtime:
# - sample.saxpy_on_a_device: three calls over a million items on PoCL
#   outlast its limit;
# - the balanced runs on two agents: under TSan the pool and the agents'
#   rates no longer give the rule runs of several members to hand out;
# - a second signal ending an agent at once: TSan holds a signal back until
#   the thread reaches a point where it may run the handler.
skip='^(sample\.saxpy_on_a_device|remote\.remote_offload\.balanced_runs_on_two_agents_and_the_pool_compute_every_item_once'
skip+='|zeqworker\.agent_stop\.a_stop_while_serving_answers_the_request_and_a_second_signal_ends_it_at_once)$'

status=0
# tests/Runtime holds the core, offload (remote and server folder included)
# and lifecycle tests; tests/zeqworker the agents'.
for dir in tests/Runtime tests/zeqworker; do
  echo "== $dir under ThreadSanitizer (build-tsan) =="
  ctest --test-dir "build-tsan/$dir" --output-on-failure -j "$jobs" -E "$skip" "$@" || status=1
done

echo "== ThreadSanitizer reports per program =="
total=0
shopt -s nullglob
declare -A per_program=()
for f in "$reports"/tsan.*; do
  n=$(grep -c '\(WARNING\|ERROR\|FATAL\): ThreadSanitizer' "$f" || true)
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
