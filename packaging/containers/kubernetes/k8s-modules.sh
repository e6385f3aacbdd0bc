#!/bin/sh
# Modules as pods of a Kubernetes cluster, each with a fixed 11.0.0.(10 + i) address on the
# data network daq-data (k8s-daq-data.yaml) beside its cluster address; testModule serves that
# address by itself. The image is the one packaging/containers/build-image builds, pushed where the
# nodes find it.
#
#   k8s-modules.sh up [N] [IMAGE]     start N modules (default 16), testmodule-1 ... testmodule-N
#   k8s-modules.sh addresses [N]      their data addresses, one per line (for daqhost --modules)
#   k8s-modules.sh down [N]           delete them
set -eu
command=${1:-up}
count=${2:-16}
image=${3:-daq-emulator:latest}

i=1
while [ "$i" -le "$count" ]; do
  address="11.0.0.$((10 + i))"
  case $command in
    up)
      kubectl run "testmodule-$i" --image="$image" --restart=Always --labels=app=testmodule \
        --annotations="k8s.v1.cni.cncf.io/networks=[{\"name\":\"daq-data\",\"ips\":[\"$address/8\"]}]" \
        -- -r 1000 -m 11
      ;;
    addresses) echo "$address" ;;
    down) kubectl delete pod "testmodule-$i" --ignore-not-found ;;
    *)
      echo "usage: $0 up|addresses|down [N] [IMAGE]" >&2
      exit 2
      ;;
  esac
  i=$((i + 1))
done
