#!/usr/bin/env bash
# A short run of the benchmarks that only proves they work: every microbenchmark once, and
# bench/run --quick, whose table must hold a figure for every scenario. Its figures are too
# rough to judge speed by; bench/run without --quick gives those.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" -ne 0 ]; then
  echo "bench smoke: skipped (needs root for a network namespace of its own)"
  exit 0
fi

build=${BUILD_DIR:-build}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

BUILD_DIR="$build" timeout 300 bench/run --quick --micro | tee "$out"

for scenario in "idle (configured, no run)" "highest rate" "Bare loop, same generator" \
                "Bare loop, rand()" "paced" "daqhost run, --out" "daqhost run, no --out" \
                "Bare receive loop" "daqhost run, --out capture, paced 170" \
                "| 1000 Hz | 4 |" "| highest (-r 1000000) | 4 |" \
                "Python host, ModuleClient.receive" "daq_module start to ready" \
                "Capture decode, two threads ÷ one" "Run with --monitor, page open" \
                "Page delays from snapshot to figures on the page" \
                "× 1 kHz, no faults" "× 1 kHz, a kill and a 3 s pause" \
                "| 1000 Hz | 4 (crate) |" "| 500 Hz | 8 (crate) |" \
                "Common trigger, 4 modules: event N of every module captured within"; do
  if ! grep -qF -- "$scenario" "$out"; then
    echo "bench smoke: no row for \"$scenario\"" >&2
    exit 1
  fi
done
# Rows that measure a run must carry its trigger rate (the idle row has none by nature).
if awk -F'|' '$2 ~ /highest rate|paced|Bare loop/ && $6 ~ /–/ { bad = 1 } END { exit !bad }' \
    "$out"; then
  echo "bench smoke: a row that measures a run has no trigger rate" >&2
  exit 1
fi
# Every host row must carry its processor time per packet (column 8).
if awk -F'|' '$2 ~ /daqhost run|Bare receive loop|Python host/ && $8 !~ /[0-9]/ { bad = 1 } END { exit !bad }' \
    "$out"; then
  echo "bench smoke: a host row has no processor time per packet" >&2
  exit 1
fi
# Every run of the host library's loop must carry its longest stall (column 3).
if awk -F'|' '$2 ~ /Host loop/ && $3 !~ /[0-9]/ { bad = 1 } END { exit !bad }' "$out"; then
  echo "bench smoke: a host loop row has no longest stall" >&2
  exit 1
fi
# Every way of waiting for a trigger must have counted triggers (column 9) in each of its rows.
for way in "polling" "timer only" "timer + 20 µs spin" "timer + 50 µs spin" \
           "timer + 100 µs spin" "timer + 300 µs spin" "learned margin"; do
  rows=$(awk -F'|' -v way=" $way " '$2 == way && $9 ~ /[1-9]/' "$out" | wc -l)
  if [ "$rows" -ne 4 ]; then
    echo "bench smoke: \"$way\" has $rows of 4 rows with triggers counted" >&2
    exit 1
  fi
done
echo "bench smoke: ok"
