#!/usr/bin/env bash
# Runs each libFuzzer target (the request path, the data path, captures, the wire forms and
# faultrelay) for a bounded time (DAQ_FUZZ_SECONDS, 40 by default) from the seed corpus in
# tests/fuzz/corpus/<target>/, and fails on any finding: a crash, a sanitizer report, a leak,
# an input that takes longer than DAQ_FUZZ_INPUT_TIMEOUT seconds (10), or a run that grows
# past 2 GB. New inputs go to build-fuzz/corpus-<target>/, never into the
# repository; a finding is kept as build-fuzz/<target>-crash-... (or -timeout-, -leak-, -oom-).
#
#   DAQ_FUZZ_SECONDS=3600 bash scripts/ci/30-fuzz.sh     # an hour per target
#
# scripts/fuzz runs a campaign on every core and reports coverage.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps clang libclang-rt-14-dev

build=build-fuzz
seconds=${DAQ_FUZZ_SECONDS:-40}
input_timeout=${DAQ_FUZZ_INPUT_TIMEOUT:-10}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDAQ_FUZZ=ON -DDAQ_SANITIZE=address,undefined >/dev/null
targets=(request data capture wire faultrelay)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

status=0
summary=()
for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  log="$build/fuzz-$target.log"
  mkdir -p "$corpus"
  # A request input holds several datagrams of up to 8192 bytes each.
  max_len=4096
  [ "$target" = request ] && max_len=20000
  echo "--- fuzz_$target for ${seconds}s"
  if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout="$input_timeout" \
       -rss_limit_mb=2048 -max_len="$max_len" -print_final_stats=1 \
       -artifact_prefix="$build/$target-" "$corpus" "tests/fuzz/corpus/$target" \
       >"$log" 2>&1; then
    :
  else
    status=1
    echo "fuzz_$target: FINDING (log: $log)"
    grep -v -E '^#[0-9]+' "$log" | tail -60
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("fuzz_$target: ${runs:-?} executions in ${seconds}s")
done
printf '%s\n' "${summary[@]}"
exit "$status"
