#pragma once
// Shared test helpers: a simulated device laid out by tools/make-device.sh in a
// temporary folder (handed to the code under test as its DeviceRoot), and access to
// the log file the program writes on its stick.

#include "devicepath.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QProcess;

class DeviceTree
{
public:
    // Lays out a device with tools/make-device.sh and the given options
    // (for example {"--no-update"}). ok() tells whether that worked.
    explicit DeviceTree(const QStringList &options = {});
    ~DeviceTree();

    // At its end, when a run of the installer was started on it (noteRunOn) and the test
    // has not failed otherwise, the lines the installer wrote to the stick's log (after any
    // the test put there itself) must begin with "Installer started at ": the start line
    // comes before everything a run logs, its start-up checks included.
    bool ok() const { return m_ok; }
    QString root() const { return m_dir.path(); }
    corvane::DeviceRoot device() const { return corvane::DeviceRoot(root()); }
    QString errorText() const { return m_error; }

    // Host path of a device path such as "/FlashDisk/Corvane".
    QString path(const QString &devicePath) const;
    bool exists(const QString &devicePath) const;
    QByteArray read(const QString &devicePath) const;
    bool write(const QString &devicePath, const QByteArray &content) const;

    // Lines of "/USB HD/Corvane_Installer/log.txt", without their line feeds.
    QStringList logLines() const;
    QString logPath() const;

    // Simulates pulling the stick: its folder disappears (the log is kept aside).
    bool pullStick() const;
    QString pulledLogPath() const;

    // installLeftovers() of the device's installation work folder.
    QStringList leftovers() const;

    // Relative paths of every entry below a device folder, sorted.
    QStringList listTree(const QString &devicePath) const;

private:
    void checkStartLine() const;

    QTemporaryDir m_dir;
    bool m_ok = false;
    QString m_error;
    mutable int m_seededLogLines = 0; // written into the log by the test itself
};

// A run of the installer (the program, or a whole run in the test program) was started
// on the simulated device at root: its log is checked when the DeviceTree ends.
// startInstaller and WholeRun say so themselves.
void noteRunOn(const QString &root);

// Host path of a device path (corvane::device::...) on the simulated device at root.
QString onDevice(const QString &root, const char *devicePath);
// Host path of the log file on the simulated stick at root.
QString logFileOn(const QString &root);

// Writes a file (its folders made when missing); false when it could not.
bool put(const QString &path, const QByteArray &content);
// A file's content, or "<missing>".
QByteArray get(const QString &path);

// A file's content as a hex SHA-1, or "unreadable".
QByteArray contentHash(const QString &path);

// Everything an installed folder holds, by relative path: the kind, permissions and
// modification time of each entry, a file's size and content hash, a link's target.
QMap<QString, QByteArray> fingerprint(const QString &folder);

// What an installation left in its work folder besides its lock (staged files, old
// files, a journal); empty after every finished or undone run.
QStringList installLeftovers(const QString &workFolder);

// Runs a helper script of tools/ and returns its exit code (-1 when it could not start).
int runTool(const QString &script, const QStringList &arguments, QString *output = nullptr);

// Builds a PE executable with tools/make-pe.sh.
bool makePe(const QString &out, const QStringList &options);

// The installer program built with the tests (under emulation, the script that starts
// it); a test may point it at another build.
QString &installerProgram();

// The confirmation window a started installer gets (CORVANE_CONFIRM_SECONDS): "0" unless a
// test sets it, so that every run behaves as it did before updates were held back.
QString &confirmSeconds();

// Starts the installer program on the simulated device at root, on the given Qt
// platform (without a display for anything else than offscreen), optionally under a
// wrapper such as strace and its options. The caller sets the output channels first.
void startInstaller(QProcess &process, const QString &root, const QStringList &arguments = {},
                    const QStringList &wrapper = {},
                    const QString &platform = QStringLiteral("offscreen"));

// One whole run inside the test program, wired as the shell wires it: the window, the
// file installer and the view manager, with the buttons and the stick removal
// connected. With CancelPasswordPage a password page is cancelled as soon as it shows
// (pageShown remembers that it did).
struct WholeRun
{
    enum PasswordPage { WaitOnPasswordPage, CancelPasswordPage };
    explicit WholeRun(const DeviceTree &device, PasswordPage page = WaitOnPasswordPage);

    // Starts as the program does: the start line, the recovery of an interrupted
    // installation, then the view manager's start-up (the whole run up to the result).
    void start();

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager{nullptr, &view, &installer};
    bool pageShown = false;

    QString title() const;
    QString question() const;
    QStringList output() const;
};

// Installs the program's log handler for the life of the object, writing to the stick
// of the given device (none: messages are only kept). Every message is also kept in
// memory, so lines that the log file cannot receive (stick pulled) can still be checked.
class LogToDevice
{
public:
    LogToDevice();
    explicit LogToDevice(const DeviceTree &device);
    ~LogToDevice();
    static QStringList messages();
};

// Collects every Qt message of the test program while it lives (and passes none on).
class MessageLog
{
public:
    MessageLog();
    ~MessageLog();
    QStringList debugLines() const { return m_debug; }
    QStringList allLines() const { return m_all; }
    QStringList lines() const { return m_all; }
    QStringList matching(const QString &part) const { return m_all.filter(part); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message);
    static MessageLog *s_current;
    QtMessageHandler m_previous = nullptr;
    QStringList m_debug;
    QStringList m_all;
};

// Log lines without the platform plugin's own notices, which depend on the platform.
QStringList withoutPlatformNoise(const QStringList &lines);

// Sets or clears the immutable attribute (chattr), which even root cannot get past:
// the way tests make a removal or a replacement fail. False when the file system
// does not support it.
bool setImmutable(const QString &path, bool immutable);

// Drops the right of root to read any file, for the calling thread, while it lives.
class WithoutReadOverride
{
public:
    WithoutReadOverride();
    ~WithoutReadOverride();
    WithoutReadOverride(const WithoutReadOverride &) = delete;
    WithoutReadOverride &operator=(const WithoutReadOverride &) = delete;
    bool ok() const { return m_ok; }

private:
    quint32 m_saved[6] = {}; // the capability sets as read, restored at the end
    bool m_ok = false;
};

// A small memory file system mounted over a folder for the life of the object.
class SmallDisk
{
public:
    SmallDisk() = default;
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    // False where this machine does not allow the mount.
    bool mount(const QString &folder, const char *size);

private:
    QByteArray m_folder;
    bool m_mounted = false;
};

// Throw-away maker's keys made by minisign, to trust on a simulated device and to sign
// update lists with, as a maker does.
class SigningKeys
{
public:
    // Makes the key pairs of the given names; false without minisign.
    bool make(const QStringList &names);
    QString publicKey(const QString &name) const;
    // Signs folder/update.manifest with the key of that name.
    bool sign(const QString &folder, const QString &name) const;

private:
    QTemporaryDir m_dir;
};

// Writes the list of an update folder (System and Corvane below it) into
// folder/update.manifest, as the maker's tool does.
bool writeUpdateList(const QString &folder, const QByteArray &version);

// Runs a shell script (sh -e) in a folder with the given extra environment; its exit
// code, or -1 when it did not end within 30 s.
int runShell(const QString &folder, const QString &script, const QStringList &environment = {});

// How many descriptors the test process has open (/proc/self/fd), or -1 when that
// cannot be listed: a unit that closes what it was handed leaves the count as it was.
int openDescriptorCount();
