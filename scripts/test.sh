#!/usr/bin/env bash
# Sets everything up and runs the whole test suite (AddressSanitizer + UndefinedBehaviorSanitizer).
# Usage (as root on Debian 12): bash scripts/test.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"

build="$here/build/test"
# Line tables only (-g1): enough for sanitizer reports and backtraces, and a fifth less disk
# than full debug information. Each compile pipes to the assembler instead of writing
# temporary files under /tmp.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANE_SANITIZE=ON -DORVANE_BUILD_BENCH=ON \
  "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -pipe" "-DCMAKE_C_FLAGS_DEBUG=-g1 -pipe"
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$here/tests/support/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TZ=UTC
cd "$build"
# Fuzz smoke runs (where clang is present) are registered as CTest tests with label "fuzz".
ctest --output-on-failure -j "$(nproc)" --timeout 600
