#!/usr/bin/env bash
# Builds in release mode and runs every benchmark, printing one table.
#   bench/run.sh [--quick] [--fs disk|ext4|flash] [--rate BYTES_PER_S] [bench.py's other options]
# Needs what ./run installs, plus rsync for the comparison with rsync. Installations run
# on this machine's disk (BENCH_DIR, default /var/tmp) and, as root, on a fresh ext4 made
# with mkfs.ext4's default options (so with a journal, as on a device's flash) in a
# sparse image file there (BENCH_EXT4_SIZE, default 3G), mounted from a loop device with
# direct I/O where it can, and on the same over a slow flash (bench/flash.sh: a loop
# device over nbdkit's memory plugin behind its rate filter, --rate, default 40M bytes/s).
# --fs runs only the sections that install on that file system, on it alone.
# Everything the benchmarks lay out lives in one folder in BENCH_DIR (and one in
# /dev/shm); they, the mounts and the loop devices go at the end, also when interrupted.
# Where a mount is refused the table says so in place of those figures.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-release
bench_dir=${BENCH_DIR:-/var/tmp}
command -v rsync >/dev/null || { [ "$(id -u)" = 0 ] && apt-get install -y -qq rsync >/dev/null 2>&1 || true; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel >/dev/null

fs=all rate=40M
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
        --fs) fs=${args[i + 1]:-} ;;
        --rate) rate=${args[i + 1]:-} ;;
    esac
done
case $fs in
    all|disk|ext4|flash) ;;
    *) echo "bench/run.sh: --fs takes disk, ext4 or flash" >&2; exit 2 ;;
esac

scratch= memory= loopdev= mnt= flash=
cleanup() {
    local kept=
    if [ -n "$flash" ] && [ -d "$flash" ]; then bench/flash.sh down "$flash" || kept=$flash; fi
    if [ -n "$mnt" ] && mountpoint -q "$mnt"; then umount "$mnt" || umount -l "$mnt" || true; fi
    if [ -n "$loopdev" ]; then losetup -d "$loopdev" || true; fi
    if [ -n "$mnt" ] && mountpoint -q "$mnt"; then kept=$mnt; fi
    if [ -n "$kept" ]; then
        echo "bench/run.sh: $kept is still mounted, so $scratch stays" >&2
    elif [ -n "$scratch" ]; then
        rm -rf "$scratch"
    fi
    if [ -n "$memory" ]; then rm -rf "$memory"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
scratch=$(mktemp -d "$bench_dir/corvane-bench.XXXXXX")
export BENCH_DIR=$scratch
if [ -d /dev/shm ]; then
    memory=$(mktemp -d /dev/shm/corvane-bench.XXXXXX)
    export BENCH_MEMORY_DIR=$memory
fi

# Sets BENCH_EXT4_DIR to the mounted file system, or BENCH_EXT4_SKIPPED to the reason
# there is none.
mount_ext4() {
    local error image=$scratch/ext4.img
    if [ "$(id -u)" != 0 ]; then
        BENCH_EXT4_SKIPPED="not root, so no loop device can be mounted"
        return
    fi
    for tool in mkfs.ext4 losetup mount mountpoint; do
        command -v "$tool" >/dev/null || { BENCH_EXT4_SKIPPED="$tool not found"; return; }
    done
    truncate -s "${BENCH_EXT4_SIZE:-3G}" "$image"
    error=$(mkfs.ext4 -q -F "$image" 2>&1) || { BENCH_EXT4_SKIPPED="mkfs.ext4 failed: $error"; return; }
    # Direct I/O: what the file system writes reaches the image file at once, not a second
    # page cache of this machine's whose writeback would land in later runs, as with a
    # device's flash. Where the loop device cannot do it, it goes through the cache, and
    # the table says so.
    loopdev=$(losetup --find --show --direct-io=on "$image" 2>/dev/null) \
        || loopdev=$(losetup --find --show "$image" 2>/dev/null) || {
        BENCH_EXT4_SKIPPED="no loop device to be had (losetup --find failed)"
        loopdev=
        return
    }
    BENCH_EXT4_DIRECT=$(cat "/sys/block/${loopdev#/dev/}/loop/dio" 2>/dev/null || echo 0)
    mnt=$scratch/ext4
    mkdir "$mnt"
    error=$(mount "$loopdev" "$mnt" 2>&1) || { BENCH_EXT4_SKIPPED="mount refused: $error"; return; }
    BENCH_EXT4_DIR=$mnt
}
BENCH_EXT4_DIR= BENCH_EXT4_SKIPPED= BENCH_EXT4_DIRECT=0
if [ "$fs" = all ] || [ "$fs" = ext4 ]; then mount_ext4; fi
export BENCH_EXT4_DIR BENCH_EXT4_SKIPPED BENCH_EXT4_DIRECT

# The slow flash: BENCH_FLASH_DIR and the rate file's settings, or BENCH_FLASH_SKIPPED.
BENCH_FLASH_DIR= BENCH_FLASH_SKIPPED=
if [ "$fs" = all ] || [ "$fs" = flash ]; then
    flash=$scratch/flash
    while IFS='=' read -r key value; do
        case $key in
            mount) BENCH_FLASH_DIR=$value ;;
            skipped) BENCH_FLASH_SKIPPED=$value ;;
            *) export "BENCH_FLASH_${key^^}=$value" ;;
        esac
    done < <(bench/flash.sh up "$flash" "$rate" || true)
    [ -n "$BENCH_FLASH_DIR$BENCH_FLASH_SKIPPED" ] || BENCH_FLASH_SKIPPED="bench/flash.sh up failed"
fi
export BENCH_FLASH_DIR BENCH_FLASH_SKIPPED BENCH_FLASH_RATE="$rate"

# --only names sections of bench.py; the progress display is measured in a full run.
case " $* " in
    *" --only "*|*" --fs "*) ;;
    *) "$build/bench/bench_progress"; echo ;;
esac
/usr/bin/python3 bench/bench.py "$build" "$@"
