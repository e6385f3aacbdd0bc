#!/usr/bin/env bash
# valgrind memcheck over an end-to-end session of the real testModule: discovery, every
# configuration command, malformed datagrams, a run of a few seconds in each readout mode,
# stop, SIGTERM and shutdown (tests/load/memcheck_session.cpp plays the host). Fails on any
# invalid read or write, use of uninitialised memory, or byte lost definitely or indirectly.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps valgrind

# The suite's own build (optimised, with debug information), which holds the session's host:
# nothing is compiled again when the suite has run. Alone, only those two are built.
build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAQ_BUILD_TESTS=ON \
    >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target testModule memcheck_session >/dev/null

log="$build/memcheck.log"
rm -f "$log"
status=0
# The emulator always binds port 10000: it gets a network namespace of its own. The session
# starts the checker by its path.
unshare -n sh -c 'ip link set lo up && exec "$0" "$1" --tool=memcheck --leak-check=full \
    --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
    --track-origins=yes --error-exitcode=99 --log-file="$2" "$3" -r 200 -m 11 -e 1.0' \
  "$build/tests/load/memcheck_session" "$(command -v valgrind)" "$log" "$build/app/testModule" \
  || status=$?

grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable' "$log" \
  || true
if [ "$status" -ne 0 ]; then
  echo "memcheck: FAILED (status $status); the whole report:"
  cat "$log"
fi
exit "$status"
