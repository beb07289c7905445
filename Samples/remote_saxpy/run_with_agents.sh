#!/usr/bin/env bash
# Runs a program as a client of a fresh local server folder: starts <agents>
# zeqworker agents on it, waits until they have registered, runs the program
# with QIV_NETLOAD_SERVER naming the folder, then stops the agents and removes
# the folder.  ZEQ_RUN_PREFIX (the i386 emulator, where one is needed) goes
# before every program.
#
#   run_with_agents.sh <agents> <zeqworker> <program> [arguments...]
set -euo pipefail
agents=$1 zeqworker=$2
shift 2
server=$(mktemp -d "${TMPDIR:-/tmp}/zeq_remote_saxpy_XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$server"
}
trap cleanup EXIT
for ((n = 0; n < agents; ++n)); do
    # One after the other, so that agent k registers as number k.
    ${ZEQ_RUN_PREFIX:-} "$zeqworker" "$server" 2>>"$server/agents.log" &
    pids+=($!)
    # x64/ or x32/: the platform folder of the agent's flavour.
    registered() { compgen -G "$server/x[36][24]/$n/tsc" >/dev/null; }
    for ((t = 0; t < 1000; ++t)); do
        registered && break
        sleep 0.01
    done
    registered || { echo "agent $n did not register" >&2; exit 1; }
done
QIV_NETLOAD_SERVER=$server ${ZEQ_RUN_PREFIX:-} "$@"
