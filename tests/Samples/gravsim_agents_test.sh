#!/usr/bin/env bash
# gravsim with two local agents, as the demo runs it: the run ends, its
# summary names the agents' items beside the pool's and gives the balance of
# the calls, and no agent, program or server folder is left; then the same
# run interrupted as Ctrl-C would (SIGINT to the whole process group) in the
# middle, which must stop everything as well.
#
#   gravsim_agents_test.sh <run_with_agents.sh> <zeqworker> <gravsim>
set -uo pipefail
runner=$1 zeqworker=$2 gravsim=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zeq_gravsim_agents_XXXXXX")
trap 'pkill -9 -f "$scratch" 2>/dev/null; rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
fail() { echo "FAIL: $*"; exit 1; }

# Processes of this test: the agents carry the server folder, below the
# scratch folder, on their command line; gravsim carries its unusual
# arguments.
leftovers() { pgrep -f "$scratch|$gravsim (16384 20|1024 100000) " || true; }
wait_gone() {
    for ((t = 0; t < 100; ++t)); do [[ -z $(leftovers) ]] && return 0; sleep 0.1; done
    return 1
}

# 16384 bodies: regions of 64 members, enough work in each call that the
# agents claim runs of members before the pool has taken them all.
out=$(bash "$runner" 2 "$zeqworker" "$gravsim" 16384 20 - 2>&1)
status=$?
echo "$out"
(( status == 0 )) || fail "the run with agents ended with $status"
grep -Eq '^accelerations \[line 144\]: 20 calls, 327680 items' <<<"$out" || fail "not every call in the summary"
grep -Eq '^  balance of the last [1-9][0-9]* shared calls: first worker finished at [0-9]+ % of the last \(mean\), [0-9]+ % worst' \
    <<<"$out" || fail "no balance of the calls in the summary"
grep -Eq '^  agent [0-9]+ +[1-9][0-9]* items' <<<"$out" || fail "no agent computed items"
grep -Eq '^  pool +[1-9][0-9]* items' <<<"$out" || fail "the pool computed nothing"
wait_gone || fail "left running after the run: $(leftovers)"
[[ -z $(ls -A "$scratch") ]] || fail "left in the temporary folder: $(ls -A "$scratch")"

# Interrupted: a run far longer than the test, given SIGINT once both agents
# have registered and the program has started.  A background job of a script
# starts with SIGINT ignored, which no trap can undo, so the run gets the
# default action back first, as it has when started from a terminal.
env --default-signal=INT setsid bash "$runner" 2 "$zeqworker" "$gravsim" 1024 100000 - > "$scratch.log" 2>&1 &
script=$!
for ((t = 0; t < 300; ++t)); do
    pgrep -f "$gravsim 1024 100000 " > /dev/null && break
    sleep 0.1
done
pgrep -f "$gravsim 1024 100000 " > /dev/null || { cat "$scratch.log"; fail "the long run did not start"; }
sleep 0.5
kill -INT -- "-$script"
wait "$script"
status=$?
cat "$scratch.log"; rm -f "$scratch.log"
(( status == 130 )) || fail "the interrupted run ended with $status, not 130"
wait_gone || fail "left running after Ctrl-C: $(leftovers)"
[[ -z $(ls -A "$scratch") ]] || fail "left in the temporary folder after Ctrl-C: $(ls -A "$scratch")"
echo "PASS"
