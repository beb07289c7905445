#!/usr/bin/env bash
# The one test command: installs what is missing, builds both flavours and runs
# every test of each, then builds the x86-64 flavour once more with
# AddressSanitizer and UBSan (build-asan/, see cmake/sanitize.cmake) and runs
# every test of that too.  Ends with CTest's summary; the exit status is
# non-zero if any test failed in any of the three.  All three configure with
# ZEQ_REQUIRE_ALL_TESTS: a tool that install-deps.sh installs and the tests
# need is then a configure error when missing, never a quietly shorter run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh -DZEQ_REQUIRE_ALL_TESTS=ON
jobs=$(nproc 2>/dev/null || echo 2)

status=0
echo "== i386 (build-i386) =="
ctest --test-dir build-i386 --output-on-failure -j "$jobs" || status=1
echo "== x86-64 (build) =="
ctest --test-dir build --output-on-failure -j "$jobs" || status=1

# Benchmarks are left out: their timings mean nothing under the sanitizers.
cmake -S . -B build-asan -G Ninja -DZEQ_SANITIZE=ON -DZEQ_BUILD_BENCH=OFF -DZEQ_REQUIRE_ALL_TESTS=ON >/dev/null
cmake --build build-asan -j "$jobs"
echo "== x86-64 with ASan and UBSan (build-asan) =="
# Use-after-return detection stays off (gcc's default, pinned here against the
# caller's environment): it moves locals into frames on the heap, and the
# context-switch tests compare a capture's stack pointer with the addresses of
# locals, which then no longer lie on the stack.
# Reports unwind by frame pointers (both sanitizers read the flag): a region
# member's copy of its opener's frame holds the opener's return address and
# saved frame pointer, which lead into the owner's stack; the default DWARF
# unwinder follows them into frames that may be gone and crashes, losing the
# report, while the frame-pointer unwinder stops at the edge of the member
# thread's own stack.  UBSan prints the stack of what it finds; the build
# already makes every finding fatal.
ASAN_OPTIONS=detect_stack_use_after_return=0:fast_unwind_on_fatal=1 \
UBSAN_OPTIONS=print_stacktrace=1:fast_unwind_on_fatal=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" || status=1
exit $status
