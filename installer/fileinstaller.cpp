#include "fileinstaller.h"

#include "devicepath.h"
#include "treeremoval.h"
#include "versioninfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <vector>

using corvane::devicePath;

namespace {
const QString kStickDir = QStringLiteral("/USB HD/Corvane_Installer");
constexpr int kStickPollMs = 100;
}

FileInstaller::FileInstaller(QObject *parent)
    : QObject(parent)
    , updateSystemDir(QStringLiteral("/FlashDisk/Corvane_Installer/System"))
    , systemDir(QStringLiteral("/FlashDisk/System"))
    , updateAppDir(QStringLiteral("/FlashDisk/Corvane_Installer/Corvane"))
    , appDir(QStringLiteral("/FlashDisk/Corvane"))
    , backupDir(QStringLiteral("/FlashDisk/Corvane_Backup"))
    , backupSystemDir(backupDir + QStringLiteral("/System"))
    , backupAppDir(backupDir + QStringLiteral("/Corvane"))
    , appExe(QStringLiteral("/FlashDisk/Corvane/Corvane.exe"))
    , updateAppExe(updateAppDir + QStringLiteral("/Corvane.exe"))
{
}

bool FileInstaller::isUpdateAvailable()
{
    const bool system = fileUtils.dirExists(devicePath(updateSystemDir));
    const bool app = fileUtils.dirExists(devicePath(updateAppDir));
    return system && app;
}

QString FileInstaller::updateVersion()
{
    return readProductVersion(devicePath(updateAppExe));
}

bool FileInstaller::installUpdate()
{
    qDebug() << "Starting update...";
    bool status = true;

    if (applicationExists()) {
        status &= fileUtils.removeDir(devicePath(QStringLiteral("/FlashDisk/Corvane/list")));
        status &= removeFiles(devicePath(QStringLiteral("/FlashDisk/Corvane/remotecmd")),
                              QStringLiteral("*.xml"));
        status &= removeFiles(devicePath(QStringLiteral("/FlashDisk/Corvane/system")),
                              QStringLiteral("*.xml"));
        qDebug() << "Clear available xmlFiles: " << status;
    }

    status &= fileUtils.removeDir(devicePath(updateAppDir + QStringLiteral("/list")));
    status &= removeFiles(devicePath(updateAppDir + QStringLiteral("/remotecmd")),
                          QStringLiteral("*.xml"));
    status &= removeFiles(devicePath(updateAppDir + QStringLiteral("/system")),
                          QStringLiteral("*.xml"));
    qDebug() << "Clear installer xmlFiles: " << status;

    if (backupExists()) {
        status &= removeFiles(devicePath(backupDir), QStringLiteral("*.*"));
        qDebug() << "Clear Backup: " << status;
    }

    writeLine(QStringLiteral("Installing update to Corvane..."));
    qDebug() << "Installing update to Corvane...";

    status &= copyUpdate();

    qDebug() << "Status: " << status;
    return status;
}

bool FileInstaller::copyUpdate()
{
    // Both folders count as one copy: the total is known before the first byte moves.
    const QString systemSource = devicePath(updateSystemDir);
    const QString appSource = devicePath(updateAppDir);
    const qint64 systemBytes = FileUtils::measureTree(systemSource).bytesTotal;
    const qint64 total = systemBytes + FileUtils::measureTree(appSource).bytesTotal;
    qint64 reported = -1;
    const auto report = [this, total, &reported](qint64 done) {
        done = qBound<qint64>(0, done, total);
        if (done == reported || (reported >= 0 && done < reported))
            return;
        reported = done;
        emit notifyProgress(done, total);
    };
    report(0);
    bool status = fileUtils.CopyRecursivelyOverwrite(
        systemSource, devicePath(systemDir), QStringList(),
        [&](const FileUtils::CopyProgress &p) { report(p.bytesDone); });
    status &= fileUtils.CopyRecursivelyOverwrite(
        appSource, devicePath(appDir), QStringList(),
        [&](const FileUtils::CopyProgress &p) { report(systemBytes + p.bytesDone); });
    report(total);
    return status;
}

bool FileInstaller::removeInstallerDirectory()
{
    const bool result = fileUtils.removeDir(devicePath(updateAppDir));
    qDebug() << "delete installer directory " << result;
    return result;
}

void FileInstaller::startStickWatch()
{
    connect(&stickTimer, &QTimer::timeout, this, &FileInstaller::onTimerTimeout,
            Qt::UniqueConnection);
    stickTimer.start(kStickPollMs);
}

void FileInstaller::startApplication()
{
    startProcess(devicePath(appExe));
}

void FileInstaller::onTimerTimeout()
{
    if (fileUtils.dirExists(devicePath(kStickDir))) {
        stickTimer.start(kStickPollMs);
        return;
    }
    qDebug() << "Stick removed signal";
    stickTimer.stop();
    emit notifyStickRemoved();
}

bool FileInstaller::applicationExists()
{
    return fileUtils.fileExists(devicePath(appExe));
}

bool FileInstaller::backupExists()
{
    const bool system = fileUtils.dirExists(devicePath(backupSystemDir));
    const bool app = fileUtils.dirExists(devicePath(backupAppDir));
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
            // The path's own bytes, not escapes of them.
            qDebug().noquote() << (error == 0 ? "removed file: " : "error - removed file: ")
                               << corvane::quotedForLog(path);
        });
}

void FileInstaller::startProcess(const QString &program)
{
    // Detached: the terminal application must outlive the installer, which quits
    // right after this call.
    QProcess::startDetached(program, QStringList());
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
    if (VerQueryValue(block.data(), L"\\StringFileInfo\\080704b0\\ProductName", &name,
                      &nameLength)
        && VerQueryValue(block.data(), L"\\StringFileInfo\\080704b0\\ProductVersion", &version,
                         &versionLength)) {
        return QString::fromUtf16(static_cast<const char16_t *>(version));
    }
    qDebug("Can't obtain ProductName and ProductVersion from resources\n");
    return QString();
}
