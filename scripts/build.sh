#!/usr/bin/env bash
# Configures and builds both flavours: x86-64 into build/, i386 into build-i386/.
# Extra arguments go to every cmake configure (for example -DZEQ_BUILD_BENCH=OFF).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -G Ninja "$@" >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-i386 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i386.cmake "$@" >/dev/null
cmake --build build-i386 -j "$jobs"
