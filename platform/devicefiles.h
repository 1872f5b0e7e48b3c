#pragma once
// Where things are on the device: every device path, file name and connection name the
// installer uses, spelled once. Paths are device paths; devicePath() maps them onto the
// host. Plain character arrays, so that code running while static objects are destroyed
// (the log handler at exit) can still use them.

namespace corvane::device {

// The USB stick's folder: it receives the log, and its disappearance ends the run.
inline constexpr char stickFolder[] = "/USB HD/Corvane_Installer";
inline constexpr char logFileName[] = "log.txt";

// The update waiting on the flash disk, and what it is installed over. Its folders are
// reached by their names in the update's top folder (updateFolder).
inline constexpr char updateFolder[] = "/FlashDisk/Corvane_Installer";
inline constexpr char updateSystemName[] = "System";
inline constexpr char updateAppName[] = "Corvane";
inline constexpr char updateAppExecutableName[] = "Corvane.exe";
inline constexpr char updateSystemFolder[] = "/FlashDisk/Corvane_Installer/System";
inline constexpr char updateAppFolder[] = "/FlashDisk/Corvane_Installer/Corvane";
inline constexpr char systemFolder[] = "/FlashDisk/System";
inline constexpr char appFolder[] = "/FlashDisk/Corvane";
inline constexpr char appExecutable[] = "/FlashDisk/Corvane/Corvane.exe";
inline constexpr char backupFolder[] = "/FlashDisk/Corvane_Backup";
// The update's signed list beside its two folders, the list's minisign signature, and
// the public keys it may be signed with (one file per key; none: updates install unsigned).
inline constexpr char updateManifest[] = "/FlashDisk/Corvane_Installer/update.manifest";
inline constexpr char updateManifestSignature[]
    = "/FlashDisk/Corvane_Installer/update.manifest.minisig";
inline constexpr char trustedKeysFolder[] = "/etc/corvane-installer/trusted-keys";
// The installed application's list folders, cleared before an installation.
inline constexpr char appListFolder[] = "/FlashDisk/Corvane/list";
inline constexpr char appRemoteCommandFolder[] = "/FlashDisk/Corvane/remotecmd";
inline constexpr char appSystemListFolder[] = "/FlashDisk/Corvane/system";

// An installation's staging folder, journal and the one-installer lock, on the flash
// disk beside the folders it installs into.
inline constexpr char installWorkFolder[] = "/FlashDisk/.corvane-install";
inline constexpr char installLockName[] = "lock";
// In the work folder: the version of the last signed installation (an older signed update
// is refused).
inline constexpr char installedVersionName[] = "installed-version";
// The count of wrong entries in a row at the password step, in the same folder: only
// the installer can write there, and the count must outlive restarts and power cuts.
inline constexpr char wrongEntryCountName[] = "wrong-entries";

// The databases the password step reads, and the connections it reads them through.
inline constexpr char sqlDriver[] = "QSQLITE";
inline constexpr char adminDatabase[] = "/FlashDisk/Corvane/data/Administrator_setting.db";
inline constexpr char adminConnection[] = "Administrator_setting";
inline constexpr char systemDatabase[] = "/FlashDisk/Vane_System/system.db";
inline constexpr char systemConnection[] = "system";

} // namespace corvane::device
