#!/usr/bin/env bash
# Runs the installer on a simulated device: lays out the device in a temporary folder,
# starts corvane-installer against it (in a real window on a desktop, under Xvfb
# without one), takes a screenshot of every screen, pulls the simulated stick a few
# seconds after the result screen and prints what happened.
#   demo.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build folder}" && pwd); shift || true
exe=$build/shell/corvane-installer

root=$(mktemp -d /tmp/corvane-demo.XXXXXX)
shots=$root/screenshots
mkdir -p "$shots"
"$here/make-device.sh" "$root" --big-file 384
log="$root/USB HD/Corvane_Installer/log.txt"
pulled="$root/pulled-stick"

xvfb_pid=
cleanup() {
    [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 120); do
        [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || { display=:$n; break; }
    done
    Xvfb "$display" -screen 0 800x480x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=$display
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    echo "No display: running under Xvfb on $DISPLAY"
    headless=1
else
    headless=0
fi

# A fingerprint of the flash disk, to show what the run changed.
fingerprint() {
    (cd "$root/FlashDisk" && find . -type f -print0 | sort -z | xargs -0 md5sum) | sed 's|  \./|  |'
}
fingerprint > "$root/before.txt"

shot_count=0
shot() {
    shot_count=$((shot_count + 1))
    local out
    out=$(printf '%s/%02d-%s.png' "$shots" "$shot_count" "$1")
    if [ $headless = 1 ]; then
        xwd -root -silent > "$root/shot.xwd"
    else
        local wid
        wid=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | tail -n 1)
        xwd -id "${wid:-root}" -silent > "$root/shot.xwd" 2>/dev/null || xwd -root -silent > "$root/shot.xwd"
    fi
    /usr/bin/convert "xwd:$root/shot.xwd" "$out" && rm -f "$root/shot.xwd"
    echo "  screenshot: $out"
}
# Waits until the log (on the stick, or where the pulled stick went) holds a line matching $1.
wait_log() {
    local pattern=$1 limit=${2:-600}
    for _ in $(seq "$limit"); do
        grep -q -E "$pattern" "$log" 2>/dev/null && return 0
        kill -0 "$app_pid" 2>/dev/null || return 1
        sleep 0.02
    done
    return 1
}

echo "Device: $root"
CORVANE_DEVICE_ROOT=$root "$exe" &
app_pid=$!

if wait_log '^Installing update to Corvane\.\.\.' 1500; then
    shot installing
    # Part-way through the large file of the update.
    sleep 0.15
    grep -q '^Status: ' "$log" || shot copying
fi
if wait_log '^HandleEvents: (InitialState|WaitPassword): ' 30000; then
    sleep 0.5
    shot result
    sleep 3
    echo "Pulling the stick"
    mv "$root/USB HD/Corvane_Installer" "$pulled"
fi
set +e
wait "$app_pid"
code=$?
set -e
app_pid=
fingerprint > "$root/after.txt"

echo
echo "=== Summary ==="
echo "Exit code: $code"
version=$(/usr/bin/python3 - "$root/FlashDisk/Corvane/Corvane.exe" <<'PY' 2>/dev/null || true
import sys, pefile
pe = pefile.PE(sys.argv[1])
for info in pe.FileInfo[0]:
    if info.Key == b'StringFileInfo':
        for table in info.StringTable:
            print(table.entries.get(b'ProductVersion', b'').decode())
PY
)
echo "Installed version: ${version:-unknown}"
echo "Changes on the flash disk:"
join -j 2 -a 1 -a 2 -e MISSING -o 0,1.1,2.1 <(sort -k 2 "$root/before.txt") <(sort -k 2 "$root/after.txt") |
    while read -r file old new; do
        case $file in Corvane_Installer/Corvane/*) continue ;; esac
        if [ "$old" = MISSING ]; then echo "  added     $file"
        elif [ "$new" = MISSING ]; then echo "  removed   $file"
        elif [ "$old" != "$new" ]; then echo "  replaced  $file"
        fi
    done
left=$(find "$root/FlashDisk/Corvane_Installer" -mindepth 1 -maxdepth 1 -printf '%f ' 2>/dev/null)
echo "  update folder Corvane_Installer/Corvane removed; left in Corvane_Installer: ${left:-nothing}"
echo "Log file: $pulled/log.txt"
sed 's/^/  | /' "$pulled/log.txt" 2>/dev/null || echo "  (no log)"
echo "Screenshots: $shots"
exit "$code"
