#!/usr/bin/env bash
# Whole runs of the installer in a real X window (Xvfb, 800x480 like the device),
# operated only by real pointer clicks on the on-screen keyboard.
# First run: the right service code is typed and the installer is killed (strace) once
# the count of that entry is on disk, before the entry is compared: the count must read
# 1 and nothing be installed.
# Second run, on the same device: a wrong entry and Ok (the field empties), wrong codes
# until the field shuts (the 6th wrong entry in a row, with the killed one: 4 s, after
# 1 s and 2 s) and says "Try again in N s", counting down (read back with OCR), the
# keyboard back after it, a digit typed, a tap into the field (the field empties and the
# capital panel comes back), then the password "Kwé7" typed with the capital panel,
# Shift, a held "e" and its accent bar, and the digit panel, and Ok. The update must be
# installed and the count gone; pulling the stick must start the installed program and
# end the installer with exit code 0.
# Third run, with the stick back: the count of earlier runs calls for the longest pause, so
# the page opens shut with no keyboard; the page's own Cancel is tapped at once: the step
# is abandoned, the count stays for the next start, and pulling the stick starts the
# program. Each run's log begins with its start line.
# No window manager: the page takes the activation itself (showFullScreen) and the
# keyboard windows never take it, as on the device.
# The password page's label is read back from a screenshot (OCR): it must be whole.
#   realwindow_test.sh INSTALLER ENCRYPT_TOOL
# CORVANE_TIME_FACTOR (default 1) stretches every wait, for an emulated installer.
# Exit code 77 (skipped) when Xvfb, xdotool, xwd, ImageMagick, tesseract or strace is
# missing.
set -euo pipefail
# Nothing held back: the simulated application is no program that could prove itself.
export CORVANE_CONFIRM_SECONDS=0
here=$(cd "$(dirname "$0")" && pwd)
installer=${1:?corvane-installer}
encrypt=${2:?corvane-encrypt}
for tool in Xvfb xdotool xwd convert tesseract strace; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

password='Kwé7'
factor=${CORVANE_TIME_FACTOR:-1}
root=$(mktemp -d /tmp/corvane-realwindow.XXXXXX)
log="$root/USB HD/Corvane_Installer/log.txt"
work="$root/FlashDisk/.corvane-install"
count_file="$work/wrong-entries"
xvfb_pid= app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$root"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- log"; cat "$log" "$root/pulled-stick/log.txt" 2>/dev/null || true
    echo "--- installer output"; cat "$root/installer.out" 2>/dev/null || true
    exit 1
}

CORVANE_ENCRYPT_TOOL=$encrypt "$here/../tools/make-device.sh" "$root" \
    --password "$password" --serial 1234567 >/dev/null
cp "$root/FlashDisk/Corvane_Installer/Corvane/Corvane.exe" "$root/update.exe"

# Xvfb picks a free display itself and tells which.
exec 3>"$root/display"
Xvfb -displayfd 3 -screen 0 800x480x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$root/display" ] && break; sleep 0.05; done
[ -s "$root/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(cat "$root/display")

# In a sanitizer build: xkbcommon's X11 keymap reading trips the strict string check of
# the strndup interceptor (it hands over buffers that are not zero-terminated).
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0

# Polls (every 20 ms, up to 10 s times the factor) until the command succeeds.
wait_for() {
    for _ in $(seq $((500 * factor))); do
        "$@" && return 0
        kill -0 "$app_pid" 2>/dev/null || return 1
        sleep 0.02
    done
    return 1
}
log_has() { grep -qxF -- "$1" "$log" 2>/dev/null; }
starts_with_start_line() { head -n 1 "$1" | grep -q '^Installer started at '; }
visible() { [ -n "$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null)" ]; }
hidden() { ! visible "$1"; }
# Top-left corner of the visible window with that title, as "X Y".
position_of() {
    local wid
    wid=$(xdotool search --onlyvisible --name "^$1\$" | head -n 1)
    [ -n "$wid" ] || return 1
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    echo "$X $Y"
}
at() { [ "$(position_of "$1")" = "$2 $3" ]; }

# The page is full screen; its field is at 60, 60 with 590 x 40, so the panels hang at
# the field's bottom-left corner plus 2 (60, 60 + 39 + 2) and the accent bars 10 to
# the left and 290 below the field's bottom (50, 60 + 39 + 290).
panel_x=60 panel_y=101 bar_x=50 bar_y=389
# Clicks the middle of a 50 x 50 key whose top-left corner is at X, Y in the window.
click() { xdotool mousemove $(($1 + 25)) $(($2 + 25)) click 1; sleep 0.15; }
key() { click $((panel_x + $1)) $((panel_y + $2)); }
ok_key() { xdotool mousemove $((panel_x + 535)) $((panel_y + 318)) click 1; sleep 0.15; }

# Waits until the installer has ended (10 s times the factor, then it is ended) and sets
# code to its exit code.
wait_end() {
    for _ in $(seq $((500 * factor))); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.02; done
    kill "$app_pid" 2>/dev/null || true
    set +e
    wait "$app_pid"
    code=$?
    set -e
    app_pid=
}

# The first run, killed by strace at the second flush of the work folder itself: the
# first follows the start's making of the count file (0), the second the count's renaming
# into place at the entry.
mkdir -p "$work"
# (In a subshell whose own word on the killed command goes nowhere.)
(CORVANE_DEVICE_ROOT=$root QT_QPA_PLATFORM=xcb strace -f -qq -o /dev/null -P "$work" \
    -e trace=fsync -e inject=fsync:signal=KILL:when=2 "$installer" >"$root/installer.out" 2>&1
 exit $?) 2>/dev/null &
app_pid=$!
wait_for log_has "Enter Password..." || fail "no password page in the first run"
wait_for at "Input Panel" $panel_x $panel_y || fail "no keyboard in the first run"
key 0 200                                 # 123
wait_for at "Input Panel Number" $panel_x $panel_y || fail "digit panel not shown"
key 420 20; key 240 20; key 420 20; key 0 20   # 8581, the service code
ok_key
wait_end
[ "$code" = 137 ] || fail "first run not killed at the count's flush: exit code $code"
[ "$(cat "$count_file" 2>/dev/null)" = 1 ] || fail "count after the kill: $(cat "$count_file" 2>&1)"
! log_has "HandleEvents: WaitPassword: Ok." || fail "the killed entry was compared"
[ "$(cat "$root/FlashDisk/System/boot.cfg")" = "boot 2.3.0" ] || fail "killed run installed"
if grep -qF 8581 "$log"; then fail "the service code reached the log"; fi
starts_with_start_line "$log" || fail "the first run's log does not begin with its start line"
mv "$log" "$root/killed-log.txt"

CORVANE_DEVICE_ROOT=$root QT_QPA_PLATFORM=xcb "$installer" >"$root/installer.out" 2>&1 &
app_pid=$!
wait_for log_has "Enter Password..." || fail "no password page"
wait_for at "Input Panel" $panel_x $panel_y || fail "capital panel not under the field: $(position_of "Input Panel" || echo none)"

# The title row of the page, right of the small caption, as the operator sees it: OCR must
# read the whole label (a font wider than the form was drawn for cuts it at its edge).
# Read again while the page is still repainting what the keyboard window uncovered.
read_label() {
    xwd -root -silent >"$root/page.xwd"
    convert "xwd:$root/page.xwd" -crop 640x30+160+22 +repage -resize 200% "$root/label.png"
    tesseract "$root/label.png" - --psm 7 2>/dev/null | tr -s ' \n' ' ' | sed 's/ *$//'
}
for _ in $(seq $((5 * factor))); do
    label=$(read_label)
    [ "$label" = "Enter Administrator Password" ] && break
    sleep 0.5
done
[ "$label" = "Enter Administrator Password" ] || fail "password label reads \"$label\""

# A wrong entry: Ok empties the field, the keyboard stays.
key 0 20                                  # Q
ok_key
visible "Input Panel" || fail "panel gone after a wrong entry"

# Wrong codes until the field shuts. The 4th and 5th wrong entries close it for 1 s and
# 2 s; each time the keyboard goes and comes back.
key 0 200                                 # 123
wait_for at "Input Panel Number" $panel_x $panel_y || fail "digit panel not shown"
for entry in 3 4 5 6; do
    key 0 20                              # 1
    ok_key
    [ $entry -ge 4 ] || continue
    wait_for hidden "Input Panel Number" || fail "keyboard still up after wrong entry $entry"
    [ $entry -lt 6 ] || break
    wait_for visible "Input Panel Number" || fail "keyboard not back after wrong entry $entry"
done
# The 6th: 4 s, counting down on the field.
read_field() {
    xwd -root -silent >"$root/page.xwd"
    convert "xwd:$root/page.xwd" -crop 590x40+60+60 +repage -resize 200% "$root/field.png"
    tesseract "$root/field.png" - --psm 7 2>/dev/null | tr -d ' \n'
}
seconds=() text=
for _ in $(seq 20); do
    text=$(read_field)
    if [[ $text =~ ^Tryagainin([0-9]+)s$ ]]; then
        seconds+=("${BASH_REMATCH[1]}")
        [ ${#seconds[@]} -ge 2 ] && [ "${seconds[-1]}" -lt "${seconds[0]}" ] && break
    fi
    sleep 0.25
done
[ ${#seconds[@]} -ge 2 ] && [ "${seconds[0]}" -le 4 ] && [ "${seconds[-1]}" -lt "${seconds[0]}" ] ||
    fail "no countdown on the field: read ${seconds[*]:-nothing} (last: \"$text\")"
wait_for visible "Input Panel Number" || fail "keyboard not back after the pause"
text=$(read_field)
[[ $text != *again* ]] || fail "the field still says \"$text\" after the pause"
key 0 200                                 # abc
wait_for at "Input Panel" $panel_x $panel_y || fail "capital panel not back after the pause"

# A digit, then a tap into the field: it empties and the capital panel is back.
key 0 200                                 # 123
wait_for at "Input Panel Number" $panel_x $panel_y || fail "digit panel not shown"
key 480 20                                # 9
xdotool mousemove 300 80 click 1          # into the field
wait_for hidden "Input Panel Number" || fail "digit panel still up after a tap into the field"
wait_for at "Input Panel" $panel_x $panel_y || fail "capital panel not back"

# The password.
key 460 80                                # K
key 0 140                                 # Shift
key 60 20                                 # w
xdotool mousemove $((panel_x + 120 + 25)) $((panel_y + 20 + 25)) mousedown 1
wait_for at "KeyBar_E_small" $bar_x $bar_y || fail "no accent bar for a held e"
sleep 0.1
xdotool mouseup 1
sleep 0.15
visible "KeyBar_E_small" || fail "the bar went away on release"
click $((bar_x + 130)) $((bar_y + 10))    # é (acute, third key)
wait_for hidden "KeyBar_E_small" || fail "the bar stayed after its letter"
key 0 200                                 # 123
wait_for visible "Input Panel Number" || fail "digit panel not shown"
key 360 20                                # 7
ok_key

wait_for log_has "HandleEvents: WaitPassword: Ok." || fail "password not accepted"
[ "$(cat "$count_file" 2>/dev/null)" = 0 ] || fail "the count is not back at 0 after the right entry"
wait_for log_has "HandleEvents: InitialState: Successful." || fail "update not installed"
hidden "Input Panel" && hidden "Input Panel Number" || fail "keyboard still up after the password step"
[ "$(cat "$root/FlashDisk/System/boot.cfg")" = "boot 2.4.1" ] || fail "system folder not updated"
cmp -s "$root/update.exe" "$root/FlashDisk/Corvane/Corvane.exe" || fail "program not updated"
[ ! -e "$root/FlashDisk/Corvane_Installer/Corvane" ] || fail "update folder left behind"

# The installed update cannot run here: a stand-in in its place shows the launch.
printf '#!/bin/sh\necho started > "%s/launched"\n' "$root" >"$root/FlashDisk/Corvane/Corvane.exe"
chmod 755 "$root/FlashDisk/Corvane/Corvane.exe"
mv "$root/USB HD/Corvane_Installer" "$root/pulled-stick"
log=$root/pulled-stick/log.txt
wait_end
[ "$code" = 0 ] || fail "exit code $code"
for _ in $(seq $((250 * factor))); do [ -e "$root/launched" ] && break; sleep 0.02; done
[ -e "$root/launched" ] || fail "installed program not started"
if grep -qF -- "$password" "$log"; then fail "the password reached the log"; fi
starts_with_start_line "$log" || fail "the second run's log does not begin with its start line"

# The third run: 10 wrong entries in a row before it, the longest pause (60 s).
mkdir "$root/USB HD/Corvane_Installer"
log="$root/USB HD/Corvane_Installer/log.txt"
printf '10\n' >"$count_file"
rm -f "$root/launched"
CORVANE_DEVICE_ROOT=$root QT_QPA_PLATFORM=xcb "$installer" >"$root/installer.out" 2>&1 &
app_pid=$!
wait_for log_has "Password refused 10 times in a row before this start: entry closed for 60 s." ||
    fail "the third run did not open paused"
wait_for visible "Input Panel Example" || fail "no password page in the third run"
sleep 0.5
hidden "Input Panel" && hidden "Input Panel Number" || fail "keyboard up during the pause"
# The page's Cancel stands where the keyboard's Cancel key would: 630, 288 of the panel.
xdotool mousemove $((panel_x + 630 + 40)) $((panel_y + 288 + 30)) click 1
wait_for log_has "HandleEvents: WaitPassword: Cancelled." || fail "Cancel during the pause did nothing"
[ "$(cat "$count_file" 2>/dev/null)" = 10 ] || fail "count after Cancel: $(cat "$count_file" 2>&1)"
starts_with_start_line "$log" || fail "the third run's log does not begin with its start line"
mv "$root/USB HD/Corvane_Installer" "$root/pulled-again"
wait_end
[ "$code" = 0 ] || fail "exit code $code after Cancel"
for _ in $(seq $((250 * factor))); do [ -e "$root/launched" ] && break; sleep 0.02; done
[ -e "$root/launched" ] || fail "program not started after Cancel"
echo "PASS: killed entry counted, countdown ${seconds[*]} s read, password typed by real clicks," \
    "update installed, program started, exit code 0; Cancel tapped during a pause at the start," \
    "count kept, program started"
