#!/usr/bin/env bash
# Containers: the module image built from the package (under 100 MB, not root, no compiler);
# the stand on Compose with 4 modules found by name, a run over all of them with nothing
# missing, one container restarted during a --recover run, and down leaving nothing; the stand
# interface's tests on the engine; a scenario played on the engine (teststand play --engine compose); the same file on Swarm with
# 4 replicas reached through tasks.module. Needs the Docker daemon, and root to make the
# image's base. DAQ_SKIP_CONTAINERS=1 leaves the stage out.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "${DAQ_SKIP_CONTAINERS:-}" = 1 ]; then
  echo "containers: skipped (DAQ_SKIP_CONTAINERS=1)"
  exit 0
fi
fail() {
  echo "containers: $*" >&2
  exit 1
}
. scripts/ci/until-true
answers() { docker info >/dev/null 2>&1; }

# A fresh machine gets Debian's engine; one installed but not running is started as its init
# system would. Where neither helps (no root, or no daemon can run here) the stage stops.
if ! command -v docker >/dev/null && [ "$(id -u)" -eq 0 ]; then
  scripts/install-deps docker.io
fi
command -v docker >/dev/null ||
  fail "stopped: there is no docker command. This stage runs the stand on Docker Engine;" \
    "install it (docker.io), or set DAQ_SKIP_CONTAINERS=1 to leave the stage out."
if ! answers && [ "$(id -u)" -eq 0 ]; then
  if [ -d /run/systemd/system ]; then
    systemctl start docker >/dev/null 2>&1 || true
  else
    service docker start >/dev/null 2>&1 || true
  fi
  until_true 30 answers || true
fi
answers ||
  fail "stopped: the Docker daemon does not answer ($(docker info 2>&1 >/dev/null | grep . | tail -1))." \
    "Start it (systemctl start docker), or set DAQ_SKIP_CONTAINERS=1 to leave the stage out."
# The scenario player's libraries besides the engine's client (in the full list).
scripts/install-deps debootstrap jq python3-yaml python3-pyroute2 python3-matplotlib python3-pytest
if docker compose version >/dev/null 2>&1; then
  compose=(docker compose)
else
  command -v docker-compose >/dev/null || scripts/install-deps docker-compose
  compose=(docker-compose)
fi

image=daq-emulator:ci
project=daq-ci-$$
stack=daqci$$
file=packaging/containers/compose.yaml
export DAQ_IMAGE=$image DAQ_RATE=500
swarm_ours=""
cleanup() {
  "${compose[@]}" -f "$file" -p "$project" down --volumes --remove-orphans >/dev/null 2>&1 || true
  docker stack rm "$stack" >/dev/null 2>&1 || true
  if [ -n "$swarm_ours" ]; then
    docker swarm leave --force >/dev/null 2>&1 || true
    docker network rm docker_gwbridge >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

# The image.
packaging/containers/build-image --tag "$image"
size=$(docker image inspect --format '{{.Size}}' "$image")
[ "$size" -lt 100000000 ] || fail "the image takes $size bytes, not under 100 MB"
[ "$(docker image inspect --format '{{.Config.User}}' "$image")" = daq ] || fail "the image runs as root"
! docker run --rm --entrypoint sh "$image" -c 'command -v cc c++ gcc g++ clang' >/dev/null ||
  fail "the image holds a compiler"

# healthy PROJECT N: N module containers of the project, every one healthy.
healthy() {
  local states
  states=$(docker ps --filter "label=com.docker.compose.project=$1" \
    --filter label=com.docker.compose.service=module --format '{{.Status}}')
  [ "$(grep -c '(healthy)' <<<"$states")" -eq "$2" ]
}
# check_run JSON N: a run summary of N modules, every one with packets and nothing missing.
check_run() {
  jq -e --argjson n "$2" '(.modules | length) == $n and
    all(.modules[].hybrids[]; .packets > 0 and .missing == 0)' <<<"$1" >/dev/null ||
    fail "run over $2 modules: $(jq -c '[.modules[] | {module, hybrids: [.hybrids[] |
      {packets, missing}], outages}]' <<<"$1" 2>/dev/null || echo "$1")"
}

# Compose: 4 modules, found by name; the machine gets no address or route of the data network.
"${compose[@]}" -f "$file" -p "$project" up -d --scale module=4 >/dev/null 2>&1 ||
  fail "compose up failed"
until_true 90 healthy "$project" 4 || fail "the 4 modules did not all become healthy: $(docker ps -a \
  --filter "label=com.docker.compose.project=$project" --format '{{.Names}} {{.Status}}')"
! ip -4 addr show | grep -q 'inet 11\.' || fail "the machine took an address of the data network"
[ -z "$(ip -4 route show 11.0.0.0/8)" ] || fail "the machine has a route to the data network"
summary=$("${compose[@]}" -f "$file" -p "$project" exec -T host daqhost run \
  --modules-dns module --seconds 3 --hybrids 1 --json) ||
  fail "daqhost run --modules-dns module failed: $summary"
check_run "$summary" 4
echo "containers: compose, 4 modules by name: $(jq '[.modules[].hybrids[].packets] | add' \
  <<<"$summary") packets, none missing"

# One module restarted (a power cycle) during a run with --recover: one outage, recovered;
# its health check during the run does not take the run's data away.
victim=$(docker ps --filter "label=com.docker.compose.project=$project" \
  --filter label=com.docker.compose.service=module --format '{{.Names}}' | head -1)
logs_before=$(docker logs "$victim" 2>&1 | grep -c 'Starting run' || true)
out=$(mktemp)
"${compose[@]}" -f "$file" -p "$project" exec -T host daqhost run --modules-dns module \
  --seconds 10 --hybrids 1 --json --recover >"$out" &
run=$!
started_again() { [ "$(docker logs "$victim" 2>&1 | grep -c 'Starting run' || true)" -gt "$logs_before" ]; }
until_true 30 started_again || fail "the run did not start on $victim"
docker restart --time 1 "$victim" >/dev/null
# Once it runs again, its health check (a new life, so it has not yet answered a probe) must
# see that a host is talking to it and leave it alone: a discovery would take the run's data.
((logs_before += 1))
until_true 30 started_again || fail "$victim did not start again"
docker exec "$victim" daq-healthcheck || fail "the health check failed on a running module"
wait "$run" || fail "daqhost run --recover failed after a restart: $(cat "$out")"
summary=$(cat "$out")
rm -f "$out"
check_run "$summary" 4
jq -e '[.modules[].outages[]] | length == 1 and .[0].end == "recovered"' <<<"$summary" >/dev/null ||
  fail "not one recovered outage: $(jq -c '[.modules[] | {module, outages}]' <<<"$summary")"
echo "containers: compose, $victim restarted during the run: one outage, recovered; its health" \
  "check during the run left it alone"

"${compose[@]}" -f "$file" -p "$project" down --volumes --remove-orphans >/dev/null 2>&1
left=$(docker ps -aq --filter "label=com.docker.compose.project=$project"
  docker network ls -q --filter "label=com.docker.compose.project=$project"
  docker volume ls -q --filter "label=com.docker.compose.project=$project")
[ -z "$left" ] || fail "down left containers, networks or volumes: $left"
echo "containers: compose down left nothing"

# What every stand promises, held against the engine's stand on the image just built (the
# namespaces' variant runs with ctest).
stands=$(DAQ_IMAGE=$image /usr/bin/python3 -m pytest -q -rs -p no:cacheprovider -k engine \
  tests/teststand/test_stands.py 2>&1) || fail "the stand interface on the engine: $stands"
# Every engine case ran, but those that are the namespace stand's alone (crates), which skip.
{ grep -qE "[1-9][0-9]* passed" <<<"$stands" &&
  ! grep -qE "SKIPPED.*(no image|does not answer|is missing)" <<<"$stands"; } ||
  fail "the stand interface on the engine did not run: $stands"
echo "containers: the stand interface holds on the engine"

# A scenario played on the engine: 4 modules behind their relays, a pause, a restart, two
# kills (one module switched on again) and a loss window; every expectation met, the report
# and the records left, and nothing of the play left on the engine.
play=$(mktemp -d)
scenario=stand/scenarios/every-fault.yaml
TESTSTAND_STATE=$play/state stand/teststand play "$scenario" --engine compose \
  --out "$play/out" >"$play/log" 2>&1 || fail "teststand play --engine compose: $(cat "$play/log")"
for leaf in report.txt report.json timeline.tsv scenario.yaml host.json; do
  [ -s "$play/out/$leaf" ] || fail "teststand play --engine compose left no $leaf"
done
jq -e '.met and (.applied | length > 0) and all(.applied[]; .result | startswith("applied"))' \
  "$play/out/report.json" >/dev/null || fail "the play on the engine: $(cat "$play/out/report.txt")"
left=$(docker ps -aq --filter label=org.daq-emulator.teststand.play
  docker network ls -q --filter label=org.daq-emulator.teststand.play)
[ -z "$left" ] || fail "the play left containers or networks on the engine: $left"
echo "containers: $(basename "$scenario" .yaml) played on the engine:" \
  "$(grep 'expectations met$' "$play/out/report.txt")"
rm -rf "$play"

# Swarm: the same file, an overlay data network, 4 replicas reached through tasks.module.
if [ "$(docker info --format '{{.Swarm.LocalNodeState}}')" = inactive ]; then
  docker swarm init >/dev/null 2>&1 || fail "docker swarm init failed"
  swarm_ours=1
fi
deployed=$(DAQ_NETWORK_DRIVER=overlay docker stack deploy -c "$file" "$stack" 2>&1) ||
  fail "docker stack deploy failed: $deployed"
replicas() { [ "$(docker service ls --filter "name=${stack}_module" --format '{{.Replicas}}')" = 4/4 ]; }
until_true 120 replicas || fail "the 4 replicas did not all run: $(docker service ps "${stack}_module")"
summary=$(docker run --rm --network "${stack}_data" --entrypoint daqhost "$image" run \
  --modules-dns tasks.module \
  --seconds 3 --hybrids 1 --json) || fail "daqhost run --modules-dns tasks.module failed: $summary"
check_run "$summary" 4
echo "containers: swarm, 4 replicas through tasks.module: $(jq '[.modules[].hybrids[].packets] |
  add' <<<"$summary") packets, none missing"
docker stack rm "$stack" >/dev/null
gone() { [ -z "$(docker ps -aq --filter "label=com.docker.stack.namespace=$stack")$(docker network ls -q \
  --filter "label=com.docker.stack.namespace=$stack")" ]; }
until_true 60 gone || fail "docker stack rm left containers or networks"
echo "containers: ok"
