#!/usr/bin/env bash
# Whole runs of the installer with a short confirmation window, each on a fresh simulated
# device (no stick: the run goes on to the watch at once):
#  - RUNS runs whose new application is healthy: each must be confirmed after the window,
#    with the replaced files removed, and none undone (a false fallback);
#  - RUNS runs whose new application exits with code 1 at once: each must be undone, and
#    the time from the application's failure (its last line) to the old application's
#    start is measured (median, min, max).
#   confirm-runs.sh INSTALLER ENCRYPT_TOOL [RUNS] [WINDOW]     (defaults: 20 runs, 2 s)
# Exit code 0 when every healthy run was confirmed and every faulty one undone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
installer=$(realpath "${1:?corvane-installer}")
encrypt=$(realpath "${2:?corvane-encrypt}")
runs=${3:-20}
window=${4:-2}
work=$(mktemp -d /tmp/corvane-confirm.XXXXXX)
trap 'pkill -KILL -F "$work/pids" 2>/dev/null || true; rm -rf "$work"' EXIT
: >"$work/pids"

# application NAME FILE BODY: notes its start time and pid, then BODY.
application() {
    printf '#!/bin/sh\necho "%s $$ $(date +%%s.%%N)" >>"$CORVANE_DEVICE_ROOT/starts"\necho $$ >>"%s"\n%s\n' \
        "$1" "$work/pids" "$3" >"$2"
    chmod 755 "$2"
}

confirmed=0 undone=0 false_fallbacks=0 missed=0
times=()
for kind in healthy faulty; do
    for i in $(seq "$runs"); do
        dev=$work/device
        rm -rf "$dev"
        CORVANE_ENCRYPT_TOOL=$encrypt "$here/../tools/make-device.sh" "$dev" --no-stick
        application old "$dev/FlashDisk/Corvane/Corvane.exe" 'exec sleep 30'
        if [ "$kind" = healthy ]; then
            application new "$dev/FlashDisk/Corvane_Installer/Corvane/Corvane.exe" 'exec sleep 30'
        else
            application new "$dev/FlashDisk/Corvane_Installer/Corvane/Corvane.exe" \
                'date +%s.%N >"$CORVANE_DEVICE_ROOT/failed"; exit 1'
        fi
        CORVANE_DEVICE_ROOT=$dev CORVANE_CONFIRM_SECONDS=$window QT_QPA_PLATFORM=offscreen \
            timeout 120 "$installer" >/dev/null 2>"$work/stderr" || true
        history=$(cat "$dev/FlashDisk/.corvane-install/history" 2>/dev/null || true)
        left=$(ls "$dev/FlashDisk/.corvane-install" | grep -vxE 'lock|history' || true)
        # A count of no wrong entries stays by design.
        [ "$(cat "$dev/FlashDisk/.corvane-install/wrong-entries" 2>/dev/null)" != 0 ] ||
            left=$(grep -vx wrong-entries <<<"$left" || true)
        if [ "$kind" = healthy ]; then
            if grep -q ' confirmed: the application ran for ' <<<"$history" && [ -z "$left" ]; then
                confirmed=$((confirmed + 1))
            else
                echo "healthy run $i: not confirmed (left: ${left:-nothing}): $(tail -n 3 "$work/stderr")"
            fi
            grep -q ' undone: ' <<<"$history" && false_fallbacks=$((false_fallbacks + 1))
        else
            # Started detached as the installer ends: its first line may come a moment later.
            for _ in $(seq 50); do
                grep -qs '^old ' "$dev/starts" && break
                sleep 0.1
            done
            old=$(awk '$1 == "old" { print $3; exit }' "$dev/starts" 2>/dev/null || true)
            if grep -q ' undone: the application exited with code 1 ' <<<"$history" && [ -n "$old" ] &&
                [ -z "$left" ]; then
                undone=$((undone + 1))
                times+=("$(awk -v a="$(cat "$dev/failed")" -v b="$old" 'BEGIN { printf "%.0f", (b - a) * 1000 }')")
            else
                missed=$((missed + 1))
                echo "faulty run $i: not undone (left: ${left:-nothing}): $(tail -n 3 "$work/stderr")"
            fi
        fi
        pkill -KILL -F "$work/pids" 2>/dev/null || true
        : >"$work/pids"
    done
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
median=$(awk '{ a[NR] = $1 } END { if (NR) print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2) }' <<<"$sorted")
echo "Healthy applications (window $window s): $confirmed of $runs confirmed, $false_fallbacks false fallbacks"
echo "Faulty applications: $undone of $runs undone; failure to old application started: median ${median:-?} ms (min $(head -n 1 <<<"$sorted") ms, max $(tail -n 1 <<<"$sorted") ms)"
[ "$confirmed" = "$runs" ] && [ "$false_fallbacks" = 0 ] && [ "$undone" = "$runs" ]
