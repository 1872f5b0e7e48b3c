#!/usr/bin/env bash
# Checks the systemd units as the package installs them: the build is installed into a
# staging root (with the system's own units beside them) and systemd-analyze verify must
# accept them without a word, once as shipped and once with a device root set in the
# settings file (the generator's drop-in for the path unit).
#   verify-units.sh BUILD_DIR
# Exit code 77 (skipped) when systemd-analyze is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?build folder}
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
stage=$(mktemp -d /tmp/corvane-units.XXXXXX)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
mkdir -p "$stage/usr/lib/systemd"
cp -r /lib/systemd/system "$stage/usr/lib/systemd/"
units=(corvane-installer.path corvane-installer.service corvane-recover.service)

verify() {
    local out
    out=$(cd "$stage/lib/systemd/system" &&
          systemd-analyze verify --root="$stage" --man=no "${units[@]}" 2>&1) ||
        { echo "FAIL ($1): $out"; exit 1; }
    [ -z "$out" ] || { echo "FAIL ($1), systemd-analyze warns: $out"; exit 1; }
}
verify "as shipped"

# A device root in the settings file moves the watched stick folder below it.
printf 'QT_QPA_PLATFORM=linuxfb\nCORVANE_DEVICE_ROOT="/media/corvane dev/"\n' \
    >"$stage/etc/default/corvane-installer"
CORVANE_INSTALLER_DEFAULTS=$stage/etc/default/corvane-installer \
    "$stage/lib/systemd/system-generators/corvane-installer-generator" "$stage/etc/systemd/system"
dropin=$stage/etc/systemd/system/corvane-installer.path.d/device-root.conf
grep -qxF 'PathExists=/media/corvane dev/USB HD/Corvane_Installer' "$dropin" ||
    { echo "FAIL: generator wrote: $(cat "$dropin" 2>/dev/null)"; exit 1; }
verify "with a device root"
echo "PASS: ${units[*]} verified, with and without a device root"
