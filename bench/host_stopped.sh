#!/usr/bin/env bash
# What a host that is not on a processor for a while makes of healthy modules: four testModules
# at 1 kHz on loopback addresses of their own, and daqhost run --recover over them for 5 s,
# stopped (SIGSTOP) 1.5 s into the run for STOP seconds and then continued, as a host on a busy
# machine is descheduled. Prints daqhost's exit status, its own pace (the "host" figures) and,
# per module, the events, missing events, outages and what its socket dropped. A host that takes
# its own delay for silence shows an outage per module; one that judges by arrival shows none.
#
#   bench/host_stopped.sh [STOP_S [daqhost run options...]]     (default 1.5)
#
# BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
stop_s=${1:-1.5}
shift || true
out=$(mktemp -d /tmp/host-stopped.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT

net=$((200 + RANDOM % 50))
for k in 1 2 3 4; do
  "$build/app/testModule" -r 1000 --address "127.0.$net.$k" >"$out/module$k.log" 2>&1 &
  pids+=($!)
done
# Each module says where it serves once its socket is up: 5 s at most.
for k in 1 2 3 4; do
  for _ in $(seq 50); do grep -q 'Creating server' "$out/module$k.log" && break; sleep 0.1; done
done
"$build/tools/daqhost/daqhost" run "127.0.$net.1" --module "127.0.$net.2" \
  --module "127.0.$net.3" --module "127.0.$net.4" --recover --seconds 5 --json "$@" \
  >"$out/host.json" 2>"$out/host.err" &
host=$!
pids+=("$host")
sleep 1.5
kill -STOP "$host"
sleep "$stop_s"
kill -CONT "$host"
status=0
wait "$host" || status=$?
echo "daqhost stopped for $stop_s s: exit status $status"
sed 's/^/  /' "$out/host.err"
/usr/bin/python3 - "$out/host.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
h = d["host"]
print(f"host: kept up {h['kept_up']}, loop late {h['lateness_max_s']:.3f} s, oldest datagram "
      f"{h['backlog_max_s']:.3f} s, {h['queued_max']} taken at once, {h['kernel_drops']} dropped")
for m in d["modules"]:
    print(f"{m['module']}: {m['events']} events, {m['missing']} missing, "
          f"{len(m['outages'])} outages, {m['kernel_drops']} dropped at the socket")
PY
