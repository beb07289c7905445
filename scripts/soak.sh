#!/usr/bin/env bash
# soak.sh: the chaos soak.  gravsim steps run on the pool and on zeqworker
# agents (N through an sshfs mount of a private sshd on 127.0.0.1, one on the
# plain folder) while faults fall on a seeded random schedule: an agent
# killed while it serves, an agent stopped past the liveness bound, an
# agent's tsc deleted or rewritten, garbage in an args.bin while "do" exists,
# the sshd behind the mount stopped for 10 s, the sshd killed (the mount
# fails; it is started and mounted again, and the agents that went with the
# mount are started again).  At the end the bodies must be bit for bit those
# of a pool-only run of the same steps.
#
#   scripts/soak.sh [seconds] [agents]
#
# Defaults: 300 s of faults, 3 agents through the mount.  The run fails (exit
# status 1) on a mismatch, on a step longer than 60 s (a hang: the longest
# fault, the stalled mount, holds a step some 20 s), and on anything left
# behind (a process, the mount, a folder).  Every process it starts is
# stopped however it ends, Ctrl-C included.  Builds what is missing of the
# x86-64 flavour in build/ (ZEQ_BUILD_DIR names another).  More options go to
# the driver through ZEQ_SOAK_OPTIONS, e.g. "--seed 7 --client-folder local
# --bodies 8192 --step-bound 120"; ZEQ_SOAK_KEEP=<folder> keeps the logs of
# the client and the agents there.  Exit status 77: FUSE is missing or
# refused here.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZEQ_BUILD_DIR:-build}
seconds=${1:-300}
agents=${2:-3}
if ! [[ $seconds =~ ^[0-9]+$ && $agents =~ ^[1-9][0-9]*$ ]]; then
    echo "Usage: soak.sh [seconds] [agents, at least 1]" >&2
    exit 2
fi
if [[ ! -f $build/build.ninja ]]; then
    echo "== configuring $build/"
    cmake -S . -B "$build" -G Ninja > /dev/null
fi
echo "== building zeq_soak and zeqworker (only what is missing)"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zeq_soak zeqworker
# Not exec'd through a pipe: the driver gets Ctrl-C itself and stops what it started.
# shellcheck disable=SC2086
exec "$build/tests/bin/gravsim/zeq_soak" --zeqworker "$build/bin/zeqworker" --seconds "$seconds" \
    --agents "$agents" ${ZEQ_SOAK_OPTIONS:-}
