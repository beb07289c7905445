#!/usr/bin/env bash
# judge.sh: translates a sample and hands the output to the real compiler it
# is meant for.  Exit 0 when the compiler accepts it, 77 (skipped) when that
# compiler is not on this machine, anything else on failure.
#
#   judge.sh cuda   BIN_DIR SAMPLE WORK
#   judge.sh opencl BIN_DIR SAMPLE WORK OPENCL_JUDGE
#   judge.sh remote BIN_DIR SAMPLE WORK SOURCE_DIR CXX [FLAGS...]
#   judge.sh host   BIN_DIR SAMPLE WORK SOURCE_DIR CXX [FLAGS...]
#   judge.sh openmp BIN_DIR SAMPLE WORK SOURCE_DIR [FLAGS...]
#
# ZEQ_RUN_PREFIX (environment) runs the translators, e.g. under qemu-i386.
# ZEQ_NVCC (environment) is the CUDA compiler; /usr/local/cuda/bin/nvcc without it.
set -u
kind=$1 bin=$2 sample=$3 work=$4
shift 4
mkdir -p "$work"
skip() { echo "SKIPPED: $*"; exit 77; }

translate() { # translator output
    # shellcheck disable=SC2086
    ${ZEQ_RUN_PREFIX:-} "$bin/$1" "$sample" > "$2" || { echo "$1 failed on $sample"; exit 1; }
}
# The kernel or entry names the output defines, one per line, sorted.
names() { grep -o "$1" "$2" | grep -o 'fline[0-9]*' | sort; }

case $kind in
cuda)
    nvcc=${ZEQ_NVCC:-/usr/local/cuda/bin/nvcc}
    [ -x "$nvcc" ] || skip "nvcc not found at $nvcc"
    translate zeqcuda "$work/out.cu"
    "$nvcc" -ptx "$work/out.cu" -o "$work/out.ptx" || exit 1
    expected=$(names '__global__ void fline[0-9]*' "$work/out.cu")
    actual=$(names '\.entry fline[0-9]*' "$work/out.ptx")
    ;;
opencl)
    judge=$1
    translate zeqopencl "$work/out.ocl"
    expected=$(names '__kernel void fline[0-9]*' "$work/out.ocl")
    # shellcheck disable=SC2086
    "$judge" "$work/out.ocl" $expected > "$work/judge.txt"
    status=$?
    cat "$work/judge.txt"
    [ $status -eq 77 ] && skip "$(cat "$work/judge.txt")"
    [ $status -eq 0 ] || exit 1
    actual=$(names 'kernel fline[0-9]* built' "$work/judge.txt")
    ;;
remote)
    src=$1 cxx=$2
    shift 2
    command -v "$cxx" > /dev/null || skip "C++ compiler $cxx not found"
    translate zeqremote "$work/out_net.c"
    # The module exports exactly its entry points: everything else is hidden,
    # and the version script also keeps the C++ library's inline functions in.
    "$cxx" "$@" -x c++ -shared -fPIC -fvisibility=hidden -Wall -Werror \
        -Wl,--version-script="$src/Parser/remote_include/remote_module.map" \
        -I "$src/Runtime/include" -I "$src/Parser/remote_include" \
        "$work/out_net.c" -o "$work/out_net.so" || exit 1
    expected=$(names 'void fline[0-9]*(size_t\* arg)' "$work/out_net.c")
    actual=$(nm -D --defined-only "$work/out_net.so" | awk '{print $3}' | sort)
    ;;
host)
    src=$1 cxx=$2
    shift 2
    command -v "$cxx" > /dev/null || skip "C++ compiler $cxx not found"
    translate zeqhost "$work/out_host.cpp"
    "$cxx" "$@" -c -Wall -Werror -I "$src/Runtime/include" "$work/out_host.cpp" -o "$work/out_host.o" || exit 1
    # Every construct has its host body, and each is the kernel of its line.
    translate zeqremote "$work/out_net.c"
    expected=$(names 'void fline[0-9]*(size_t\* arg)' "$work/out_net.c")
    actual=$(names 'static void fline[0-9]*_(' "$work/out_host.cpp")
    ;;
openmp)
    src=$1
    shift
    command -v clang > /dev/null || skip "clang not found"
    translate zeqopenmp "$work/out_omp.c"
    clang "$@" -fopenmp -fms-extensions -Wall -Werror -Wno-unknown-pragmas -c \
        -I "$src/Runtime/include" "$work/out_omp.c" -o "$work/out_omp.o" || exit 1
    # The regions became OpenMP forks and the serial blocks lock by address.
    expected=$(printf '%s\n' __kmpc_fork_call qiv_exported_sync qiv_exported_unsync | sort)
    actual=$(nm -u "$work/out_omp.o" | awk '{print $2}' |
        grep -x -e __kmpc_fork_call -e qiv_exported_sync -e qiv_exported_unsync | sort -u)
    ;;
*)
    echo "unknown judge $kind"
    exit 2
    ;;
esac
echo "expected: $(echo $expected)"
echo "actual:   $(echo $actual)"
[ -n "$expected" ] && [ "$expected" = "$actual" ]
