#!/usr/bin/env bash
# Checks the systemd units as the package installs them: the build is installed into a
# staging root (with the system's own units beside them) and
#  - systemd-analyze verify must accept them without a word, as shipped and with the
#    generator's drop-ins for a device root;
#  - the generator reads the device root as EnvironmentFile= does (quotes, blanks,
#    escapes, comments, "export"), moves the watched stick folder and the services'
#    writable folders below it, and refuses a root it cannot use with a message;
#  - systemd-analyze security rates neither service above its limit.
#   verify-units.sh BUILD_DIR
# Exit code 77 (skipped) when systemd-analyze is missing.
set -euo pipefail
build=${1:?build folder}
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
stage=$(mktemp -d /tmp/corvane-units.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
mkdir -p "$stage/usr/lib/systemd"
cp -r /lib/systemd/system "$stage/usr/lib/systemd/"
units=(corvane-installer.path corvane-installer.service corvane-recover.service)
generator=$stage/lib/systemd/system-generators/corvane-installer-generator
defaults=$stage/etc/default/corvane-installer
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

verify() {
    local out
    out=$(cd "$stage/lib/systemd/system" &&
          systemd-analyze verify --root="$stage" --man=no "${units[@]}" 2>&1) ||
        { fail "($1): $out"; return; }
    [ -z "$out" ] || fail "($1), systemd-analyze warns: $out"
}
verify "as shipped"

# Exposure (0 to 10) above which a service fails. The recovery touches only the flash
# disk and the stick; the installer's limit leaves room for the terminal application
# that it starts and that inherits its sandbox (docs/deployment.md).
for limit in corvane-recover.service:3.0 corvane-installer.service:4.0; do
    unit=${limit%:*} max=${limit#*:}
    report=$(systemd-analyze security --offline=true --threshold="${max/./}" \
             "$stage/lib/systemd/system/$unit" 2>&1) && status=0 || status=$?
    exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
    echo "$unit: exposure ${exposure:-?} (limit $max)"
    [ "$status" = 0 ] && [ -n "$exposure" ] || fail "$unit: exposure ${exposure:-unknown} above $max"
done
# With the example drop-in of a device whose terminal application has a unit of its own.
mkdir -p "$stage/etc/systemd/system/corvane-installer.service.d"
cp "$stage/usr/share/doc/corvane-installer/examples/own-unit.conf" "$stage/etc/systemd/system/corvane-installer.service.d/"
report=$(systemd-analyze security --offline=true --root="$stage" --threshold=20 corvane-installer.service 2>&1) &&
    status=0 || status=$?
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
echo "corvane-installer.service with examples/own-unit.conf: exposure ${exposure:-?} (limit 2.0)"
[ "$status" = 0 ] && [ -n "$exposure" ] || fail "own-unit.conf: exposure ${exposure:-unknown} above 2.0"
verify "with examples/own-unit.conf"
rm -r "$stage/etc/systemd/system/corvane-installer.service.d"

# The example drop-in that confirms an update once the terminal's own unit has run for the
# window, on a stand-in of that unit (systemd-run as the system has it).
cp /usr/bin/systemd-run /bin/sh "$stage/usr/bin/"
printf '[Service]\nExecStart=/usr/bin/sh -c "exec sleep infinity"\n' >"$stage/etc/systemd/system/corvane-terminal.service"
mkdir -p "$stage/etc/systemd/system/corvane-terminal.service.d"
cp "$stage/usr/share/doc/corvane-installer/examples/confirm-update.conf" \
    "$stage/etc/systemd/system/corvane-terminal.service.d/"
out=$(systemd-analyze verify --root="$stage" --man=no corvane-terminal.service 2>&1) ||
    fail "(examples/confirm-update.conf): $out"
[ -z "$out" ] || fail "(examples/confirm-update.conf), systemd-analyze warns: $out"
grep -q '^CORVANE_CONFIRM_SECONDS=[0-9]' "$defaults" ||
    fail "the settings file sets no CORVANE_CONFIRM_SECONDS, which confirm-update.conf needs"
rm -r "$stage/etc/systemd/system/corvane-terminal.service"*

# The generator, one row per settings file: the file (printf format), then the watched
# path it must give, "-" for no drop-in without a word, or "refused: TEXT" for no drop-in
# and TEXT on standard error.
rows=(
    'CORVANE_DEVICE_ROOT="/media/corvane dev/"\n'                 '/media/corvane dev'
    "CORVANE_DEVICE_ROOT='/media/corvane'\\n"                    '/media/corvane'
    '  CORVANE_DEVICE_ROOT =\t/media/x  \n'                       '/media/x'
    'CORVANE_DEVICE_ROOT="/a"b"c" \\\n'                          '/ab"c" '
    'CORVANE_DEVICE_ROOT="/x\\$y\\z"  w  \n'                       '/x$y\zw'
    'CORVANE_DEVICE_ROOT=/a\\ \n'                                 '/a '
    'CORVANE_DEVICE_ROOT=/x # no comment here\n'                  '/x # no comment here'
    'CORVANE_DEVICE_ROOT="/p%%c\\\\d\\"q"\n'                      '/p%%c\d"q'
    'CORVANE_DEVICE_ROOT=//srv//./x/\r\n'                         '/srv/x'
    'CORVANE_DEVICE_ROOT=/first\nCORVANE_DEVICE_ROOT=/last\n'     '/last'
    'CORVANE_DEVICE_ROOT=/kept\nexport CORVANE_DEVICE_ROOT=/no\n' '/kept'
    '# CORVANE_DEVICE_ROOT=/a \\\nCORVANE_DEVICE_ROOT=/b\n'      '-'
    '; CORVANE_DEVICE_ROOT=/a\n'                                  '-'
    'CORVANE_DEVICE_ROOT=\n'                                      '-'
    'CORVANE_DEVICE_ROOT=/\n'                                     '-'
    'export CORVANE_DEVICE_ROOT=/media/x\n'                       'refused: is ignored by the services'
    'CORVANE_DEVICE_ROOT=media/corvane\n'                         'refused: is not an absolute path'
    "CORVANE_DEVICE_ROOT='./dev'\\n"                              'refused: is not an absolute path'
    'CORVANE_DEVICE_ROOT=/media/../etc\n'                         'refused: holds ".."'
    'CORVANE_DEVICE_ROOT="/a\nb"\n'                               'refused: holds a control character'
    'CORVANE_DEVICE_ROOT=/m\xe9dia\n'                             'refused: is not UTF-8'
    'CORVANE_DEVICE_ROOT=/tmp/device\n'                           'refused: lies in a temporary folder'
    'CORVANE_DEVICE_ROOT=/proc/1/root\n'                          'refused: lies in a kernel file system'
    "CORVANE_DEVICE_ROOT=/media/$(printf "%0255d" 0)\\n"           "/media/$(printf "%0255d" 0)"
    "CORVANE_DEVICE_ROOT=/media/$(printf "%0256d" 0)/x\\n"         'refused: holds a name longer than 255 bytes'
    "CORVANE_DEVICE_ROOT=/$(printf "%0200d/" $(seq 19))$(printf "%0250d" 0)\\n" "/$(printf "%0200d/" $(seq 19))$(printf "%0250d" 0)"
    "CORVANE_DEVICE_ROOT=/$(printf "%0200d/" $(seq 19))$(printf "%0251d" 0)\\n" 'refused: is too long: the stick folder'
)
out=$stage/generated
for ((i = 0; i < ${#rows[@]}; i += 2)); do
    settings=${rows[i]} expected=${rows[i + 1]}
    # shellcheck disable=SC2059
    printf "$settings" >"$defaults"
    rm -rf "$out"
    errors=$(CORVANE_INSTALLER_DEFAULTS=$defaults "$generator" "$out" 2>&1) && status=0 || status=$?
    path=$(sed -n 's/^PathExists=\(.\)/\1/p' "$out/corvane-installer.path.d/device-root.conf" 2>/dev/null || true)
    row="row $((i / 2 + 1)) ($settings)"
    case $expected in
        -)
            [ "$status" = 0 ] && [ ! -e "$out" ] && [ -z "$errors" ] ||
                fail "$row: expected nothing, got exit $status, '$path', '$errors'" ;;
        refused:*)
            [ ! -e "$out" ] && grep -qF "${expected#refused: }" <<<"$errors" ||
                fail "$row: expected refusal '${expected#refused: }', got exit $status, '$path', '$errors'" ;;
        *)
            [ "$status" = 0 ] && [ "$path" = "$expected/USB HD/Corvane_Installer" ] &&
                grep -q '^ReadWritePaths="-.*/FlashDisk" "-.*/USB HD"$' \
                    "$out/corvane-installer.service.d/device-root.conf" &&
                cmp -s "$out/corvane-installer.service.d/device-root.conf" \
                       "$out/corvane-recover.service.d/device-root.conf" ||
                fail "$row: expected '$expected', got exit $status, '$path', '$errors'" ;;
    esac
done

# The drop-ins of a root with blanks, "%", a backslash and a quote, as systemd reads them.
for root in '"/media/corvane dev/"' "/$(printf "%0200d/" $(seq 19))$(printf "%0250d" 0)" \
    '"/p%%c\\\\d\\"q"'; do
    printf "QT_QPA_PLATFORM=linuxfb\nCORVANE_DEVICE_ROOT=$root\n" >"$defaults"
    rm -rf "$stage/etc/systemd/system"
    CORVANE_INSTALLER_DEFAULTS=$defaults "$generator" "$stage/etc/systemd/system"
    verify "with the device root $root"
done
# The last one's quoted paths: "%" doubled, the backslash and the quote escaped.
grep -qxF 'ReadWritePaths="-/p%%c\\d\"q/FlashDisk" "-/p%%c\\d\"q/USB HD"' \
    "$stage/etc/systemd/system/corvane-recover.service.d/device-root.conf" ||
    fail "quoted paths: $(cat "$stage/etc/systemd/system/corvane-recover.service.d/device-root.conf")"

[ "$failures" = 0 ] || { echo "$failures checks failed"; exit 1; }
echo "PASS: ${units[*]} verified, with and without a device root; $((${#rows[@]} / 2)) settings files read by the generator; exposure within the limits"
