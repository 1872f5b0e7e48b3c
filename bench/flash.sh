#!/usr/bin/env bash
# A slow flash disk for the benchmarks: an ext4 on a loop device (direct I/O) over a file
# that nbdfuse exposes from nbdkit's memory plugin behind its rate filter.
#   bench/flash.sh up DIR [RATE]   make it in DIR (created), RATE in bytes per second
#                                  (40M = 40,000,000, the default; K, M and G are decimal)
#   bench/flash.sh down DIR        take down whatever DIR holds of it, and DIR itself
# up prints KEY=VALUE lines: mount (the ext4's folder), device, rate_file, rate_bits,
# unlimited_bits, direct (1: the loop device does direct I/O); or, where something is missing
# or refused, one line skipped=REASON, after taking down what it had made (exit status 1).
# The rate file holds the filter's limit in bits per second; writing another number into
# it (a new file renamed over it) takes effect at the next request, so a benchmark can fill
# the disk at full speed and time a run at the flash's.
# As root, nbdkit, libnbd-bin (nbdfuse) and fuse3 are installed with apt-get when missing.
set -uo pipefail
size=${BENCH_FLASH_SIZE:-4G}
# The filter lets a burst of this many seconds' worth through after a pause. Its default
# of 2 s would let 80 MB of a run go at memory speed; 50 ms is still far above one request.
burst=0.05
unlimited=100000000000000

skip() {
    echo "skipped=$*"
    down "$dir" >/dev/null 2>&1
    exit 1
}

# Bytes per second (a number with an optional decimal K, M or G) as bits per second.
bits() {
    local n=${1%[KkMmGg]} unit=${1: -1} factor=1
    [[ $n =~ ^[0-9]+(\.[0-9]+)?$ ]] || return 1
    case $unit in
        [Kk]) factor=1000 ;;
        [Mm]) factor=1000000 ;;
        [Gg]) factor=1000000000 ;;
        [0-9]) ;;
        *) return 1 ;;
    esac
    awk -v n="$n" -v f="$factor" 'BEGIN { printf "%.0f\n", n * f * 8 }'
}

set_rate() {
    echo "$2" >"$1/rate.new" && mv -f "$1/rate.new" "$1/rate"
}

install_missing() {
    local missing=() p
    for p in nbdkit libnbd-bin fuse3; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "bench/flash.sh: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 && return 0
    apt-get update -qq >/dev/null 2>&1
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1
}

up() {
    local rate_bits device error i
    rate_bits=$(bits "$rate") || { echo "bench/flash.sh: bad rate '$rate'" >&2; exit 2; }
    # down removes what up made and then the folder, so the folder must be new or empty.
    if [ -e "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
        echo "bench/flash.sh: $dir is not empty" >&2
        exit 2
    fi
    mkdir -p "$dir/fuse" || { echo "skipped=cannot make $dir/fuse"; exit 1; }
    [ "$(id -u)" = 0 ] || skip "not root, so no loop device can be attached"
    install_missing || skip "nbdkit, nbdfuse or fusermount3 missing and apt-get could not install them"
    for tool in nbdkit nbdfuse fusermount3 losetup mkfs.ext4 mount mountpoint; do
        command -v "$tool" >/dev/null || skip "$tool not found"
    done
    [ -e /dev/fuse ] || modprobe fuse >/dev/null 2>&1
    [ -e /dev/fuse ] || skip "no /dev/fuse (FUSE is not available here)"
    # Full speed while the file system is made; the flash's rate once it is up.
    set_rate "$dir" "$unlimited" || skip "cannot write $dir/rate"
    # A session of its own: an interrupted benchmark must not take the server down under a
    # mounted file system; down unmounts first, and nbdfuse then ends, and nbdkit with it.
    setsid nbdfuse -P "$dir/nbdfuse.pid" "$dir/fuse/flash" --command \
        nbdkit -s --exit-with-parent --filter=rate memory "$size" \
        rate="$unlimited" rate-file="$dir/rate" burstiness="$burst" \
        </dev/null >"$dir/nbdfuse.log" 2>&1 &
    echo $! >"$dir/nbdfuse.started"
    for i in $(seq 100); do
        [ -s "$dir/nbdfuse.pid" ] && [ -e "$dir/fuse/flash" ] && break
        kill -0 "$(cat "$dir/nbdfuse.started")" 2>/dev/null ||
            skip "nbdfuse ended: $(tail -n 2 "$dir/nbdfuse.log" | tr '\n' ' ')"
        sleep 0.1
    done
    [ -e "$dir/fuse/flash" ] || skip "nbdfuse did not expose its file within 10 s"
    device=$(losetup --find --show --direct-io=on "$dir/fuse/flash" 2>/dev/null) ||
        device=$(losetup --find --show "$dir/fuse/flash" 2>&1) || skip "no loop device: $device"
    echo "$device" >"$dir/loop"
    # Inode tables and journal zeroed now, at full speed, rather than by the kernel's
    # lazy-init thread in the background of the timed runs.
    error=$(mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$device" 2>&1) ||
        skip "mkfs.ext4 failed: $error"
    mkdir -p "$dir/ext4"
    error=$(mount "$device" "$dir/ext4" 2>&1) || skip "mount refused: $error"
    set_rate "$dir" "$rate_bits"
    echo "mount=$dir/ext4"
    echo "device=$device"
    echo "rate_file=$dir/rate"
    echo "rate_bits=$rate_bits"
    echo "unlimited_bits=$unlimited"
    echo "direct=$(cat "/sys/block/${device#/dev/}/loop/dio" 2>/dev/null || echo 0)"
}

down() {
    local d=$1 pid i loop
    [ -d "$d" ] || return 0
    # Whatever the file system still has to write goes at full speed.
    [ -e "$d/rate" ] && set_rate "$d" "$unlimited"
    if mountpoint -q "$d/ext4" 2>/dev/null; then umount "$d/ext4" || umount -l "$d/ext4"; fi
    if [ -s "$d/loop" ]; then
        loop=$(cat "$d/loop")
        losetup -d "$loop" 2>/dev/null
        # The detach completes in the background; until then the file is busy.
        for i in $(seq 50); do
            [ -e "/sys/block/${loop#/dev/}/loop/backing_file" ] || break
            sleep 0.1
        done
        rm -f "$d/loop"
    fi
    if mountpoint -q "$d/fuse" 2>/dev/null; then fusermount3 -u "$d/fuse" || fusermount3 -uz "$d/fuse"; fi
    if [ -s "$d/nbdfuse.pid" ] || [ -s "$d/nbdfuse.started" ]; then
        pid=$(cat "$d/nbdfuse.pid" 2>/dev/null || cat "$d/nbdfuse.started")
        for i in $(seq 50); do
            [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = nbdfuse ] || break
            sleep 0.1
        done
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = nbdfuse ] && kill "$pid"
    fi
    if mountpoint -q "$d/ext4" 2>/dev/null || mountpoint -q "$d/fuse" 2>/dev/null; then
        echo "bench/flash.sh: $d is still mounted, so it stays" >&2
        return 1
    fi
    rm -f "$d"/rate "$d"/rate.new "$d"/nbdfuse.pid "$d"/nbdfuse.started "$d"/nbdfuse.log
    rmdir "$d/ext4" "$d/fuse" 2>/dev/null
    rmdir "$d"
}

case ${1:-}:${2:-} in
    up:?*) dir=$2 rate=${3:-40M}; up ;;
    down:?*) dir=$2; down "$dir" ;;
    *) echo "usage: bench/flash.sh up DIR [RATE] | down DIR" >&2; exit 2 ;;
esac
