#!/usr/bin/env bash
# Figures of one architecture's package and program, for docs/deployment.md:
#   packaging/figures.sh ARCH     (after ./run package ARCH; for arm64/armhf after ./run test-cross ARCH)
# Package size, installed size, the stripped executable's size, and process start to
# first screen (offscreen; under qemu-user for a foreign architecture).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?architecture}
deb=$(ls dist/corvane-installer_*_"$arch".deb)
echo "Package $deb: $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
dpkg-deb -c "$deb" | awk '$6 ~ /usr\/bin\/./ { print "  " $6 ": " $3 " bytes" }'
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    build=build installer=
else
    build=build-$arch installer=$PWD/build-$arch/tests/emulated/corvane-installer
fi
CORVANE_BENCH_INSTALLER=$installer /usr/bin/python3 bench/bench.py "$build" --only startup
