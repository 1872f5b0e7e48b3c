#!/usr/bin/env bash
# Runs the installer on a simulated device: lays out the device in a temporary folder,
# starts corvane-installer against it (in a real window on a desktop, under Xvfb
# without one), takes a screenshot of every screen, pulls the simulated stick a few
# seconds after the result screen and prints what happened.
#   demo.sh BUILD_DIR [--password] [--signed]
# With --password the device stores an administrator password and a system database;
# the password and the service code to type are printed. Without a display the demo
# types the password itself, by clicks on the on-screen keyboard. With --signed the
# device trusts a maker's key (made for the demo with minisign) and the update comes
# with its list, signed by that key, as a maker ships it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build folder}" && pwd); shift || true
with_password=0 signed=0
for option in "$@"; do
    case $option in
        --password) with_password=1 ;;
        --signed) signed=1 ;;
        *) echo "demo.sh: unknown option $option" >&2; exit 2 ;;
    esac
done
exe=$build/shell/corvane-installer
password='Käse-42'
serial=1234567

root=$(mktemp -d /tmp/corvane-demo.XXXXXX)
shots=$root/screenshots
mkdir -p "$shots"
# A large system file makes the copy last long enough to be seen part-way (the
# application folder's files are moved, not copied).
device_options=(--big-system-file 384)
[ $with_password = 1 ] && device_options+=(--password "$password" --serial "$serial")
CORVANE_ENCRYPT_TOOL=$build/tools/corvane-encrypt "$here/make-device.sh" "$root" "${device_options[@]}"
if [ $signed = 1 ]; then
    # The maker's side: a key pair (kept by the maker; the public key goes into the
    # device's image), the list of the update, its signature.
    command -v minisign >/dev/null || { echo "demo.sh: --signed needs minisign" >&2; exit 2; }
    keys=$root/maker-keys
    mkdir -p "$keys" "$root/etc/corvane-installer/trusted-keys"
    minisign -G -W -p "$keys/corvane.pub" -s "$keys/corvane.key" >/dev/null
    cp "$keys/corvane.pub" "$root/etc/corvane-installer/trusted-keys/"
    "$build/tools/corvane-update-manifest" "$root/FlashDisk/Corvane_Installer" --version 2.4.1
    minisign -S -s "$keys/corvane.key" -m "$root/FlashDisk/Corvane_Installer/update.manifest" \
        -t "Corvane 2.4.1 for the demo" >/dev/null
    echo "Signed update: key $keys/corvane.pub (trusted by the device), list and signature in"
    echo "  $root/FlashDisk/Corvane_Installer/update.manifest{,.minisig}"
fi
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
# Writes a raw X image of the screen (under Xvfb) or of the installer's window to $1.
grab() {
    if [ $headless = 1 ]; then
        xwd -root -silent > "$1"
    else
        local wid
        wid=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | tail -n 1)
        xwd -id "${wid:-root}" -silent > "$1" 2>/dev/null || xwd -root -silent > "$1"
    fi
}
# Saves a screenshot named NN-$1.png (from the raw image $2 when given).
shot() {
    shot_count=$((shot_count + 1))
    local out raw=${2:-$root/shot.xwd}
    out=$(printf '%s/%02d-%s.png' "$shots" "$shot_count" "$1")
    [ -n "${2:-}" ] || grab "$raw"
    /usr/bin/convert "xwd:$raw" "$out" && rm -f "$raw"
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

# Clicks the middle of the key at X,Y (its top-left corner in the keyboard window named
# TITLE) with the real pointer.
click_key() {
    local title=$1 x=$2 y=$3 hold=${4:-0} wid geometry wx wy
    wid=$(xdotool search --onlyvisible --name "^$title\$" | head -n 1)
    [ -n "$wid" ] || { echo "  (no visible window '$title')"; return 1; }
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    wx=$X wy=$Y
    xdotool mousemove $((wx + x + 25)) $((wy + y + 25))
    if [ "$hold" = 1 ]; then
        xdotool mousedown 1; sleep 1.2; xdotool mouseup 1
    else
        xdotool click 1
    fi
    sleep 0.2
}
# Types the demo password "Käse-42": K, Shift, a held for its accents, ä, s, e, 123, -, 4, 2, Ok.
type_password() {
    click_key "Input Panel" 460 80            # K
    shot password-capital
    click_key "Input Panel" 0 140             # Shift
    shot password-small
    click_key "Input Panel" 40 80 1           # a, held
    shot password-accents
    click_key "KeyBar_A_small" 10 10 && true  # ä
    click_key "Input Panel" 100 80            # s
    click_key "Input Panel" 120 20            # e
    click_key "Input Panel" 0 200             # 123
    shot password-digits
    click_key "Input Panel Number" 400 80     # -
    click_key "Input Panel Number" 180 20     # 4
    click_key "Input Panel Number" 60 20      # 2
    click_key "Input Panel Number" 480 288    # Ok
}

echo "Device: $root"
if [ $with_password = 1 ]; then
    echo "Administrator password: $password"
    echo "Service code: 8581 (from the sensor serial number $serial)"
fi
# The simulated application cannot run, so nothing is held back for it to confirm.
CORVANE_CONFIRM_SECONDS=0 CORVANE_DEVICE_ROOT=$root "$exe" &
app_pid=$!

if [ $with_password = 1 ] && wait_log '^Enter Password\.\.\.' 1500; then
    sleep 0.5
    if [ $headless = 1 ]; then
        type_password || echo "Could not type the password"
    else
        shot password
        echo "Type the password (or the service code) on the on-screen keyboard and press Ok."
    fi
fi

if wait_log '^(Installing update to Corvane\.\.\.|HandleEvents: (WaitPassword: Cancelled|InitialState))' 30000 &&
    grep -q '^Installing update to Corvane' "$log"; then
    # Raw frames while the copy runs; the one from its middle shows the bar part-way.
    frames=()
    while ! grep -q '^Status: ' "$log" 2>/dev/null && [ ${#frames[@]} -lt 200 ]; do
        frames+=("$root/frame-${#frames[@]}.xwd")
        grab "${frames[-1]}" 2>/dev/null || break
        sleep 0.05
    done
    if [ ${#frames[@]} -gt 0 ]; then
        shot installing "${frames[$(( ${#frames[@]} / 2 ))]}"
        rm -f "${frames[@]}"
    fi
fi
if wait_log '^HandleEvents: (InitialState: |WaitPassword: Cancelled)' 30000; then
    sleep 0.5
    shot result
    sleep 3
    echo "Pulling the stick"
    echo "(the simulated Corvane.exe is a Windows program: the installer says it cannot start it)"
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
