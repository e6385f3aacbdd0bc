#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer, and run.
# The end-to-end tests then run the sanitized testModule too, so a fault or a leak in the
# emulator fails the test that met it (LeakSanitizer makes the process's exit status non-zero).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps

build=build-asan
# -O1 and line tables, as the sanitizers advise, and a unity build: a third of the compile time
# of the optimised build with full debug information, the same reports with file and line.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=ON \
  -DDAQ_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/ci/lsan-suppressions.txt:print_suppressions=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
