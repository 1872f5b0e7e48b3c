#include "fileinstaller.h"

#include "devicefiles.h"
#include "posixfs.h"
#include "treeremoval.h"
#include "versioninfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

#include <sys/stat.h>

#include <vector>

namespace device = corvane::device;

namespace {
constexpr int kStickPollMs = 100;
// The lists of the terminal application, cleared in the installed application and in the
// update before an installation: the application builds them anew.
const QString kListFolder = QStringLiteral("list");
const QString kRemoteCommandFolder = QStringLiteral("remotecmd");
const QString kSystemListFolder = QStringLiteral("system");
const QString kListFiles = QStringLiteral("*.xml");
} // namespace

FileInstaller::FileInstaller(QObject *parent, const corvane::DeviceRoot &root)
    : QObject(parent)
    , updateSystemDir(QLatin1String(device::updateSystemFolder))
    , systemDir(QLatin1String(device::systemFolder))
    , updateAppDir(QLatin1String(device::updateAppFolder))
    , appDir(QLatin1String(device::appFolder))
    , backupDir(QLatin1String(device::backupFolder))
    , backupSystemDir(backupDir + QStringLiteral("/System"))
    , backupAppDir(backupDir + QStringLiteral("/Corvane"))
    , appExe(QLatin1String(device::appExecutable))
    , updateAppExe(updateAppDir + QStringLiteral("/Corvane.exe"))
    , m_root(root)
    , m_work(root.path(device::installWorkFolder))
{
}

bool FileInstaller::isUpdateAvailable()
{
    const bool system = fileUtils.dirExists(m_root.path(updateSystemDir));
    const bool app = fileUtils.dirExists(m_root.path(updateAppDir));
    // A link in place of an update folder leads elsewhere: nothing there is an update,
    // and its clean-up would reach into whatever the link points to.
    bool linked = false;
    for (const QString &folder : {updateSystemDir, updateAppDir}) {
        if (corvane::pathKind(QFile::encodeName(m_root.path(folder))) == corvane::PathKind::Link) {
            qDebug() << "Update folder is a link, not installed:" << m_root.path(folder);
            linked = true;
        }
    }
    return system && app && !linked;
}

QString FileInstaller::updateVersion()
{
    return readProductVersion(m_root.path(updateAppExe));
}

bool FileInstaller::installUpdate()
{
    qDebug() << "Starting update...";
    // On the screen while the update is checked and staged; in the log where it always
    // stood, after the clean-up.
    writeLine(QStringLiteral("Installing update to Corvane..."));

    // Both folders are one transaction: either all of the update is installed or nothing
    // installed changes. (The program opens the work folder at its start, before it takes
    // the lock; whoever else installs gets it opened here.)
    openWorkFolder();
    UpdateTransaction update(m_work, &m_oldFiles);
    update.checkSignedList({m_root.path(device::updateManifest),
                            m_root.path(device::updateManifestSignature),
                            m_root.path(device::trustedKeysFolder)});
    update.addTree(m_root.path(updateSystemDir), m_root.path(systemDir),
                   UpdateTransaction::Source::Copy, "System");
    // The update's application folder is removed after every run, so its files can become
    // the installed ones without their data being written again. Its lists are removed
    // by the clean-up below, so they are not installed.
    update.addTree(m_root.path(updateAppDir), m_root.path(appDir), UpdateTransaction::Source::Link,
                   "Corvane", &clearedFromUpdate);
    qint64 reported = -1;
    qint64 total = 0;
    const auto progress = [this, &reported, &total](const UpdateProgress &p) {
        // The last byte waits until the update is in place: a full bar means installed, so
        // a failed update never shows one, not even for the moment its failure line is
        // painted after a switch that was undone.
        total = p.bytesTotal;
        const qint64 done = qMin(p.bytesDone, p.bytesTotal - 1);
        if (done <= reported)
            return;
        reported = done;
        emit notifyProgress(done, p.bytesTotal);
    };
    // Everything that can be checked without changing anything comes first (the signed
    // list, the plan, the space, the staged bytes): an update that cannot be installed
    // deletes nothing, neither lists nor backups.
    const bool prepared = update.prepare(progress);
    bool status = prepared;

    if (prepared && applicationExists()) {
        status &= fileUtils.removeDir(m_root.path(device::appListFolder));
        status &= removeFiles(m_root.path(device::appRemoteCommandFolder), kListFiles);
        status &= removeFiles(m_root.path(device::appSystemListFolder), kListFiles);
        qDebug() << "Clear available xmlFiles: " << status;
    }

    if (prepared) {
        status &= fileUtils.removeDir(m_root.path(updateAppDir + QLatin1Char('/') + kListFolder));
        for (const QString &folder : {kRemoteCommandFolder, kSystemListFolder})
            status
                &= removeFiles(m_root.path(updateAppDir + QLatin1Char('/') + folder), kListFiles);
        qDebug() << "Clear installer xmlFiles: " << status;
    }

    if (prepared && backupExists()) {
        status &= removeFiles(m_root.path(backupDir), QStringLiteral("*.*"));
        qDebug() << "Clear Backup: " << status;
    }
    const bool cleared = status;

    qDebug() << "Installing update to Corvane...";
    const bool installed = prepared && update.commit();
    status &= installed;
    if (installed)
        emit notifyProgress(total, total);
    else
        report(update.failure().kind, update.failure());
    if (!cleared && prepared)
        report(RunTrouble::CleanUp);

    qDebug() << "Status: " << status;
    return status;
}

bool FileInstaller::clearedFromUpdate(const QByteArray &path, unsigned mode)
{
    // As the clean-up removes them: the list folder (or a link in its place), and the
    // list files (not folders) anywhere below the two folders of lists.
    if (path == QFile::encodeName(kListFolder))
        return S_ISDIR(mode) || S_ISLNK(mode);
    if (S_ISDIR(mode))
        return false;
    for (const QString &folder : {kRemoteCommandFolder, kSystemListFolder}) {
        if (path.startsWith(QFile::encodeName(folder) + '/'))
            return corvane::matchesWildcard(path.mid(path.lastIndexOf('/') + 1),
                                            QFile::encodeName(kListFiles));
    }
    return false;
}

void FileInstaller::report(const FailureReason &reason, const UpdateTransaction::Failure &failure)
{
    qDebug().noquote() << failureLogLine(reason, failure);
    writeLine(failureScreenLine(reason, failure));
}

bool FileInstaller::openWorkFolder()
{
    return m_work.isOpen() || m_work.open();
}

bool FileInstaller::recoverInterruptedInstallation(bool reportNothingToDo)
{
    if (!openWorkFolder()) {
        qDebug() << "Recovery: the installer's work folder cannot be used.";
        return false;
    }
    UpdateTransaction::Failure why;
    switch (
        UpdateTransaction::recover(m_work, {m_root.path(systemDir), m_root.path(appDir)}, &why)) {
    case UpdateTransaction::Recovery::NothingToDo:
        if (reportNothingToDo)
            qDebug() << "Recovery: no interrupted installation.";
        return true;
    case UpdateTransaction::Recovery::LeftoversRemoved:
        qDebug() << "Recovery: removed the staged files of an unfinished installation; the "
                    "installed folders are unchanged.";
        return true;
    case UpdateTransaction::Recovery::OldFilesRemoved:
        // A removal the last run could not finish (or that a power cut cut short): that
        // update is installed, only the files it replaced were still there.
        qDebug() << "Recovery: removed the replaced files of the last update.";
        return true;
    case UpdateTransaction::Recovery::LeftoversStay:
        qDebug().noquote() << failureLogLine(RunTrouble::LastInstallationLeftovers, why);
        m_recoveryTrouble = failureScreenLine(RunTrouble::LastInstallationLeftovers, why);
        return true;
    case UpdateTransaction::Recovery::Completed:
        qDebug() << "Recovery: completed an interrupted installation.";
        return true;
    case UpdateTransaction::Recovery::RolledBack:
        qDebug() << "Recovery: rolled back an interrupted installation; the installed folders are "
                    "as before it.";
        return true;
    case UpdateTransaction::Recovery::Failed:
        break;
    }
    qDebug().noquote() << failureLogLine(RunTrouble::LastInstallationUnsettled, why);
    m_recoveryTrouble = failureScreenLine(RunTrouble::LastInstallationUnsettled, why);
    return false;
}

bool FileInstaller::removeInstallerDirectory()
{
    const bool result = fileUtils.removeDir(m_root.path(updateAppDir));
    qDebug() << "delete installer directory " << result;
    return result;
}

void FileInstaller::startStickWatch()
{
    connect(&stickTimer, &QTimer::timeout, this, &FileInstaller::onTimerTimeout,
            Qt::UniqueConnection);
    m_stickWatched = true;
    stickTimer.start(kStickPollMs);
    // The first look right away, so that a stick pulled before the result screen costs no
    // poll interval; from the event loop, not from here, as the caller is still handling
    // the event that started the watch.
    QTimer::singleShot(0, this, &FileInstaller::onTimerTimeout);
}

void FileInstaller::startApplication()
{
    // The application starts with the old files of the update gone and their space free.
    finishCleanUp();
    startProcess(m_root.path(appExe));
}

void FileInstaller::finishCleanUp()
{
    m_oldFiles.wait();
}

void FileInstaller::onTimerTimeout()
{
    if (!m_stickWatched)
        return;
    if (fileUtils.dirExists(m_root.path(device::stickFolder))) {
        stickTimer.start(kStickPollMs);
        return;
    }
    m_stickWatched = false;
    stickTimer.stop();
    // The run ends only after the removal of the old files has reported (well under a
    // second): what it could not remove is logged before the application starts.
    finishCleanUp();
    qDebug() << "Stick removed signal";
    emit notifyStickRemoved();
}

bool FileInstaller::applicationExists()
{
    return fileUtils.fileExists(m_root.path(appExe));
}

bool FileInstaller::backupExists()
{
    const bool system = fileUtils.dirExists(m_root.path(backupSystemDir));
    const bool app = fileUtils.dirExists(m_root.path(backupAppDir));
    return system && app;
}

bool FileInstaller::removeFiles(const QString &folder, const QString &nameFilter)
{
    // Walked and matched as the file system's bytes, so names that are not UTF-8 are
    // found and removed like any other. No link is followed, not even one in place of
    // the folder: a list folder that leads out of the update clears nothing outside it.
    // Only files (and links) are candidates: folders match "*.*" too, but they stay,
    // and so does the structure below the folder. Every attempt counts: one failed
    // removal makes the whole result false.
    return corvane::removeMatching(
        QFile::encodeName(QDir(folder).absolutePath()), QFile::encodeName(nameFilter),
        [](const QByteArray &path, int error) {
            // Names as their own bytes; only bytes that are not text become escapes.
            qDebug().noquote() << (error == 0 ? "removed file: " : "error - removed file: ")
                               << corvane::quotedForLog(path);
        });
}

void FileInstaller::startProcess(const QString &program)
{
    // Detached: the terminal application must outlive the installer, which quits
    // right after this call.
    if (!QProcess::startDetached(program, QStringList())) {
        // The installer still ends. The stick is usually gone by now, so the line goes to
        // the standard error too: the service's journal keeps why the screen stays dark.
        const QString line = QStringLiteral("The application %1 could not be started: it is "
                                            "missing or cannot be run.")
                                 .arg(corvane::quotedForLog(QFile::encodeName(program)));
        qDebug().noquote() << line;
        std::fprintf(stderr, "%s\n", qPrintable(line));
    }
}

void FileInstaller::writeLine(const QString &text)
{
    emit NotifyWriteLine(text);
}

QString FileInstaller::readProductVersion(const QString &path)
{
    using namespace winver;
    constexpr int kCapacity = 260;
    wchar_t fileName[kCapacity + 1] = {};

    if (path.isEmpty()) {
        if (GetModuleFileName(nullptr, fileName, kCapacity) == 0) {
            qDebug("GetModuleFileName failed with error %d\n", int(GetLastError()));
            return QString();
        }
    } else if (path.size() > kCapacity) {
        // Does not fit the buffer: refused like the platform refuses an over-long name.
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        qDebug("GetFileVersionInfoSize failed with error %d\n", int(GetLastError()));
        return QString();
    } else {
        path.toWCharArray(fileName);
    }

    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSize(fileName, &handle);
    if (size == 0) {
        qDebug("GetFileVersionInfoSize failed with error %d\n", int(GetLastError()));
        return QString();
    }

    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfo(fileName, 0, size, block.data())) {
        qDebug("GetFileVersionInfo failed with error %d\n", int(GetLastError()));
        return QString();
    }

    void *name = nullptr;
    void *version = nullptr;
    UINT nameLength = 0;
    UINT versionLength = 0;
    if (VerQueryValue(block.data(), L"\\StringFileInfo\\080704b0\\ProductName", &name, &nameLength)
        && VerQueryValue(block.data(), L"\\StringFileInfo\\080704b0\\ProductVersion", &version,
                         &versionLength)) {
        return QString::fromUtf16(static_cast<const char16_t *>(version));
    }
    qDebug("Can't obtain ProductName and ProductVersion from resources\n");
    return QString();
}
