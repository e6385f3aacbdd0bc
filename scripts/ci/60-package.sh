#!/usr/bin/env bash
# The Debian package: CPack builds it from a Release build; its control data and contents are
# checked with dpkg-deb; it installs with apt-get into a throwaway minimal Debian root
# (debootstrap, kept in the build folder for the next run), where `testModule -h` runs and
# systemd-analyze accepts the units. Needs root and the network (debootstrap, apt-get). The
# root is of the machine's own release, from the first mirror of it in the machine's apt
# sources, through apt's proxy if one is set (scripts/ci/apt-sources).
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/ci/apt-sources
scripts/install-deps debootstrap dpkg-dev

if [ "$(id -u)" -ne 0 ]; then
  echo "package: skipped (needs root for the throwaway root)"
  exit 0
fi
build=build-package
# A unity build, as packaging/containers/build-image makes it in the same folder.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDAQ_BUILD_TESTS=OFF \
  -DCMAKE_UNITY_BUILD=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -rf "$build/package"
(cd "$build" && cpack -B package >/dev/null)
deb=$(ls "$build"/package/daq-emulator_*.deb)
# The library package is named after its SONAME, the first number of the version.
major=$(sed -n 's/^project(daq_emulator VERSION \([0-9]*\)\..*/\1/p' CMakeLists.txt)
library_deb=$(ls "$build"/package/libdaqhost${major}_*.deb)
dev_deb=$(ls "$build"/package/libdaqhost-dev_*.deb)
python_deb=$(ls "$build"/package/python3-daqhost_*.deb)
stand_deb=$(ls "$build"/package/daq-teststand_*.deb)
echo "package: $deb $stand_deb $library_deb $dev_deb $python_deb"

fail() {
  echo "package: $*" >&2
  exit 1
}

# Control data: the libraries the programs link, found by dpkg-shlibdeps.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libglib2.0-0 libpcap0.8 libstdc++6; do
  [[ $depends == *"$library "* || $depends == *"$library," || $depends == *"$library" ]] ||
    fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = daq-emulator ] || fail "wrong package name"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/testModule ./usr/bin/testCrate ./usr/bin/daqhost ./usr/bin/faultrelay \
  ./usr/bin/daqreplay ./usr/share/man/man1/daqreplay.1.gz \
  ./usr/share/man/man1/testModule.1.gz ./usr/share/man/man1/testCrate.1.gz \
  ./usr/share/man/man1/daqhost.1.gz \
  ./usr/share/man/man1/faultrelay.1.gz \
  ./usr/lib/systemd/system/testModule.service ./usr/lib/systemd/system/testModule@.service \
  ./usr/share/doc/daq-emulator/changelog.Debian.gz ./usr/share/doc/daq-emulator/copyright \
  ./usr/share/doc/daq-emulator/protocol.md; do
  grep -qxF "$file" <<<"$contents" || fail "$file is not in the package"
done
grep -q '/wireshark/plugins/daqm.lua$' <<<"$contents" || fail "the dissector is not in the package"
# The module image installs this package alone: no Python in it.
[[ $depends != *python3* ]] || fail "daq-emulator depends on Python: $depends"

# The test stand: teststand, its man page and what it runs on (its library is in the Python
# package).
stand_contents=$(dpkg-deb -c "$stand_deb" | awk '{print $6}')
for file in ./usr/bin/teststand ./usr/share/man/man1/teststand.1.gz; do
  grep -qxF "$file" <<<"$stand_contents" || fail "$file is not in daq-teststand"
done
stand_depends=$(dpkg-deb -f "$stand_deb" Depends)
[[ $stand_depends == *python3-pyroute2* && $stand_depends == *"daq-emulator (= "* &&
   $stand_depends == *"python3-daqhost (= "* ]] ||
  fail "daq-teststand's Depends lack python3-pyroute2, daq-emulator or python3-daqhost: $stand_depends"

# The host library: the shared library alone, and what building against it needs.
library_contents=$(dpkg-deb -c "$library_deb" | awk '{print $6}')
grep -q "^\./usr/lib/[a-z0-9_-]*/libdaqhost\.so\.$major\$" <<<"$library_contents" ||
  fail "libdaqhost.so.$major is not in the multiarch library folder of libdaqhost$major"
# The file the SONAME points to is named after the version (libdaqhost.so.3.0.0 in 3.0.0-1).
library_version=$(dpkg-deb -f "$library_deb" Version | sed 's/-[^-]*$//')
grep -q "^\./usr/lib/[a-z0-9_-]*/libdaqhost\.so\.${library_version//./\\.}\$" <<<"$library_contents" ||
  fail "libdaqhost$major holds no libdaqhost.so.$library_version"
! grep -q '/include/\|\.so$' <<<"$library_contents" || fail "libdaqhost$major holds development files"
dpkg-deb -f "$library_deb" Depends | grep -q libpcap0.8 || fail "libdaqhost$major does not depend on libpcap"
# What dpkg-shlibdeps reads of it when a program that links the library is packaged.
[ "$(dpkg-deb --ctrl-tarfile "$library_deb" | tar -xO ./shlibs)" = \
  "libdaqhost $major libdaqhost$major (>= $library_version)" ] ||
  fail "libdaqhost$major has no shlibs file naming it"
dev_contents=$(dpkg-deb -c "$dev_deb" | awk '{print $6}')
for file in ./usr/include/daqhost/daqhost.h ./usr/include/daqhost/protocol/DataPacketView.h \
  '/libdaqhost\.so$' '/pkgconfig/daqhost\.pc$' '/cmake/daqhost/daqhostConfig\.cmake$'; do
  grep -q "$file" <<<"$dev_contents" || fail "$file is not in libdaqhost-dev"
done
dpkg-deb -f "$dev_deb" Depends | grep -q "libdaqhost$major (= " ||
  fail "libdaqhost-dev does not depend on libdaqhost$major"

# The Python package: the extension, the package around it, the stand's library, the pytest
# plugin and the former names' aliases, where Debian's python3 finds them, without byte code.
python_contents=$(dpkg-deb -c "$python_deb" | awk '{print $6}')
for file in '^\./usr/lib/python3/dist-packages/daqhost/_daqhost\..*\.so$' \
  '^\./usr/lib/python3/dist-packages/daqhost/__init__\.py$' \
  '^\./usr/lib/python3/dist-packages/daqhost/pytest_plugin\.py$' \
  '^\./usr/lib/python3/dist-packages/daqhost/stand/stand\.py$' \
  '^\./usr/lib/python3/dist-packages/daqstand/__init__\.py$' \
  '^\./usr/lib/python3/dist-packages/pytest_daqmodule\.py$' \
  '^\./usr/lib/python3/dist-packages/daqhost-.*\.dist-info/entry_points\.txt$'; do
  grep -q "$file" <<<"$python_contents" || fail "$file is not in python3-daqhost"
done
! grep -q __pycache__ <<<"$python_contents" || fail "python3-daqhost holds Python byte code"
dpkg-deb -f "$python_deb" Depends | grep -q python3-numpy || fail "python3-daqhost does not depend on numpy"

# The mirror: the first `deb` source of this release with main in apt's sources; its proxy
# (exported) serves debootstrap and apt-get in the root alike.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || fail "no VERSION_CODENAME in /etc/os-release"
mapfile -t sources < <(apt_source_files)
mirror=$(apt_mirror "$release" "${sources[@]}") ||
  fail "no enabled deb source for $release with main in apt's sources" \
    "(read: ${sources[*]:-nothing, there is no $(apt_source_places)})"
apt_proxy "$mirror"
proxy_variable=${mirror%%:*}_proxy
echo "package: mirror $mirror ($release)${!proxy_variable:+, proxy ${!proxy_variable}}"

# A minimal Debian root with systemd, made once and copied for each run.
base="$build/debian-root"
if [ ! -x "$base/usr/bin/systemd-analyze" ]; then
  rm -rf "$base"
  debootstrap --variant=minbase --include=systemd,man-db "$release" "$base" \
    "$mirror" >"$build/debootstrap.log" 2>&1 ||
    fail "debootstrap failed (log: $build/debootstrap.log)"
fi
root="$build/install-root"
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
rm -rf "$root"
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
cp "$deb" "$stand_deb" "$library_deb" "$dev_deb" "$python_deb" "$root/tmp/"
chroot "$root" sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq /tmp/$(basename "$deb") /tmp/$(basename "$stand_deb") \
  /tmp/$(basename "$library_deb") /tmp/$(basename "$dev_deb") /tmp/$(basename "$python_deb")" \
  >"$build/install.log" 2>&1 ||
  fail "apt-get install failed (log: $build/install.log)"

# testModule -h prints its options (and exits 1, as it always has).
usage=$(chroot "$root" testModule -h || true)
grep -q "Posible options" <<<"$usage" || fail "testModule -h did not run: $usage"
chroot "$root" man -w testModule >/dev/null || fail "no man page for testModule"
chroot "$root" teststand --help | grep -q "^Usage: teststand" || fail "teststand --help did not run"
# The package's one import root, its binding loaded, and the stand's former name (the plugin's
# needs pytest, which is only suggested).
chroot "$root" python3 -c "import daqhost, daqstand; assert daqhost.MODULE_PORT
assert daqstand is daqhost.stand" ||
  fail "python3-daqhost does not import"
chroot "$root" systemd-analyze verify /lib/systemd/system/testModule.service \
  /lib/systemd/system/testModule@ns1.service || fail "systemd-analyze verify refused a unit"
chroot "$root" systemd-analyze security --offline=yes testModule.service | tail -1
echo "package: ok"
