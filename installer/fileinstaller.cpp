#include "fileinstaller.h"

#include "beneath.h"
#include "devicefiles.h"
#include "execfd.h"
#include "installerlock.h"
#include "posixfs.h"
#include "treeremoval.h"
#include "versioninfo.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
    return openUpdateFolders();
}

bool FileInstaller::openUpdateFolders()
{
    if (m_updateLooked)
        return m_updateSystem.isValid() && m_updateApp.isValid();
    m_updateLooked = true;
    const QByteArray top = corvane::fs::enc(m_root.path(device::updateFolder));
    const auto trouble = [this](const QByteArray &path, int error) {
        m_updateTrouble = path;
        m_updateError = error;
        if (error == ENOENT)
            return;
        // A link in place of an update folder leads elsewhere: nothing there is an update,
        // and its clean-up would reach into whatever the link points to.
        if (error == ELOOP || error == ENOTDIR)
            qDebug().noquote() << "Update folder is a link or not a folder, not installed:"
                               << corvane::quotedForLog(path);
        else
            corvane::fs::logFailure("Update:", "opening of update folder", path, error);
    };
    // Below the flash disk's folder as the work folder holds it: every later step works
    // from these descriptors, so a name changed meanwhile leads nowhere. A work folder that
    // cannot be used on a sound flash disk folder still lets the update be found, so that
    // the run says why it is not installed.
    if (!openWorkFolder() && m_work.baseFd() < 0) {
        trouble(top, EBADF);
        return false;
    }
    m_updateTop.reset(
        corvane::fs::openBeneath(m_work.baseFd(), m_work.relative(top), O_RDONLY | O_DIRECTORY));
    if (!m_updateTop.isValid()) {
        trouble(top, errno);
        return false;
    }
    const auto openIn = [&](corvane::fs::UniqueFd &fd, const char *name) {
        fd.reset(corvane::fs::openBeneath(m_updateTop.get(), name, O_RDONLY | O_DIRECTORY));
        if (!fd.isValid())
            trouble(corvane::fs::join(top, name), errno);
        return fd.isValid();
    };
    const bool system = openIn(m_updateSystem, device::updateSystemName);
    const bool app = openIn(m_updateApp, device::updateAppName);
    return system && app;
}

void FileInstaller::closeUpdateFolders()
{
    m_updateApp.reset();
    m_updateSystem.reset();
    m_updateTop.reset();
    m_updateLooked = false;
}

QString FileInstaller::updateVersion()
{
    openUpdateFolders();
    // Read through the file opened below the update's folder: the name is not looked up again.
    const corvane::fs::UniqueFd exe(m_updateApp.isValid() ? corvane::fs::openForReadingBeneath(
                                        m_updateApp.get(), device::updateAppExecutableName)
                                                          : -1);
    if (!exe.isValid()) {
        qDebug().noquote() << "The update's application cannot be opened:"
                           << corvane::quotedForLog(corvane::fs::enc(m_root.path(updateAppExe)))
                           << corvane::fs::errorText(m_updateApp.isValid() ? errno : ENOENT);
        return QString();
    }
    return readProductVersion(QStringLiteral("/proc/self/fd/%1").arg(exe.get()));
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
    if (!openUpdateFolders()) {
        const UpdateTransaction::Failure failure{UpdateTransaction::FailureKind::ReadFailed,
                                                 corvane::fs::dec(m_work.relative(m_updateTrouble)),
                                                 m_updateError,
                                                 {}};
        report(failure.kind, failure);
        qDebug() << "Status: " << false;
        return false;
    }
    UpdateTransaction update(m_work, &m_oldFiles);
    update.checkSignedList({m_root.path(device::updateManifest),
                            m_root.path(device::updateManifestSignature),
                            m_root.path(device::trustedKeysFolder), m_updateTop.get()});
    update.addTree(m_updateSystem.get(), m_root.path(updateSystemDir), m_root.path(systemDir),
                   UpdateTransaction::Source::Copy, "System");
    // The update's application folder is removed after every run, so its files can become
    // the installed ones without their data being written again. Its lists are removed
    // by the clean-up below, so they are not installed.
    update.addTree(m_updateApp.get(), m_root.path(updateAppDir), m_root.path(appDir),
                   UpdateTransaction::Source::Link, "Corvane", &clearedFromUpdate);
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

    // While the update must prove itself, the installed lists and backups are held back
    // in the work folder instead of removed: a fallback puts them back.
    const bool holding = m_confirmSeconds > 0;
    corvane::update::ClearedFiles heldBack(m_work);
    const auto clearFolder = [&](const char *folder) {
        return holding ? holdBackFolder(heldBack, folder)
                       : fileUtils.removeDir(m_root.path(folder));
    };
    const auto clearFiles = [&](const char *folder, const QString &filter) {
        return holding ? holdBackFiles(heldBack, folder, filter)
                       : removeFiles(m_root.path(folder), filter);
    };
    if (prepared && applicationExists()) {
        status &= clearFolder(device::appListFolder);
        status &= clearFiles(device::appRemoteCommandFolder, kListFiles);
        status &= clearFiles(device::appSystemListFolder, kListFiles);
        qDebug() << "Clear available xmlFiles: " << status;
    }

    if (prepared) {
        status &= clearUpdateLists();
        qDebug() << "Clear installer xmlFiles: " << status;
    }

    if (prepared && backupExists()) {
        status &= clearFiles(device::backupFolder, QStringLiteral("*.*"));
        qDebug() << "Clear Backup: " << status;
    }
    const bool cleared = status;
    if (prepared && holding)
        update.holdBack({readProductVersion(m_root.path(appExe)).toUtf8(), updateVersion().toUtf8(),
                         heldBack.touchedFolders()});

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

bool FileInstaller::holdBackFolder(corvane::update::ClearedFiles &heldBack, const char *folder)
{
    const QByteArray path = corvane::fs::enc(m_root.path(folder));
    return heldBack.holdBack(m_work.relative(path), [&path](int error) {
        if (error == 0)
            qDebug().noquote() << "held back:" << corvane::quotedForLog(path);
        else
            corvane::fs::logFailure("FileUtils:", "holding back of", path, error);
    });
}

bool FileInstaller::holdBackFiles(corvane::update::ClearedFiles &heldBack, const char *folder,
                                  const QString &nameFilter)
{
    // Logged as the removal logs, each file by its name's bytes.
    return heldBack.holdBackMatching(
        m_work.relative(corvane::fs::enc(m_root.path(folder))), QFile::encodeName(nameFilter),
        [](const QByteArray &path, int error) {
            qDebug().noquote() << (error == 0 ? "held back file: " : "error - held back file: ")
                               << corvane::quotedForLog(path);
        });
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

bool FileInstaller::recoverInterruptedInstallation(bool reportNothingToDo, bool countStart)
{
    if (!openWorkFolder()) {
        qDebug() << "Recovery: the installer's work folder cannot be used.";
        return false;
    }
    UpdateTransaction::Failure why;
    switch (UpdateTransaction::recover(m_work, installedTargets(), &why)) {
    case UpdateTransaction::Recovery::NothingToDo:
        if (reportNothingToDo && !corvane::update::isPending(m_work))
            qDebug() << "Recovery: no interrupted installation.";
        break;
    case UpdateTransaction::Recovery::LeftoversRemoved:
        qDebug() << "Recovery: removed the staged files of an unfinished installation; the "
                    "installed folders are unchanged.";
        break;
    case UpdateTransaction::Recovery::OldFilesRemoved:
        // A removal the last run could not finish (or that a power cut cut short): that
        // update is installed, only the files it replaced were still there.
        qDebug() << "Recovery: removed the replaced files of the last update.";
        break;
    case UpdateTransaction::Recovery::LeftoversStay:
        qDebug().noquote() << failureLogLine(RunTrouble::LastInstallationLeftovers, why);
        m_recoveryTrouble = failureScreenLine(RunTrouble::LastInstallationLeftovers, why);
        break;
    case UpdateTransaction::Recovery::Completed:
        qDebug() << "Recovery: completed an interrupted installation.";
        break;
    case UpdateTransaction::Recovery::RolledBack:
        qDebug() << "Recovery: rolled back an interrupted installation; the installed folders are "
                    "as before it.";
        break;
    case UpdateTransaction::Recovery::Failed:
        qDebug().noquote() << failureLogLine(RunTrouble::LastInstallationUnsettled, why);
        m_recoveryTrouble = failureScreenLine(RunTrouble::LastInstallationUnsettled, why);
        return false;
    }
    return settlePendingUpdate(countStart);
}

bool FileInstaller::settlePendingUpdate(bool countStart)
{
    using Outcome = corvane::update::Settled::Outcome;
    const corvane::update::Settled s
        = corvane::update::settlePending(m_work, installedTargets(), countStart, nullptr);
    const QString versions = corvane::update::pendingVersions(s.record);
    switch (s.outcome) {
    case Outcome::NothingPending:
        return true;
    case Outcome::Pending:
        if (m_confirmSeconds == 0 && countStart)
            return confirm(
                QStringLiteral("holding back is turned off (CORVANE_CONFIRM_SECONDS=0)"));
        if (countStart)
            tell(QStringLiteral("Update %1 is not yet confirmed: start %2 of %3 without a "
                                "confirmation.")
                     .arg(versions)
                     .arg(s.record.starts)
                     .arg(corvane::update::kStartsBeforeFallback));
        return true;
    case Outcome::Confirmed:
        tell(QStringLiteral("Update %1 confirmed: %2.").arg(versions, s.reason));
        return true;
    case Outcome::FellBack:
        tell(QStringLiteral("The last update was undone: %1 (update %2).").arg(s.reason, versions));
        return true;
    case Outcome::Unswitched:
        qDebug() << "Recovery: undid an installation that was cut short before its switch; the "
                    "installed folders are as before it.";
        return true;
    case Outcome::Failed:
        break;
    }
    tell(
        QStringLiteral("Recovery: the pending update %1 could not be settled; the next start tries "
                       "again.")
            .arg(versions));
    return false;
}

QStringList FileInstaller::installedTargets() const
{
    return {m_root.path(systemDir), m_root.path(appDir)};
}

void FileInstaller::tell(const QString &line)
{
    qDebug().noquote() << line;
    if (m_echo)
        std::fprintf(stderr, "%s\n", qPrintable(line));
}

QStringList FileInstaller::startNotices()
{
    QStringList notices;
    qint64 last = 0;
    const QStringList history = corvane::update::historyNotShown(m_work, &last);
    for (const QString &line : history)
        qDebug().noquote() << "History:" << line;
    // The newest event decides: an update undone and then installed again is not news.
    static const QString undone = QStringLiteral(" undone: ");
    if (!history.isEmpty() && history.last().contains(undone))
        notices << QStringLiteral("The last update was undone: %1")
                       .arg(history.last().mid(history.last().indexOf(undone) + undone.size()));
    if (!history.isEmpty() && !corvane::update::markHistoryShown(m_work, last))
        corvane::fs::logFailure("History:", "marking as shown of", m_work.work, errno);
    if (!m_recoveryTrouble.isEmpty())
        notices << m_recoveryTrouble;
    return notices;
}

namespace {
// Takes the device's lock for a decision, waiting while another installer holds it.
bool lockWaiting(InstallerLock &lock)
{
    for (;;) {
        switch (lock.acquire()) {
        case InstallerLock::Result::Acquired:
            return true;
        case InstallerLock::Result::Busy:
            ::usleep(50000);
            continue;
        case InstallerLock::Result::Failed:
            return false;
        }
    }
}
} // namespace

bool FileInstaller::confirm(const QString &reason)
{
    corvane::update::PendingRecord record;
    if (corvane::update::readPending(m_work, &record) != corvane::update::PendingRead::Found
        || record.state == corvane::update::PendingRecord::State::FallingBack)
        return false;
    if (!corvane::update::confirmPending(m_work, record, reason, &m_oldFiles)) {
        tell(QStringLiteral("Update %1 could not be confirmed; the next start tries again.")
                 .arg(corvane::update::pendingVersions(record)));
        return false;
    }
    tell(QStringLiteral("Update %1 confirmed: %2. The files it replaced are removed.")
             .arg(corvane::update::pendingVersions(record), reason));
    m_oldFiles.wait();
    return true;
}

bool FileInstaller::fallBack(const QString &reason)
{
    corvane::update::PendingRecord record;
    if (corvane::update::readPending(m_work, &record) != corvane::update::PendingRead::Found
        || record.state == corvane::update::PendingRecord::State::Confirmed) {
        tell(QStringLiteral("The application failed (%1), but the update was confirmed "
                            "meanwhile: it is not undone.")
                 .arg(reason));
        return false;
    }
    const QString versions = corvane::update::pendingVersions(record);
    if (!corvane::update::fallBack(m_work, installedTargets(), record, reason, &m_oldFiles)) {
        tell(QStringLiteral("The update %1 could not be undone (%2); the next start tries again.")
                 .arg(versions, reason));
        return false;
    }
    tell(QStringLiteral("The last update was undone: %1 (update %2). The old application is "
                        "started.")
             .arg(reason, versions));
    return true;
}

int FileInstaller::watchApplication()
{
    m_watchWanted = false;
    const qint64 windowMs = qint64(m_confirmSeconds) * 1000;
    const auto seconds = [](qint64 ms) { return QString::number(double(ms) / 1000.0, 'f', 1); };
    tell(QStringLiteral("The application is started and watched: the update is confirmed when it "
                        "runs for %1 s.")
             .arg(m_confirmSeconds));
    QElapsedTimer clock; // monotonic: a clock set meanwhile changes nothing
    clock.start();
    QString why;
    const qint64 pid = launchApplication(true, &why);
    QString reason;
    if (pid < 0)
        reason = QStringLiteral("the application could not be started (%1)").arg(why);
    qint64 nextLook = 500;
    while (reason.isEmpty()) {
        int status = 0;
        const pid_t ended = ::waitpid(pid_t(pid), &status, WNOHANG);
        const qint64 ms = clock.elapsed();
        if (ended == pid_t(pid) && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            // A starter that hands over to the application's own unit ends like this.
            tell(QStringLiteral("The application ended with code 0 after %1 s; the update stays "
                                "pending until it is confirmed (corvane-installer --confirm) or "
                                "the device has started %2 times.")
                     .arg(seconds(ms))
                     .arg(corvane::update::kStartsBeforeFallback));
            return 0;
        }
        if (ended == pid_t(pid) && WIFEXITED(status)) {
            reason = QStringLiteral("the application exited with code %1 after %2 s")
                         .arg(WEXITSTATUS(status))
                         .arg(seconds(ms));
        } else if (ended == pid_t(pid)) {
            reason = QStringLiteral("the application was ended by signal %1 (%2) after %3 s")
                         .arg(WTERMSIG(status))
                         .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))), seconds(ms));
        } else if (ms >= windowMs) {
            InstallerLock lock(m_work);
            if (lockWaiting(lock))
                confirm(QStringLiteral("the application ran for %1 s").arg(m_confirmSeconds));
            return 0;
        } else if (ms >= nextLook) {
            // Confirmed by root meanwhile: nothing left to watch for.
            nextLook += 500;
            corvane::update::PendingRecord record;
            if (corvane::update::readPending(m_work, &record) != corvane::update::PendingRead::Found
                || record.state != corvane::update::PendingRecord::State::Held) {
                tell(QStringLiteral("The update was settled meanwhile; the application is no "
                                    "longer watched."));
                return 0;
            }
        } else {
            ::usleep(10000);
        }
    }
    InstallerLock lock(m_work);
    if (lockWaiting(lock) && fallBack(reason))
        launchApplication(false);
    // The update's files go while the old application starts; the run ends after them.
    m_oldFiles.wait();
    return 0;
}

int FileInstaller::confirmUpdate()
{
    corvane::update::PendingRecord record;
    if (corvane::update::readPending(m_work, &record) == corvane::update::PendingRead::None) {
        tell(QStringLiteral("Nothing to confirm: no update is pending."));
        return 0;
    }
    return confirm(QStringLiteral("confirmed by corvane-installer --confirm")) ? 0 : 1;
}

bool FileInstaller::removeInstallerDirectory()
{
    openUpdateFolders();
    const QByteArray path = corvane::fs::enc(m_root.path(updateAppDir));
    const char *name = device::updateAppName;
    bool result = true;
    struct stat opened, named;
    if (m_updateApp.isValid()) {
        // The content through the descriptor; the name only while it is still that folder.
        result = corvane::removeFolderContents(m_updateApp.get(), path);
        if (::fstat(m_updateApp.get(), &opened) != 0
            || ::fstatat(m_updateTop.get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone already: nothing left to remove.
        } else if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
            qDebug().noquote() << "Update folder" << corvane::quotedForLog(path)
                               << "was replaced during the run; the new one is left alone";
        } else if (::unlinkat(m_updateTop.get(), name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
            corvane::fs::logFailure("FileUtils:", "removal of", path, errno);
            result = false;
        }
    } else if (m_updateTop.isValid()
               && ::fstatat(m_updateTop.get(), name, &named, AT_SYMLINK_NOFOLLOW) == 0
               && S_ISLNK(named.st_mode)) {
        // A link where the folder should be goes as a link: what it points to is not part
        // of the update.
        if (::unlinkat(m_updateTop.get(), name, 0) == 0 || errno == ENOENT) {
            qDebug().noquote() << "FileUtils:" << corvane::quotedForLog(path)
                               << "is a symbolic link; removed as a link, not followed";
        } else {
            corvane::fs::logFailure("FileUtils:", "removal of", path, errno);
            result = false;
        }
    }
    // The next look at the flash disk opens the folders anew.
    closeUpdateFolders();
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
    corvane::update::PendingRecord record;
    if (m_confirmSeconds > 0 && m_work.isOpen()
        && corvane::update::readPending(m_work, &record) == corvane::update::PendingRead::Found
        && record.state == corvane::update::PendingRecord::State::Held) {
        // The window must be gone before the application takes the display: the program
        // ends it, then watches (watchApplication()).
        m_watchWanted = true;
        return;
    }
    launchApplication(false);
}

corvane::fs::UniqueFd FileInstaller::openApplication(QString *why, bool *refused)
{
    using namespace corvane::fs;
    *refused = true;
    if (!openWorkFolder()) {
        *why = QStringLiteral("the flash disk folder cannot be checked");
        return UniqueFd();
    }
    UniqueFd folder;
    QByteArray name;
    UniqueFd exe;
    if (openParentBeneath(m_work.baseFd(), m_work.relative(enc(m_root.path(appExe))), &folder,
                          &name))
        exe.reset(openBeneath(folder.get(), name, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!exe.isValid() || ::fstat(exe.get(), &st) != 0) {
        const int error = errno;
        *refused = error == ELOOP;
        *why = error == ELOOP ? QStringLiteral("it is reached through a link") : errorText(error);
        return UniqueFd();
    }
    struct stat in;
    if (!S_ISREG(st.st_mode))
        *why = QStringLiteral("it is not a regular file");
    else if (!ownedByInstaller(st))
        *why = QStringLiteral("it belongs to user %1").arg(st.st_uid);
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        *why = QStringLiteral("group or others may write it");
    else if (::fstat(folder.get(), &in) != 0)
        *why = errorText(errno);
    else if (!ownedByInstaller(in))
        *why = QStringLiteral("its folder belongs to user %1").arg(in.st_uid);
    else if ((in.st_mode & S_IWOTH) != 0)
        *why = QStringLiteral("others may write its folder");
    else {
        *refused = false;
        return exe;
    }
    return UniqueFd();
}

qint64 FileInstaller::launchApplication(bool watched, QString *why)
{
    const QByteArray path = corvane::fs::enc(m_root.path(appExe));
    QString problem;
    bool refused = false;
    const corvane::fs::UniqueFd exe = openApplication(&problem, &refused);
    int error = 0;
    const pid_t pid
        = exe.isValid() ? corvane::fs::startFromFd(exe.get(), path, !watched, &error) : -1;
    if (pid >= 0)
        return watched ? pid : 0;
    if (error != 0) // accepted, but the start itself failed: not a refusal
        problem = corvane::fs::errorText(error);
    if (why)
        *why = problem;
    // The stick is usually gone by now: the line goes to the standard error too, where the
    // service's journal keeps why the screen stays dark.
    if (refused) {
        tell(QStringLiteral("The application %1 is not started: %2. Only a file of root's that "
                            "nobody else may write, in a folder of root's, is started.")
                 .arg(corvane::quotedForLog(path), problem));
    } else {
        tell(QStringLiteral("The application %1 could not be started: it is missing or cannot "
                            "be run (%2).")
                 .arg(corvane::quotedForLog(path), problem));
    }
    return -1;
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

namespace {
void reportRemoval(const QByteArray &path, int error)
{
    // Names as their own bytes; only bytes that are not text become escapes.
    qDebug().noquote() << (error == 0 ? "removed file: " : "error - removed file: ")
                       << corvane::quotedForLog(path);
}
} // namespace

bool FileInstaller::clearUpdateLists()
{
    // Below the update's application folder as it was opened: a list folder, or the
    // update folder itself, swapped for a link meanwhile leads nowhere else.
    const QByteArray app = corvane::fs::enc(m_root.path(updateAppDir));
    const int fd = m_updateApp.get();
    const QByteArray list = QFile::encodeName(kListFolder);
    bool ok = corvane::removeEntryAt(fd, list, corvane::fs::join(app, list));
    for (const QString &folder : {kRemoteCommandFolder, kSystemListFolder}) {
        const QByteArray name = QFile::encodeName(folder);
        ok &= corvane::removeMatchingAt(fd, name, corvane::fs::join(app, name),
                                        QFile::encodeName(kListFiles), &reportRemoval);
    }
    return ok;
}

bool FileInstaller::removeFiles(const QString &folder, const QString &nameFilter)
{
    // Walked and matched as the file system's bytes, so names that are not UTF-8 are
    // found and removed like any other. No link is followed, not even one in place of
    // the folder: a list folder that leads out of the update clears nothing outside it.
    // Only files (and links) are candidates: folders match "*.*" too, but they stay,
    // and so does the structure below the folder. Every attempt counts: one failed
    // removal makes the whole result false.
    return corvane::removeMatching(QFile::encodeName(QDir(folder).absolutePath()),
                                   QFile::encodeName(nameFilter), &reportRemoval);
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
