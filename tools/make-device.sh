#!/usr/bin/env bash
# Lays out a simulated device under ROOT, for the demo and the tests:
#   FlashDisk/Corvane              installed terminal application with list files
#   FlashDisk/System               installed system folder
#   FlashDisk/Corvane_Backup       backup of both folders
#   FlashDisk/Corvane_Installer    the update waiting to be installed
#   USB HD/Corvane_Installer       the stick folder that receives the log
#
#   make-device.sh ROOT [options]
#     --no-update            no update waits on the flash disk
#     --update-version V     product version of the update's executable (2.4.1)
#     --launcher             the installed Corvane.exe is a script that, when started,
#                            writes ROOT/launched (only sensible with --no-update, as
#                            an update replaces it)
#     --big-file MB          add a file of MB megabytes to the update's application
#                            folder (Corvane/media/intro.mpg; it is moved, not copied)
#     --big-system-file MB   add a file of MB megabytes to the update's system folder
#                            (System/media/boot.img; it is copied)
#     --no-stick             leave out the stick folder
#     --password PW          store PW, encrypted, as the administrator password
#                            (FlashDisk/Corvane/data/Administrator_setting.db, table user, id 3)
#     --stored-value TEXT    store TEXT as it stands in place of an encrypted password
#     --serial S             system database with the newest sensor serial number S
#                            (FlashDisk/Vane_System/system.db, table sensor)
#     --encrypt-tool PATH    the corvane-encrypt program (default: build/tools/corvane-encrypt)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }
[ $# -ge 1 ] || { usage; exit 2; }
root=$1; shift
update=1 version=2.4.1 launcher=0 big=0 big_system=0 stick=1
password= stored= serial= has_stored=0 has_serial=0
encrypt=${CORVANE_ENCRYPT_TOOL:-$here/../build/tools/corvane-encrypt}
while [ $# -gt 0 ]; do
    case $1 in
        --no-update) update=0; shift ;;
        --update-version) version=$2; shift 2 ;;
        --launcher) launcher=1; shift ;;
        --big-file) big=$2; shift 2 ;;
        --big-system-file) big_system=$2; shift 2 ;;
        --no-stick) stick=0; shift ;;
        --password) password=$2; has_stored=1; shift 2 ;;
        --stored-value) stored=$2; has_stored=1; shift 2 ;;
        --serial) serial=$2; has_serial=1; shift 2 ;;
        --encrypt-tool) encrypt=$2; shift 2 ;;
        *) echo "make-device.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

fd=$root/FlashDisk
mkdir -p "$fd"
put() { mkdir -p "$(dirname "$1")"; printf '%s\n' "$2" > "$1"; }

# Installed terminal application.
app=$fd/Corvane
if [ $launcher = 1 ]; then
    put "$app/Corvane.exe" "#!/bin/sh
echo \"started \$\$\" > '$root/launched'"
    chmod 755 "$app/Corvane.exe"
else
    "$here/make-pe.sh" "$app/Corvane.exe" --version 2.3.0
fi
put "$app/list/articles.xml" "<articles/>"
put "$app/list/customers.xml" "<customers/>"
put "$app/list/index.dat" "index"
put "$app/remotecmd/pending.xml" "<commands/>"
put "$app/remotecmd/remotecmd.log" "remote command log"
put "$app/system/terminal.xml" "<terminal/>"
put "$app/system/display.xml" "<display/>"
put "$app/system/calibration.dat" "calibration"
put "$app/lang/de.qm" "old german texts"
put "$app/readme.txt" "Corvane 2.3.0"

# Installed system folder.
put "$fd/System/boot.cfg" "boot 2.3.0"
put "$fd/System/drivers/touch.dll" "touch driver 2.3.0"
put "$fd/System/keep.cfg" "device-specific, not in the update"

# Backup of both folders.
put "$fd/Corvane_Backup/System/boot.cfg" "boot 2.2.0"
put "$fd/Corvane_Backup/System/NOTES" "backup notes"
put "$fd/Corvane_Backup/Corvane/Corvane.exe.bak" "old program"
put "$fd/Corvane_Backup/Corvane/system/terminal.xml" "<terminal/>"
put "$fd/Corvane_Backup/Corvane/README" "backup readme"

# The update.
if [ $update = 1 ]; then
    upd=$fd/Corvane_Installer
    put "$upd/System/boot.cfg" "boot $version"
    put "$upd/System/drivers/touch.dll" "touch driver $version"
    put "$upd/System/fonts/arial.ttf" "font"
    "$here/make-pe.sh" "$upd/Corvane/Corvane.exe" --version "$version"
    put "$upd/Corvane/lang/de.qm" "german texts $version"
    put "$upd/Corvane/lang/fr.qm" "french texts $version"
    put "$upd/Corvane/readme.txt" "Corvane $version"
    put "$upd/Corvane/list/articles.xml" "<articles version='$version'/>"
    put "$upd/Corvane/remotecmd/template.xml" "<commands/>"
    put "$upd/Corvane/system/terminal.xml" "<terminal version='$version'/>"
    put "$upd/Corvane/system/layout.dat" "layout $version"
    printf '#!/bin/sh\necho service\n' > "$upd/Corvane/service.sh"
    chmod 755 "$upd/Corvane/service.sh"
    if [ "$big" != 0 ]; then
        mkdir -p "$upd/Corvane/media"
        head -c "$((big * 1024 * 1024))" /dev/zero > "$upd/Corvane/media/intro.mpg"
    fi
    if [ "$big_system" != 0 ]; then
        mkdir -p "$upd/System/media"
        head -c "$((big_system * 1024 * 1024))" /dev/zero > "$upd/System/media/boot.img"
    fi
fi

sql_text() { printf "'%s'" "${1//\'/\'\'}"; }
if [ $has_stored = 1 ]; then
    if [ -n "$password" ]; then
        stored=$(printf '%s\n' "$password" | "$encrypt")
    fi
    mkdir -p "$app/data"
    sqlite3 "$app/data/Administrator_setting.db" <<SQL
create table user (id integer primary key, name text, value text);
insert into user values (1, 'Operator', 'x');
insert into user values (3, 'Administrator', $(sql_text "$stored"));
SQL
fi
if [ $has_serial = 1 ]; then
    mkdir -p "$fd/Vane_System"
    sqlite3 "$fd/Vane_System/system.db" <<SQL
create table sensor (nr integer, number text);
insert into sensor values (1, '0000001');
insert into sensor values (7, $(sql_text "$serial"));
insert into sensor values (2, '0000002');
SQL
fi

[ $stick = 1 ] && mkdir -p "$root/USB HD/Corvane_Installer"
exit 0
