#!/usr/bin/env bash
# The CUDA slot on a real GPU, for a bare machine with an NVIDIA GPU, its
# driver, nvcc, CMake, Ninja and a C++ compiler, and none of the test suite's
# packages.  Builds the x86-64 flavour with the real nvcc (no test suite, no
# benchmarks) into build-gpu/, then runs gpu_check: the CUDA slot's checks
# against the real driver, gravsim's accelerations against the host path,
# and the throughput of the GPU alone, the pool alone and both shared in
# balance, with balanced over GPU alone (what the pool adds to the GPU).
#
#   scripts/gpu-check.sh [report-file] [bodies]
#
# The report (default build-gpu/gpu-check-report.txt) holds what gpu_check
# printed, with the machine's GPU and toolchain at the top.  The exit status
# is gpu_check's: the number of failed checks.
set -euo pipefail
cd "$(dirname "$0")/.."
report=${1:-build-gpu/gpu-check-report.txt}
bodies=${2:-65536}
jobs=$(nproc 2>/dev/null || echo 4)
export PATH="$PATH:/usr/local/cuda/bin"

mkdir -p build-gpu
cmake -S . -B build-gpu -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEQ_BUILD_TESTS=OFF -DZEQ_BUILD_BENCH=OFF \
      -DZEQ_GPU_CHECK=ON >/dev/null
cmake --build build-gpu -j "$jobs" --target gpu_check gravsim

mkdir -p "$(dirname "$report")"
case "$report" in /*) ;; *) report="$PWD/$report" ;; esac
{
  echo "gpu-check, $(date -u +%Y-%m-%dT%H:%MZ)"
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader 2>/dev/null || echo "nvidia-smi: not available"
  nvcc --version | tail -1
  echo "processors: $(nproc)"
} > "$report.head"
status=0
build-gpu/bin/gpu_check "$report.body" "$bodies" || status=$?
cat "$report.head" "$report.body" > "$report" 2>/dev/null || cp "$report.head" "$report"
rm -f "$report.head" "$report.body"
grep -h '^balanced / GPU alone' "$report" || true
echo "report: $report"
exit "$status"
