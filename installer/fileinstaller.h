#pragma once
// The file work of an update run. The view manager asks whether an update waits on
// the flash disk and which version it holds, then has it installed: old list and
// backup files cleared, the update's system and application folders put over the
// installed ones as one transaction (all of it, or nothing installed changes; an
// interrupted one is settled at the next start). Afterwards the update's application
// folder is removed, the USB stick is polled until it is pulled, and the terminal
// application is started.
// Progress goes to the window (NotifyWriteLine, notifyProgress) and every step to
// the debug stream, which the shell writes to the log on the stick.

#include "devicepath.h"
#include "failuretable.h"
#include "fileutils.h"
#include "leftovers.h"
#include "updatetransaction.h"
#include "workfolder.h"

#include <QObject>
#include <QString>
#include <QTimer>

class FileInstaller : public QObject
{
    Q_OBJECT

public:
    // root: the device whose folders are installed (by default the device itself).
    explicit FileInstaller(QObject *parent = nullptr, const corvane::DeviceRoot &root = {});

    bool isUpdateAvailable();
    QString updateVersion();
    bool installUpdate();
    bool removeInstallerDirectory();
    void startStickWatch();
    void startApplication();

    // Product version from the version resource of an executable (a null or empty
    // path means the running program), or a null string.
    static QString readProductVersion(const QString &path);

    // Opens the installer's work folder on the flash disk (made when missing; one that
    // cannot be trusted is moved aside and a fresh one made). False when none can be had:
    // then nothing may be recovered or installed.
    bool openWorkFolder();
    const WorkFolder &workFolder() const { return m_work; }

    // Completes or rolls back an installation that a power cut or a crash interrupted,
    // and logs what it did. False when it could not: the installed folders may then hold
    // old and new files. Leftovers that cannot be removed are logged and kept for the
    // window (recoveryTrouble), but the installed folders are whole: true.
    bool recoverInterruptedInstallation(bool reportNothingToDo);

    // What the recovery at the start found wrong with the last installation, as one line
    // for the window; empty when nothing.
    QString recoveryTrouble() const { return m_recoveryTrouble; }

    // Waits until the old files of an installation are removed (they go in the
    // background while the result is shown) and logs what could not be removed; the
    // removal logs that itself as soon as it ends when the event loop runs.
    void finishCleanUp();

    const corvane::DeviceRoot &deviceRoot() const { return m_root; }

signals:
    void NotifyWriteLine(QString text);
    // The stick folder has gone, and the removal of the old files has reported.
    void notifyStickRemoved();
    // Bytes of the update copied so far, of all bytes of both folders. Starts at 0 and
    // rises during the copy; it reaches the total only once the update is committed and in
    // place (the last byte counts then), so a failed update never does.
    void notifyProgress(qint64 bytesDone, qint64 bytesTotal);

private slots:
    void onTimerTimeout();

private:
    bool applicationExists();
    bool backupExists();
    bool removeFiles(const QString &folder, const QString &nameFilter);
    void startProcess(const QString &program);
    void writeLine(const QString &text);
    // Whether the clean-up removes an entry of the update's application folder (so that
    // it is not installed).
    static bool clearedFromUpdate(const QByteArray &path, unsigned mode);
    // Shows a failure in the window and logs it, as the failure table says.
    void report(const FailureReason &reason, const UpdateTransaction::Failure &failure = {});

    FileUtils fileUtils;
    QTimer stickTimer;
    const QString updateSystemDir;
    const QString systemDir;
    const QString updateAppDir;
    const QString appDir;
    const QString backupDir;
    const QString backupSystemDir;
    const QString backupAppDir;
    const QString appExe;
    const QString updateAppExe;
    const corvane::DeviceRoot m_root;
    WorkFolder m_work;
    QString m_recoveryTrouble;
    bool m_stickWatched = false;
    BackgroundRemoval m_oldFiles{[this](bool removed) {
        if (!removed)
            report(RunTrouble::OldFilesStay);
    }};
};
