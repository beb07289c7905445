#!/usr/bin/env bash
# demo.sh: the main job in one command.  Installs what is missing, builds what
# is missing (the x86-64 flavour, in build/), and runs the N-body simulation
# gravsim on every device present and the host's thread pool, sharing every
# step between them in balance, ending with a picture of the bodies and a
# summary.
#
#   scripts/demo.sh [bodies] [steps] [picture] [frame_every]
#
# The arguments are checked by gravsim's rules before anything is installed
# or built, and a bad one fails at once with gravsim's message.
# Defaults: 16384 bodies, 100 steps, build/demo/gravsim.png: calls long
# enough that agents and a device claim their runs of members before the
# pool has taken them all (with 4096 bodies, on a small machine, the pool
# alone computes most steps).  Where no GPU is
# present, PoCL's CPU OpenCL device stands in for one through the test library
# that presents it as a GPU; the script says so before the run.
# ZEQ_BUILD_DIR names another build folder than build/.
#
# ZEQ_AGENTS=N (default 2; 0 for none) also starts N zeqworker agents on a
# temporary server folder (scripts/run_with_agents.sh) and runs the
# simulation with QIV_NETLOAD_SERVER naming it, so that every step is shared
# by the device, the agents and the pool at once, in balance: each takes as
# much as its measured speed lets it finish with the others.  The agents are
# stopped when the run ends, fails or is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${ZEQ_BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 2)

# The arguments first, by gravsim's own rules and in its words, so that a
# mistyped one fails at once rather than after installing and building.
usage() {
  echo "Usage: scripts/demo.sh [bodies, a positive multiple of 256] [steps, at least 1] [picture or -] [frame_every, 0: none]" >&2
  exit 2
}
whole() { # <name> <text> <low> <high>: gravsim's check of a number argument
  if ! [[ $2 =~ ^[0-9]{1,10}$ ]] || (( 10#$2 < $3 || 10#$2 > $4 )); then
    echo "gravsim: $1 must be a whole number from $3 to $4, not '$2'" >&2
    usage
  fi
}
(( $# <= 4 )) || { echo "demo.sh: $# arguments, at most 4 are read" >&2; usage; }
bodies=${1:-16384}
steps=${2:-100}
frames=${4:-0}
whole bodies "$bodies" 1 16777216
whole steps "$steps" 1 2147483647
whole frame_every "$frames" 0 2147483647
if (( 10#$bodies % 256 != 0 )); then
  echo "gravsim: bodies must be a positive multiple of 256, and $bodies is not" >&2
  usage
fi

scripts/install-deps.sh

if [[ ! -f $build/build.ninja ]]; then
  echo "== configuring $build/"
  cmake -S . -B "$build" -G Ninja > /dev/null
fi
agents=${ZEQ_AGENTS:-2}
if ! [[ $agents =~ ^[0-9]+$ ]]; then
  echo "demo.sh: ZEQ_AGENTS must be a number of agents (0 for none), not '$agents'" >&2
  exit 2
fi
targets=(gravsim)
(( agents > 0 )) && targets+=(zeqworker)
echo "== building ${targets[*]} (only what is missing)"
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

mkdir -p "$build/demo"
picture=${3:-$root/$build/demo/gravsim.png}

# Devices: a GPU if the NVIDIA driver reports one; otherwise PoCL through the
# GPU-presenting libOpenCL.so.1 (built here on demand), since the runtime
# offers work to GPUs only.
env_vars=()
if command -v nvidia-smi > /dev/null && nvidia-smi -L 2>/dev/null | grep -q '^GPU'; then
  echo "== devices: $(nvidia-smi -L | grep -c '^GPU') NVIDIA GPU(s) and the host pool"
  [[ -f $build/bin/gravsim.ptx ]] || echo "   (no gravsim.ptx: nvcc was not found at build time, so the CUDA slot has no kernel)"
elif cmake --build "$build" --target opencl_gpu_shim > /dev/null 2>&1; then
  shim=$root/$build/tests/lib/opencl_gpu_shim
  env_vars=(LD_LIBRARY_PATH="$shim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" POCL_CACHE_DIR="$root/$build/pocl-cache")
  echo "== devices: no GPU on this machine.  PoCL's CPU OpenCL device stands in as the"
  echo "   OpenCL device, presented as a GPU by the test library $shim/libOpenCL.so.1."
  echo "   It runs on the same processor cores as the pool, so it shares the work"
  echo "   without adding speed."
else
  echo "== devices: no GPU and no usable OpenCL library: the host pool runs everything"
fi

run=()
if (( agents > 0 )); then
  # The agents: local zeqworker processes on a temporary server folder,
  # stopped when the run ends, fails or is interrupted.  They get no device
  # library: on this machine a second and third PoCL device would only add
  # threads on the same cores.
  run=(scripts/run_with_agents.sh "$agents" "$build/bin/zeqworker")
  echo "== agents: $agents local zeqworker process(es) on a temporary server folder.  Every"
  echo "   step is offered to the device, the agents and the pool at once, and each takes"
  echo "   as much as its measured speed lets it finish with the others: a slow worker"
  echo "   takes little or nothing (the summary says who took what, and how close together"
  echo "   they finished).  They run on this machine, so they share its $(nproc) cores"
  echo "   with the pool (and with the OpenCL stand-in): after a call without them, the"
  echo "   runtime sees calls go no faster with them and keeps them out, but for ever"
  echo "   rarer trial calls.  Agents on other machines add cores and stay in."
fi

echo "== running: gravsim $bodies $steps $picture $frames"
start=$(date +%s%N)
"${run[@]}" env "${env_vars[@]}" "$build/bin/gravsim" "$bodies" "$steps" "$picture" "$frames"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
if (( agents > 0 )); then
  echo "== the agents were local processes sharing this machine's $(nproc) cores with the pool;"
  echo "   agents on other machines that mount one shared folder add cores of their own"
  echo "   (README, \"Remote agents\")."
fi
printf '== demo finished in %d.%d s (wall time of the run)\n' $((ms / 1000)) $((ms % 1000 / 100))
