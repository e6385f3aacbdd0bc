#!/bin/sh
# Modules on the pod network, found by name: a Deployment of modules, each serving its pod's
# address (a pod has no 11.x address, so testModule is told the one its hostname has), and a
# headless Service of the same name, which resolves to every ready module's address; daqhost
# runs over them all as a Job, with --modules-dns. The image is the one
# packaging/containers/build-image builds, pushed where the nodes find it.
#
#   k8s-by-name.sh up [N] [IMAGE]     N modules (default 4) and the Service daq-module
#   k8s-by-name.sh run [IMAGE]        a Job daq-host: a run of 10 s over every module
#   k8s-by-name.sh down               delete them all
# `kubectl scale deployment daq-module --replicas=32` scales a stand that is up, and
# `kubectl logs job/daq-host` shows the run's summary.
set -eu
command=${1:-up}
case $command in
  up)
    count=${2:-4}
    image=${3:-daq-emulator:latest}
    kubectl create deployment daq-module --image="$image" --replicas="$count" -- \
      sh -c 'exec testModule --address "$(hostname -i)" --rate 1000 --mask 1'
    kubectl create service clusterip daq-module --clusterip=None
    ;;
  run)
    image=${2:-daq-emulator:latest}
    kubectl create job daq-host --image="$image" -- \
      daqhost run --modules-dns daq-module --seconds 10 --hybrids 1 --recover
    ;;
  down)
    kubectl delete job daq-host --ignore-not-found
    kubectl delete service daq-module --ignore-not-found
    kubectl delete deployment daq-module --ignore-not-found
    ;;
  *)
    echo "usage: $0 up [N] [IMAGE] | run [IMAGE] | down" >&2
    exit 2
    ;;
esac
