#!/usr/bin/env bash
# Runs a program as the client of a fresh local server folder: starts <agents>
# zeqworker agents on it, waits until they have registered, runs the program
# with QIV_NETLOAD_SERVER naming the folder, then stops the agents and removes
# the folder.  The agents are stopped on every way out: the program's end,
# a failure of the script, Ctrl-C and SIGTERM.  The exit status is the
# program's (130 or 143 when interrupted).
#
#   run_with_agents.sh <agents> <zeqworker> <program> [arguments...]
#
# ZEQ_RUN_PREFIX (the i386 emulator, where one is needed) goes before every
# program.  The agents' standard error goes to ZEQ_AGENT_LOG when it names a
# file, else into the folder (and away with it).  The agents inherit this
# script's environment; to give the program alone more (a device library, for
# one), put `env NAME=value ...` before it.
set -euo pipefail
if (( $# < 3 )) || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "Usage: run_with_agents.sh <agents> <zeqworker> <program> [arguments...]" >&2
    exit 2
fi
agents=$1 zeqworker=$2
shift 2
server=$(mktemp -d "${TMPDIR:-/tmp}/zeq_server_XXXXXX")
log=${ZEQ_AGENT_LOG:-$server/agents.log}
pids=()
program=""
cleanup() {
    local pid
    # The program ignores Ctrl-C as every background process of a script
    # does: when the script ends first, it is told to stop too.
    if [[ -n $program ]]; then kill "$program" 2>/dev/null || true; wait "$program" 2>/dev/null || true; fi
    # The folder goes with the script, so there is nothing to drain for:
    # SIGKILL, and wait reaps each one, so none outlives the script.
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    pids=()
    rm -rf "$server"
}
trap cleanup EXIT
# Background processes of a script ignore Ctrl-C, so the agents would stay;
# these traps end the script, and the EXIT trap stops them.
trap 'exit 130' INT
trap 'exit 143' TERM
registered() { compgen -G "$server/x[36][24]/$1/tsc" >/dev/null; }
for ((n = 0; n < agents; ++n)); do
    # One after the other, so that agent k registers as number k.
    ${ZEQ_RUN_PREFIX:-} "$zeqworker" "$server" 2>>"$log" &
    pids+=($!)
    # x64/ or x32/: the platform folder of the agent's flavour.
    for ((t = 0; t < 1000; ++t)); do
        registered "$n" && break
        sleep 0.01
    done
    registered "$n" || { echo "run_with_agents.sh: agent $n did not register" >&2; exit 1; }
done
# Not exec: the script stays to stop the agents.  The program runs in the
# background and the script waits for it, so that a signal reaches the
# traps at once instead of after the program ends.
QIV_NETLOAD_SERVER=$server ${ZEQ_RUN_PREFIX:-} "$@" &
program=$!
status=0
wait "$program" || status=$?
program=""
exit "$status"
