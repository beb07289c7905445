#!/usr/bin/env bash
# bench/coexec/run.sh at its quick size: every scene ends in the table, and
# no agent, mount helper, sshd, sshfs, mount or temporary folder is left;
# then a full run stopped by SIGTERM to the script alone (as kill or a
# service manager would; its children see nothing, so the script's own
# clean-up must stop them) while the sshfs scene runs, which must leave
# nothing either.  Nothing here is timed.
#
#   coexec_run_test.sh <run.sh> <build folder>
set -uo pipefail
run=$1 build=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zeq_coexec_test_XXXXXX")
# On the way out, whatever a failure left: processes, then mounts (lazily,
# so that removing the folder never reaches through one).
sweep() {
    pkill -9 -f "$scratch" 2>/dev/null
    awk -v s="$scratch" 'index($2, s) == 1 { print $2 }' /proc/mounts | xargs -r -n1 fusermount3 -u -z 2>/dev/null
    rm -rf "$scratch"
}
trap sweep EXIT
export TMPDIR=$scratch
fail() { echo "FAIL: $*"; exit 1; }

# Everything the script starts names a path below the scratch folder: the
# agents their server folder, the mount helper its folder, sshd its
# configuration, sshfs its mount point.
leftovers() { pgrep -af "$scratch" || true; grep -F "$scratch" /proc/mounts || true; }
check_clean() {
    for ((t = 0; t < 100; ++t)); do [[ -z $(leftovers) ]] && break; sleep 0.1; done
    [[ -z $(leftovers) ]] || fail "left running $1: $(leftovers)"
    [[ -z $(ls -A "$scratch") ]] || fail "left in the temporary folder $1: $(ls -A "$scratch")"
}

out=$(COEXEC_QUICK=1 bash "$run" "$build" 2>&1)
status=$?
echo "$out"
(( status == 0 )) || fail "the quick run ended with $status"
for scene in a b c d; do
    grep -Eq "^$scene  .*(\(quick\)|skipped: )" <<<"$out" || fail "no row for scene $scene"
done
# Quick figures mean nothing, but each is worked out from times above 0.
grep -Eq '^a  .*Eff [0-9.]+' <<<"$out" || fail "scene a has no efficiency"
! grep -E '(Eff|/pool|/device|ratio) 0\.00 ' <<<"$out" || fail "a figure was not worked out from the times"
check_clean "after the run"

COEXEC_SCENES=b bash "$run" "$build" > "$scratch.log" 2>&1 &
script=$!
for ((t = 0; t < 300; ++t)); do
    pgrep -f "coexec_bench calls 32768" > /dev/null && break
    kill -0 "$script" 2>/dev/null || break
    sleep 0.1
done
if ! pgrep -f "coexec_bench calls 32768" > /dev/null; then
    wait "$script"; cat "$scratch.log"; rm -f "$scratch.log"
    grep -q '^b  skipped: ' <<<"$out" && { echo "PASS (no FUSE here: the interrupted sshfs run is left out)"; exit 0; }
    fail "the sshfs scene did not start"
fi
kill -TERM "$script"
wait "$script"
status=$?
cat "$scratch.log"; rm -f "$scratch.log"
(( status == 143 )) || fail "the stopped run ended with $status, not 143"
check_clean "after SIGTERM"
echo "PASS"
