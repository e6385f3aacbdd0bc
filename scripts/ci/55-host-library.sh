#!/usr/bin/env bash
# The host library as another project uses it. Its library and development parts are installed
# into a folder of their own (with the library folder relative, under another prefix than the
# one configured, as `cmake --install --prefix` does; then absolute); the program of
# examples/host-minimal is built against them twice, by the CMake package and by pkg-config,
# and each build takes a run from testModule in a private network namespace. The
# library exports nothing outside the namespace daq, needs no GLib and no GoogleTest, installs
# only its public headers, and its ABI is checked against the baseline in host/abi/ (abidiff),
# as far as the public headers show it (the library's own headers in host/ are free to change):
# additions pass, and any other change without a new SONAME fails. After a deliberate change of the interface, make a new baseline with
# `scripts/ci/55-host-library.sh --new-baseline`.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps abigail-tools xz-utils iproute2

build=build-host-library
fail() {
  echo "host library: $*" >&2
  exit 1
}
# configure PREFIX LIBDIR
configure() {
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAQ_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX="$1" -DCMAKE_INSTALL_LIBDIR="$2" >/dev/null
}
configure /usr/local lib
cmake --build "$build" -j "$(nproc)" --target daqhost_library testModule >/dev/null
library=$(readlink -f "$build/host/libdaqhost.so")
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[[ $soname =~ ^libdaqhost\.so\.[0-9]+$ ]] || fail "SONAME is '$soname', not libdaqhost.so.N"
# The file is named after the version, whose first number is the SONAME's.
[[ $(basename "$library") =~ ^${soname//./\\.}\.[0-9]+\.[0-9]+$ ]] ||
  fail "the library file $(basename "$library") is not named $soname.MINOR.PATCH"

# The ABI against the baseline of this SONAME; a new SONAME starts with a new baseline.
baseline=host/abi/$soname.abi.xz
[ -e "$baseline" ] || [ "${1:-}" = --new-baseline ] ||
  fail "no ABI baseline for $soname: make one with --new-baseline"
public=(--headers-dir host/include/daqhost --headers-dir protocol --drop-private-types
        --no-show-locs)
if [ "${1:-}" = --new-baseline ]; then
  mkdir -p host/abi
  abidw "${public[@]}" --out-file "$build/$soname.abi" "$library"
  xz -9c "$build/$soname.abi" >"$baseline"
  echo "host library: new baseline $baseline"
  exit 0
fi
[ -f "$baseline" ] || fail "no ABI baseline $baseline (a new SONAME needs one: --new-baseline)"
xz -dc "$baseline" >"$build/baseline.abi"
# The library as its public headers show it; what the baseline's SONAME lets go, with why, is in
# host/abi/SONAME.abignore.
current=(--headers-dir2 host/include/daqhost --headers-dir2 protocol --drop-private-types)
[ -f "host/abi/$soname.abignore" ] && current+=(--suppressions "host/abi/$soname.abignore")
# Added functions and variables keep programs built against the baseline working; any change
# to what was there (a removed symbol, a type of another size or layout) does not. abidiff
# sets bit 4 for an ABI change and bit 8 for one it knows to be incompatible; with additions
# left out, either fails. Bits 1 and 2 say abidiff itself failed.
status=0
abidiff --no-added-syms "${current[@]}" "$build/baseline.abi" "$library" >"$build/abidiff.txt" ||
  status=$?
if ((status & 3)); then
  cat "$build/abidiff.txt" >&2
  fail "abidiff could not compare (status $status)"
elif ((status & 12)); then
  cat "$build/abidiff.txt" >&2
  fail "the ABI of $soname changes (above); give the library a new SONAME"
fi
added=0
abidiff "${current[@]}" "$build/baseline.abi" "$library" >/dev/null || added=$?
echo "host library: ABI of $soname compatible with the baseline$( ((added & 4)) && echo ', with additions')"

# Only the namespace daq is exported.
foreign=$(nm -D --defined-only "$library" | c++filt | awk '{ $1 = ""; $2 = ""; print }' |
  grep -v '^ *\(typeinfo for \|typeinfo name for \|vtable for \)\?daq::' || true)
[ -z "$foreign" ] || fail "exports outside the namespace daq: $foreign"

# testModule in a namespace of its own serves 127.0.0.1:10000 there.
run_example() {
  local program=$1 libdir=$2
  unshare -n bash -c '
    ip link set lo up
    "$1/app/testModule" -r 2000 >"$1/testModule-example.log" 2>&1 &
    pid=$!
    trap "kill $pid 2>/dev/null; wait $pid 2>/dev/null" EXIT
    for _ in $(seq 100); do
      ss -Huln "sport = :10000" | grep -q . && break
      sleep 0.1
    done
    LD_LIBRARY_PATH=$2 "$3" 127.0.0.1 500' _ "$build" "$libdir" "$program" ||
    fail "$program did not take its run (testModule log: $build/testModule-example.log)"
}
can_run=true
if [ "$(id -u)" -ne 0 ]; then
  echo "host library: the example is built but not run (a network namespace needs root)"
  can_run=false
fi

for libdir in lib "$PWD/$build/prefix-absolute/lib64"; do
  # An absolute library folder is where the files go whatever the prefix: configured there.
  prefix=$PWD/$build/prefix-relative configured=/usr/local
  [[ $libdir == /* ]] && prefix=$PWD/$build/prefix-absolute configured=$prefix
  configure "$configured" "$libdir"
  rm -rf "$prefix"
  for component in library development; do
    cmake --install "$build" --component "$component" --prefix "$prefix" >/dev/null
  done
  installed_lib=$(dirname "$(find "$prefix" -name "$soname" | head -1)")
  ! grep -rqiE 'glib|gtest|gmock' "$prefix/include" "$installed_lib/cmake" "$installed_lib/pkgconfig" ||
    fail "the installed headers or package files name GLib or GoogleTest"
  # Only the public headers, and none of them includes one that is not installed.
  [ "$(cd "$prefix/include/daqhost" && ls ./*.h | sort)" = "$(cd host/include/daqhost && ls ./*.h | sort)" ] ||
    fail "the installed headers are not those of host/include/daqhost"
  for header in "$prefix"/include/daqhost/*.h; do
    echo "#include <daqhost/$(basename "$header")>" |
      g++ -std=c++20 -fsyntax-only -x c++ -I "$prefix/include" -I "$prefix/include/daqhost" - ||
      fail "the installed $(basename "$header") does not compile on its own"
  done

  # pkg-config
  example_pc=$build/host-minimal-pkgconfig
  PKG_CONFIG_PATH=$installed_lib/pkgconfig pkg-config --exists 'daqhost >= 3.0' ||
    fail "pkg-config finds no daqhost >= 3.0 in $installed_lib/pkgconfig"
  # shellcheck disable=SC2046
  g++ -std=c++20 -Wall -Wextra -o "$example_pc" examples/host-minimal/host_minimal.cpp \
    $(PKG_CONFIG_PATH=$installed_lib/pkgconfig pkg-config --cflags --libs daqhost) ||
    fail "the example does not build with pkg-config (library folder $libdir)"
  ! ldd "$example_pc" | grep -qi glib || fail "the example links GLib"
  $can_run && run_example "$example_pc" "$installed_lib"
  echo "host library: example built with pkg-config (library folder $libdir)$($can_run && echo ' and run')"

  # The CMake package, once: its paths are relative to where it is installed, not to the
  # configured prefix.
  if [[ $libdir != /* ]]; then
    rm -rf "$build/example-cmake"
    cmake -S examples/host-minimal -B "$build/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      >/dev/null || fail "find_package(daqhost 3.0) fails against $prefix"
    cmake --build "$build/example-cmake" >/dev/null || fail "the example does not build with CMake"
    $can_run && run_example "$build/example-cmake/host-minimal" "$installed_lib"
    echo "host library: example built with find_package(daqhost 3.0)$($can_run && echo ' and run')"
  fi
done
configure /usr/local lib
