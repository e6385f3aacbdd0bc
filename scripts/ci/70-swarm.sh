#!/usr/bin/env bash
# Swarm across nodes: three nodes on this machine (packaging/containers/swarm-nodes: containers that
# each run an engine of their own), the module image loaded into each, and compose.yaml with
# compose.swarm.yaml deployed on the manager: 12 modules at 500 Hz, four per node. A 3-s run of
# 1 502-byte data packets across the overlay loses none (its MTU). Then daqhost on the manager
# follows tasks.module for 60 s with --recover while a worker node is killed 15 s in: the run
# ends with status 0, the 8 modules of the other nodes with nothing missing and no outage, the
# 4 of the dead node left and 4 joined, each streaming again within 25 s of the kill and picked
# up within 2 s of its task's start. down leaves nothing, and the machine's own swarm is as it
# was. Prints what it measured. Needs root and the Docker daemon; where the nodes cannot start
# it says why and is skipped, as with DAQ_SKIP_CONTAINERS=1 or DAQ_SKIP_SWARM=1.
set -euo pipefail
cd "$(dirname "$0")/../.."

skip() {
  echo "swarm: skipped: $*"
  exit 0
}
fail() {
  echo "swarm: $*" >&2
  exit 1
}
[ "${DAQ_SKIP_CONTAINERS:-}" != 1 ] || skip "DAQ_SKIP_CONTAINERS=1"
[ "${DAQ_SKIP_SWARM:-}" != 1 ] || skip "DAQ_SKIP_SWARM=1"
[ "$(id -u)" -eq 0 ] || skip "not root (the node image is made with debootstrap, and a node" \
  "container takes every capability)"
command -v docker >/dev/null || skip "no docker command"
docker info >/dev/null 2>&1 || skip "the Docker daemon does not answer"
scripts/install-deps jq debootstrap python3-docker

nodes=packaging/containers/swarm-nodes
export SWARM_NODES_NAME=daqci$$
image=daq-emulator:ci
stack=daq
per_node=4
victim=3
work=$(mktemp -d)
own_swarm=$(docker info --format '{{.Swarm.LocalNodeState}} {{.Swarm.NodeID}}')
cleanup() {
  "$nodes" down >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { date +%s%3N; }
ms_of() { date -d "$1" +%s%3N; }
. scripts/ci/until-true
manager() { "$nodes" exec -- "$@"; }

# The module image of the container stage before, else built here.
if ! docker image inspect "$image" >/dev/null 2>&1; then
  packaging/containers/build-image --tag "$image"
fi

# The node image (made once, then cached under its recipe's hash), then the nodes.
started=$(now_ms)
node_image=$("$nodes" image)
image_s=$((($(now_ms) - started) / 1000))
started=$(now_ms)
status=0
"$nodes" up 3 --image "$image" >"$work/up" 2>&1 || status=$?
# 3: the engine does not start a node container here.
[ "$status" -ne 3 ] || skip "$(tail -1 "$work/up")"
[ "$status" -eq 0 ] || fail "swarm-nodes up 3: $(cat "$work/up")"
up_ms=$(($(now_ms) - started))
sed 's/^/  /' "$work/up"

# The stack, four modules on each node.
replicas=$((3 * per_node))
DAQ_IMAGE=$image DAQ_RATE=500 DAQ_PER_NODE=$((2 * per_node)) DAQ_NETWORK_DRIVER=overlay \
  "$nodes" deploy "$stack" packaging/containers/compose.yaml packaging/containers/compose.swarm.yaml \
  >/dev/null || fail "the stack was not deployed"
manager docker service scale --detach "${stack}_module=$replicas" >/dev/null
# All replicas running. Not `docker service ls`: it counts the tasks of a node that is down
# as running, beside those that replace them.
running() {
  [ "$(manager docker service ps "${stack}_module" --filter desired-state=running \
    --format '{{.CurrentState}}' | grep -c '^Running')" -eq "$replicas" ]
}
until_true 120 running || fail "the $replicas modules did not all run: $(manager docker service \
  ps "${stack}_module")"
spread=$(manager docker service ps "${stack}_module" --filter desired-state=running \
  --format '{{.Node}}' | sort | uniq -c | awk '{print $1}' | sort -u)
[ "$spread" = "$per_node" ] || fail "not $per_node modules on each node: $(manager docker \
  service ps "${stack}_module" --format '{{.Node}}' | sort | uniq -c)"

daqhost() {
  manager docker run --rm --network "${stack}_data" --entrypoint daqhost "$image" run \
    --modules-dns tasks.module --json "$@"
}
# Data packets of 1 502 bytes (mode 4, 246 neighbours on each side) across the overlay: the
# tasks' MTU is the nodes' link's less the 50 bytes of VXLAN, so each is sent in two fragments,
# and none may be lost.
mtu=$(manager docker run --rm --network "${stack}_data" --entrypoint cat "$image" \
  /sys/class/net/eth0/mtu)
summary=$(daqhost --seconds 3 --mode 4 --nadj 246) || fail "the run of 1 502-byte packets failed"
jq -e --argjson n "$replicas" '(.modules | length) == $n and
  all(.modules[].hybrids[]; .packets > 0 and .missing == 0 and .bytes == 1502 * .packets)' \
  <<<"$summary" >/dev/null || fail "1 502-byte packets across the overlay (MTU $mtu): $(jq -c \
  '[.modules[] | {module, packets, missing}]' <<<"$summary" 2>/dev/null || echo "$summary")"
echo "swarm: 1 502-byte data packets from $replicas modules across the overlay (MTU $mtu):" \
  "$(jq .total.packets <<<"$summary") packets, none missing"

# module_lines NODE SINCE: each module container of node NODE: its data address, when it
# started and when its first run since SINCE (seconds since the epoch) started.
module_lines() {
  "$nodes" exec "$1" -- sh -c '
    for id in $(docker ps -q --filter label=com.docker.swarm.service.name=$1_module); do
      docker inspect --format "{{(index .NetworkSettings.Networks \"$1_data\").IPAddress}} \
{{.State.StartedAt}}" "$id" | tr "\n" " "
      docker logs -t --since "$2" "$id" 2>&1 |
        awk "/Starting run/ { print \$1; found = 1; exit } END { if (!found) print \"-\" }"
    done' module-lines "$stack" "$2"
}
run_started() { module_lines 1 "$since" | awk '$3 != "-" { found = 1 } END { exit !found }'; }

# The run that follows the name, and a worker node killed 15 s into it.
since=$(date +%s)
daqhost --recover --give-up 60 --seconds 60 >"$work/run.json" 2>"$work/run.log" &
run=$!
until_true 60 run_started || fail "the run did not start: $(cat "$work/run.log")"
t0=$(module_lines 1 "$since" | awk '$3 != "-" { print $3 }' | sort | head -1)
t0_ms=$(ms_of "$t0")
wait_ms=$((t0_ms + 15000 - $(now_ms)))
[ "$wait_ms" -le 0 ] || sleep "$((wait_ms / 1000)).$(printf %03d $((wait_ms % 1000)))"
"$nodes" kill "$victim" >/dev/null
kill_ms=$(now_ms)
node_down() {
  [ "$(manager docker node inspect "node$victim" --format '{{.Status.State}}')" = down ]
}
until_true 60 node_down || fail "node $victim was not marked down within 60 s"
down_ms=$(ms_of "$(manager docker node inspect "node$victim" --format '{{json .UpdatedAt}}' |
  tr -d '"')")
until_true 60 running || fail "the modules of node $victim did not run again elsewhere: \
$(manager docker service ls; manager docker service ps "${stack}_module")"
status=0
wait "$run" || status=$?
[ "$status" -eq 0 ] || fail "daqhost run exited with $status: $(cat "$work/run.log")"

# What it saw: 8 modules untouched, 4 left and 4 joined.
jq -e --argjson n $((replicas - per_node)) '[.modules[] | select(.joined_s == null and
  .left_s == null)] | length == $n and all(.[]; .missing == 0 and (.outages | length) == 0)' \
  "$work/run.json" >/dev/null || fail "the modules of the other nodes: $(jq -c '[.modules[] |
  {module, missing, outages, joined_s, left_s}]' "$work/run.json")"
jq -e --argjson n $per_node '([.modules[] | select(.left_s != null)] | length) == $n and
  ([.modules[] | select(.joined_s != null and .packets > 0)] | length) == $n' "$work/run.json" \
  >/dev/null || fail "not $per_node modules left and $per_node joined with data: $(jq -c \
  '[.modules[] | {module, packets, joined_s, left_s}]' "$work/run.json")"

# Each that joined: streaming again (its run started) within 25 s of the kill, and picked up
# (daqhost's first request) within 2 s of its task's start.
for i in 1 2; do module_lines "$i" "$since"; done >"$work/modules"
worst_streams=0 worst_pickup=-99999 last_task=0
while read -r address joined_ms; do
  read -r _ task_started first_run < <(grep "^$address " "$work/modules") ||
    fail "no module container has the address $address"
  task_ms=$(ms_of "$task_started")
  [ "$first_run" != - ] || fail "$address joined but never started a run"
  streams_ms=$(($(ms_of "$first_run") - kill_ms))
  pickup_ms=$((t0_ms + joined_ms - task_ms))
  echo "swarm: $address: task started $(((task_ms - kill_ms) / 1000)).$(printf %03d \
$(((task_ms - kill_ms) % 1000))) s after the kill, picked up $pickup_ms ms after its start," \
    "streaming again $streams_ms ms after the kill"
  [ "$streams_ms" -le 25000 ] ||
    fail "$address streamed again only $streams_ms ms after the kill"
  [ "$pickup_ms" -le 2000 ] ||
    fail "$address was picked up only $pickup_ms ms after its task started"
  worst_streams=$((streams_ms > worst_streams ? streams_ms : worst_streams))
  worst_pickup=$((pickup_ms > worst_pickup ? pickup_ms : worst_pickup))
  last_task=$((task_ms > last_task ? task_ms : last_task))
done < <(jq -r '.modules[] | select(.joined_s != null) |
  "\(.module | sub(":.*"; "")) \(.joined_s * 1000 | floor)"' "$work/run.json")

# down leaves nothing of the set, and the machine's own swarm as it was.
"$nodes" down >/dev/null
left=$(docker ps -aq --filter "label=org.daq-emulator.swarm-nodes=$SWARM_NODES_NAME"
  docker network ls -q --filter "label=org.daq-emulator.swarm-nodes=$SWARM_NODES_NAME"
  docker volume ls -q --filter "label=org.daq-emulator.swarm-nodes=$SWARM_NODES_NAME")
[ -z "$left" ] || fail "down left containers, networks or volumes: $left"
[ "$(docker info --format '{{.Swarm.LocalNodeState}} {{.Swarm.NodeID}}')" = "$own_swarm" ] ||
  fail "the machine's own swarm changed"

seconds() { echo "$(($1 / 1000)).$(printf %01d $((($1 % 1000) / 100))) s"; }
echo "swarm: figures: node image $node_image ready in ${image_s} s; 3 nodes up with the" \
  "image loaded in $(seconds "$up_ms"); node $victim marked down" \
  "$(seconds $((down_ms - kill_ms))) after the kill; its modules' tasks all running again" \
  "after $(seconds $((last_task - kill_ms))), streaming again after $(seconds "$worst_streams")" \
  "at most; picked up at most $worst_pickup ms after their tasks started"
echo "swarm: ok"
