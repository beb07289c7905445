#!/usr/bin/env bash
# bench/coexec/run.sh: how much of its workers' speed a gravsim call shared in
# balance keeps, in four scenes, with one table at the end.
#
#   bench/coexec/run.sh [build folder]        (default build/, x86-64)
#
#   a  the accelerations at 16384 bodies; the program on core 0 (its pool is
#      one thread), one zeqworker agent on core 1, the server folder on local
#      disk.  Efficiency Eff = (1/T_co) / (1/T_pool + 1/T_agent); target 0.90.
#   b  the same at 32768 bodies through an sshfs mount over a private sshd on
#      127.0.0.1 (program and agent both reach the folder through it, as two
#      machines would); target 0.80.
#   c  the pool and the OpenCL stand-in (PoCL behind the GPU-presenting test
#      library) on the same cores, 16384 bodies: T_co against the faster of
#      the two alone; target 0.90.
#   d  as scripts/demo.sh runs by default: stand-in, two local agents and the
#      pool, 16384 bodies, whole steps per second against the pool alone;
#      target 0.85.
#
# Every figure of a scene comes from one process (coexec_bench), whose modes
# take turns call by call after warm-up calls; T is the median of
# COEXEC_CALLS timed calls per mode (default 7).  "balance" is the first
# worker's finish over the last one's in the balanced calls, the median (and
# the worst) over them.  COEXEC_SCENES picks scenes ("a c", default all);
# COEXEC_QUICK=1 runs each at a tiny size once, which proves the script and
# measures nothing.  Every process the script starts (agents, the mount
# helper with its sshd and sshfs, the program) is stopped when it ends, fails
# or is interrupted.  A benchmark: never part of the test suite's timing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
bin=$build/bin
calls=${COEXEC_CALLS:-7}
scenes=${COEXEC_SCENES:-a b c d}
quick=${COEXEC_QUICK:-0}
shim=$build/tests/lib/opencl_gpu_shim

for program in coexec_bench zeqworker gravsim_net.so; do
    [[ -e $bin/$program ]] || { echo "run.sh: $bin/$program is missing: cmake --build $build --target coexec_bench zeqworker" >&2; exit 2; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zeq_coexec_XXXXXX")
agents=()     # agent pids
mounter=""    # the mount helper's pid
program=""    # the running coexec_bench
cleanup() {
    local pid
    if [[ -n $program ]]; then kill "$program" 2>/dev/null || true; wait "$program" 2>/dev/null || true; fi
    program=""
    stop_agents
    stop_mount
    rm -rf "$tmp"
}
stop_agents() {
    local pid
    # An agent ends only when killed; wait reaps it.
    for pid in "${agents[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    for pid in "${agents[@]}"; do wait "$pid" 2>/dev/null || true; done
    agents=()
}
stop_mount() {
    [[ -n $mounter ]] || return 0
    # The helper unmounts and stops sshd on SIGTERM; should it hang, its
    # children die with it (their death signal) and sshfs unmounts itself.
    kill -TERM "$mounter" 2>/dev/null || true
    for ((t = 0; t < 300; ++t)); do kill -0 "$mounter" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$mounter" 2>/dev/null || true
    wait "$mounter" 2>/dev/null || true
    mounter=""
}
trap cleanup EXIT
# Background processes of a script ignore Ctrl-C, so the agents and the
# program would stay; these traps end the script and the EXIT trap stops them.
trap 'exit 130' INT
trap 'exit 143' TERM

# start_agent <server folder> [core]: one agent, pinned when a core is given,
# registered before this returns.
start_agent() {
    local server=$1 core=${2:-} number=${#agents[@]} pin=()
    [[ -n $core ]] && pin=(taskset -c "$core")
    "${pin[@]}" "$bin/zeqworker" "$server" 2>>"$tmp/agents.log" &
    agents+=($!)
    for ((t = 0; t < 1000; ++t)); do
        [[ -e $server/x64/$number/tsc ]] && return 0
        sleep 0.01
    done
    echo "run.sh: agent $number did not register on $server:" >&2
    tail -5 "$tmp/agents.log" >&2
    return 1
}

# start_mount <local folder>: sets mount_point, or returns 77 with the
# helper's reason in $tmp/mount.err when there is no FUSE here.
start_mount() {
    [[ -x $bin/coexec_mount ]] || { echo "coexec_mount was not built (needs the test suite)" > "$tmp/mount.err"; return 77; }
    "$bin/coexec_mount" "$1" > "$tmp/mount.out" 2> "$tmp/mount.err" &
    mounter=$!
    for ((t = 0; t < 600; ++t)); do
        mount_point=$(sed -n 's/^mount //p' "$tmp/mount.out")
        [[ -n $mount_point ]] && return 0
        if ! kill -0 "$mounter" 2>/dev/null; then
            local status=0
            wait "$mounter" || status=$?
            mounter=""
            return "$status"
        fi
        sleep 0.1
    done
    echo "the mount did not come up in 60 s" >> "$tmp/mount.err"
    return 1
}

# bench <output file> <command...>: runs coexec_bench in the background, so
# that a signal reaches the traps at once; its status is the script's.
bench() {
    local out=$1 status=0
    shift
    "$@" > "$out" 2> "$out.err" &
    program=$!
    wait "$program" || status=$?
    program=""
    if (( status != 0 )); then
        echo "run.sh: $* ended with $status:" >&2
        cat "$out" "$out.err" >&2
        return 1
    fi
}

value() { sed -n "s/^$1 //p" "$2" | head -1; }

layout='%-2s %-25s %-27s %-16s %-11s %-14s %-8s %s'
rows=()
notes=()
# row <scene> <workers> <T_i> <T_co> <measure> <value> <balance> <target>
row() {
    local met
    met=$(awk -v v="$6" -v t="$8" 'BEGIN { print (v >= t) ? "met" : "MISSED" }')
    (( quick )) && met="(quick)"
    rows+=("$(printf "$layout" "$1" "$2" "$3" "$4" "$(printf '%s %.2f' "$5" "$6")" "$7" ">= $8" "$met")")
}
balance_of() {
    local b w
    b=$(value balance_pct "$1")
    w=$(value balance_worst_pct "$1")
    [[ -n $b ]] || { echo "-"; return; }
    echo "${b}%${w:+ (${w}%)}"
}
ms() { printf '%.1f' "$1"; }

# a and b: program on core 0, agent on core 1.
pinned_scene() {
    local scene=$1 n=$2 server=$3 out=$tmp/$1.txt
    start_agent "$server" 1
    bench "$out" env QIV_NETLOAD_SERVER="$server" taskset -c 0 "$bin/coexec_bench" calls "$n" "$calls" alone
    stop_agents
    local pool agent co eff target
    pool=$(value T_pool_ms "$out") agent=$(value T_alone_ms "$out") co=$(value T_co_ms "$out")
    eff=$(awk -v p="$pool" -v a="$agent" -v c="$co" 'BEGIN { printf "%.3f", ((p > 0 && a > 0 && c > 0) ? (1 / c) / (1 / p + 1 / a) : 0) }')
    target=$([[ $scene == a ]] && echo 0.90 || echo 0.80)
    row "$scene" "pool(core0)+agent(core1)" "pool $(ms "$pool") agent $(ms "$agent")" "$(ms "$co")" Eff "$eff" \
        "$(balance_of "$out")" "$target"
    notes+=("$scene: n=$n; balanced items: $(value co_items "$out"); alone: $(value alone_items "$out")")
}

size() { (( quick )) && echo "$2" || echo "$1"; }
(( quick )) && calls=1
if (( $(nproc) < 2 )); then
    echo "run.sh: scenes a and b need two processors (the program on core 0, the agent on core 1)" >&2
fi

for scene in $scenes; do
    echo "== scene $scene" >&2
    case $scene in
    a)
        mkdir -p "$tmp/server_a"
        pinned_scene a "$(size 16384 1024)" "$tmp/server_a"
        ;;
    b)
        mkdir -p "$tmp/server_b"
        status=0
        start_mount "$tmp/server_b" || status=$?
        if (( status != 0 )); then
            rows+=("b  skipped: $(tail -1 "$tmp/mount.err")")
            (( status == 77 )) || { cat "$tmp/mount.err" >&2; exit 1; }
            continue
        fi
        pinned_scene b "$(size 32768 1024)" "$mount_point"
        stop_mount
        ;;
    c)
        [[ -e $shim/libOpenCL.so.1 ]] || { rows+=("c  skipped: no $shim/libOpenCL.so.1 (cmake --build $build --target opencl_gpu_shim)"); continue; }
        out=$tmp/c.txt
        bench "$out" env LD_LIBRARY_PATH="$shim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" POCL_CACHE_DIR="$build/pocl-cache" \
            "$bin/coexec_bench" calls "$(size 16384 1024)" "$calls" alone
        pool=$(value T_pool_ms "$out") device=$(value T_alone_ms "$out") co=$(value T_co_ms "$out")
        ratio=$(awk -v p="$pool" -v d="$device" -v c="$co" 'BEGIN { printf "%.3f", ((c > 0) ? (p < d ? p : d) / c : 0) }')
        faster=$(awk -v p="$pool" -v d="$device" 'BEGIN { print (p < d) ? "pool" : "device" }')
        row c "pool+OpenCL stand-in" "pool $(ms "$pool") dev $(ms "$device")" "$(ms "$co")" "/$faster" "$ratio" \
            "$(balance_of "$out")" 0.90
        notes+=("c: balanced items: $(value co_items "$out"); alone: $(value alone_items "$out"); $(value co_result "$out")")
        ;;
    d)
        [[ -e $shim/libOpenCL.so.1 ]] || { rows+=("d  skipped: no $shim/libOpenCL.so.1"); continue; }
        mkdir -p "$tmp/server_d"
        start_agent "$tmp/server_d"
        start_agent "$tmp/server_d"
        out=$tmp/d.txt
        bench "$out" env QIV_NETLOAD_SERVER="$tmp/server_d" LD_LIBRARY_PATH="$shim${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
            POCL_CACHE_DIR="$build/pocl-cache" "$bin/coexec_bench" steps "$(size 16384 512)" "$(size 5 2)" "$(size 5 1)"
        stop_agents
        pool=$(value pool_steps_per_s "$out") co=$(value co_steps_per_s "$out")
        ratio=$(awk -v p="$pool" -v c="$co" 'BEGIN { printf "%.3f", ((p > 0) ? c / p : 0) }')
        row d "demo: dev+2 agents+pool" "pool $pool steps/s" "$co steps/s" ratio "$ratio" "$(balance_of "$out")" 0.85
        ;;
    *)
        echo "run.sh: no scene '$scene' (a, b, c or d)" >&2
        exit 2
        ;;
    esac
done

echo
echo "coexec: $(nproc) processors, $(sed -n 's/^vector_width //p' "$tmp"/*.txt | head -1), $calls timed call(s) per mode$( (( quick )) && echo ', QUICK: the figures mean nothing')"
printf "$layout\n" "" workers "T_i alone (ms)" "T_co (ms)" measure "balance (worst)" target ""
for r in "${rows[@]}"; do echo "$r"; done
for n in "${notes[@]}"; do echo "  $n"; done
