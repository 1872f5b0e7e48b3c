#!/usr/bin/env bash
# Checks that the installed programs were built for the target and link nothing of the
# build machine: file(1) names the target's machine, and every NEEDED library of each
# program is found in the target's multiarch folders (as the device's loader would find
# it) and is itself built for the target. No RPATH/RUNPATH may point elsewhere.
#   check-binaries.sh TRIPLET BUILD_DIR
set -euo pipefail
triplet=${1:?multiarch triplet}
build=${2:?build folder}
stage=$(mktemp -d /tmp/corvane-binaries.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
set -- "$stage"/usr/bin/*
case $triplet in
    aarch64-linux-gnu) machine='ARM aarch64' ;;
    arm-linux-gnueabihf) machine='ARM, EABI5' ;;
    x86_64-linux-gnu) machine='x86-64' ;;
    *) echo "FAIL: no machine known for $triplet"; exit 1 ;;
esac
failed=0 checked=0
fail() { echo "FAIL: $*"; failed=1; }
for program in "$@"; do
    file -L "$program" | grep -qF "$machine" || fail "$program is not $machine: $(file -bL "$program")"
    if readelf -d "$program" | grep -qE '\((RPATH|RUNPATH)\)'; then
        fail "$program carries a library path: $(readelf -d "$program" | grep -E 'RPATH|RUNPATH')"
    fi
    while read -r library; do
        found=
        for dir in /usr/lib/"$triplet" /lib/"$triplet"; do
            [ -e "$dir/$library" ] && { found=$dir/$library; break; }
        done
        if [ -z "$found" ]; then
            fail "$program needs $library, not in the $triplet folders"
        elif ! file -L "$found" | grep -qF "$machine"; then
            fail "$program needs $found, which is $(file -bL "$found")"
        fi
        checked=$((checked + 1))
    done < <(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
done
[ $failed = 0 ] || exit 1
echo "PASS: $(cd "$stage/usr/bin" && echo *) for $machine, $checked needed libraries all in the $triplet folders"
