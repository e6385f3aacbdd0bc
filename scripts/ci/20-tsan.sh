#!/usr/bin/env bash
# The tests labelled `thread` (the server's worker-thread mode) built with ThreadSanitizer and
# run. Any report halts the test process with a failing status, and so fails this stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps

build=build-tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAQ_SANITIZE=thread >/dev/null
cmake --build "$build" --target thread_tests -j "$(nproc)"

export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:suppressions=$PWD/tests/server/tsan-suppressions.txt"
ctest --test-dir "$build" -L thread --no-tests=error --output-on-failure -j "$(nproc)"
