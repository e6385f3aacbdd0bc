#!/usr/bin/env bash
# What one trigger costs testModule when it is paced, counted rather than timed: one module in a
# network namespace of its own, run under valgrind's callgrind (instructions, which do not depend
# on the machine's load) and then under strace -c (system calls), driven by daqhost for a few
# seconds; each total divided by the trigger cycles the module's counters report. Needs root.
#
#   bench/trigger_profile.sh [RATE] [MASK] [SECONDS]     (defaults: 1000 1111 6)
#
# BUILD_DIR names the build directory (default: build), MODULE another testModule to profile,
# PLAIN_ONLY=1 leaves the two tools out (only the processor time of a plain run). Prints one
# line per tool; the callgrind output stays in the file it names, for callgrind_annotate. Under
# strace the module is so slow that its wake-ups always come late and it never polls for a
# trigger: where perf counts trace points, the plain run's system calls are counted by perf too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
rate=${1:-1000}
mask=${2:-1111}
seconds=${3:-6}
hybrids=$(python3 -c "m='$mask'[::-1]; print(','.join(str(i+1) for i,c in enumerate(m) if c=='1'))")
module_bin=${MODULE:-$build/app/testModule}
out=${OUT:-$(mktemp -d /tmp/trigger-profile.XXXXXX)}

# One run of the module under the given tool, inside a namespace of its own: the module, then
# the host for `seconds`, then SIGINT to the module by its id; its log goes to $out/$name.log.
run_under() {
  local name=$1; shift
  unshare -n bash -c '
    set -eu
    ip link set lo up
    "$@" "'"$module_bin"'" -r "'"$rate"'" -m "'"$mask"'" -i lo --address 127.0.0.1 \
      >"'"$out/$name"'.log" 2>&1 &
    module=$!
    for _ in $(seq 100); do
      grep -q "Creating server" "'"$out/$name"'.log" 2>/dev/null && break
      sleep 0.1
    done
    # The start-up (and its first fill of the pedestal buffer) is left out of the counts.
    sleep 1
    [ "'"$name"'" = callgrind ] && callgrind_control -z "$module" >/dev/null
    # The plain run, where perf can count the module'"'"'s system calls by their trace points:
    # counted so, they cost the module nothing and its wake-ups keep their timing.
    counter=
    if [ "'"$name"'" = plain ] && perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1; then
      perf stat -x, -e task-clock,context-switches,raw_syscalls:sys_enter,syscalls:sys_enter_poll,syscalls:sys_enter_sendmmsg,syscalls:sys_enter_sched_yield,syscalls:sys_enter_timerfd_settime \
        -p "$module" -o "'"$out"'/perf.csv" &
      counter=$!
    fi
    "'"$build"'/tools/daqhost/daqhost" run --hybrids "'"$hybrids"'" -s "'"$seconds"'" --timeout 5 \
      127.0.0.1 >"'"$out/$name"'.host" 2>&1 || true
    # Under strace the module is the tracer'"'"'s child; under valgrind the process itself.
    target=$(pgrep -P "$module" || echo "$module")
    # The plain run: the processor time of the whole process, in clock ticks.
    [ "'"$name"'" = plain ] && awk "{print \$14 + \$15}" "/proc/$target/stat" \
      >"'"$out"'/plain.ticks"
    if [ -n "$counter" ]; then kill -INT "$counter"; wait "$counter" || true; fi
    kill -INT "$target"
    wait "$module" || true
  ' run "$@"
}

cycles_of() { sed -n 's/.*trigger cycles \([0-9]*\),.*/\1/p' "$1" | tail -1; }

if [ -z "${PLAIN_ONLY:-}" ]; then
run_under callgrind valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out"
cg_cycles=$(cycles_of "$out/callgrind.log")
cg_total=$(callgrind_annotate "$out/callgrind.out" 2>/dev/null | sed -n 's/^\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,)
run_under strace strace -f -c -o "$out/strace.txt"
st_cycles=$(cycles_of "$out/strace.log")
per_cycle() { awk -v n="$2" '$NF!="total" && $4 ~ /^[0-9]+$/ && $4 / n >= 0.01 {
  printf "%s %.2f, ", $NF, $4 / n }' "$1" | sed 's/, $//'; }
fi
run_under plain
pl_cycles=$(cycles_of "$out/plain.log")
pl_ticks=$(cat "$out/plain.ticks")
hz=$(getconf CLK_TCK)
echo "rate $rate, mask $mask, ${seconds}s"
[ -z "${PLAIN_ONLY:-}" ] && echo "callgrind: $cg_total instructions over $cg_cycles trigger cycles: $((cg_total / (cg_cycles > 0 ? cg_cycles : 1))) per cycle ($out/callgrind.out)"
[ -z "${PLAIN_ONLY:-}" ] && echo "strace: system calls per cycle over $st_cycles cycles: $(per_cycle "$out/strace.txt" "$st_cycles")"
echo "plain: $pl_cycles cycles, processor time $(awk -v t="$pl_ticks" -v h="$hz" -v n="$pl_cycles" 'BEGIN{printf "%.1f us per cycle (start-up included)", t / h / n * 1e6}')"
if [ -s "$out/perf.csv" ]; then
  echo "perf (plain run, during daqhost's): per cycle $(awk -F, -v n="$pl_cycles" '$3 != "" && $1 ~ /^[0-9.]+$/ {
    name = $3; sub(/^(raw_)?syscalls:sys_enter_?/, "", name); if (name == "") name = "system calls"
    printf "%s %.2f, ", name, (name == "task-clock" ? $1 * 1000 : $1) / n }' "$out/perf.csv" | sed 's/, $//') (task-clock in us)"
fi
