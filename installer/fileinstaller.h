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
#include "pendingupdate.h"
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
    // An update that is still pending (pendingupdate.h) is settled too: a decision a cut
    // interrupted is completed, and with countStart the start is counted (the third one
    // without a confirmation undoes the update).
    bool recoverInterruptedInstallation(bool reportNothingToDo, bool countStart = true);

    // Seconds the application must run after an update before the update counts as good
    // (CORVANE_CONFIRM_SECONDS; the program reads it). 0, the default here: nothing is
    // held back, and the application is started and left alone, as always.
    void setConfirmWindow(int seconds) { m_confirmSeconds = seconds; }
    int confirmWindow() const { return m_confirmSeconds; }
    // Lines of the installer's own about updates (confirmed, undone) go to the standard
    // error as well, where the service's journal keeps them; off where the program's log
    // handler copies every line there already.
    void setEchoToStandardError(bool echo) { m_echo = echo; }

    // Whether startApplication() left the start to watchApplication(): an update is
    // pending, so the application must prove itself first.
    bool applicationToBeWatched() const { return m_watchWanted; }
    // Starts the application and watches it for the confirmation window: the update is
    // confirmed when it runs that long (or root confirms meanwhile), and undone when it
    // exits with an error or a signal before, or cannot be started; the old application
    // is then started. Blocks until one of these; no window or event loop is needed.
    // Returns the program's exit code.
    int watchApplication();
    // corvane-installer --confirm: the pending update is good. Exit code.
    int confirmUpdate();

    // What the window shows first: "The last update was undone: REASON" when an update
    // was undone since the last stick, then what the recovery found. The history since
    // the last stick goes to the log as well (once).
    QStringList startNotices();

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
    // Opens the update's top folder below the flash disk's folder, and both update folders
    // in it, once for the run, never through a link (a link or anything but a folder there
    // is no update, logged). True when both update folders are open.
    bool openUpdateFolders();
    void closeUpdateFolders();
    bool applicationExists();
    bool backupExists();
    bool removeFiles(const QString &folder, const QString &nameFilter);
    // The clean-up of the update's lists, below its open application folder.
    bool clearUpdateLists();
    // The one way the application is started: detached (outliving the installer, never
    // waited for), or as a child to watch. The pid of a watched one, or -1 with why set.
    // Root starts only what is root's: the file is reached below the checked flash disk
    // folder without a link, checked, and started from that descriptor.
    qint64 launchApplication(bool watched, QString *why = nullptr);
    // The application opened and checked, or invalid with why (refused: it is there but
    // not to be trusted, rather than missing or unreadable).
    corvane::fs::UniqueFd openApplication(QString *why, bool *refused);
    // A line about the pending update: the log, and the standard error (setEcho...).
    void tell(const QString &line);
    QStringList installedTargets() const;
    // Undoes the pending update and logs it; false when it could not be.
    bool fallBack(const QString &reason);
    bool confirm(const QString &reason);
    bool settlePendingUpdate(bool countStart);
    void writeLine(const QString &text);
    // The clearing of the installed lists and backups while an update is held back: moved
    // into the work folder (ClearedFiles) rather than removed, logged like a removal.
    bool holdBackFolder(corvane::update::ClearedFiles &heldBack, const char *folder);
    bool holdBackFiles(corvane::update::ClearedFiles &heldBack, const char *folder,
                       const QString &nameFilter);
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
    // The update's top folder and its two folders, as opened for this run; every name of
    // the update is reached below these.
    corvane::fs::UniqueFd m_updateTop;
    corvane::fs::UniqueFd m_updateSystem;
    corvane::fs::UniqueFd m_updateApp;
    bool m_updateLooked = false;
    // What stopped an update folder from being opened (its host path and errno).
    QByteArray m_updateTrouble;
    int m_updateError = 0;
    QString m_recoveryTrouble;
    QString m_lastUndone; // the reason, when the last update was undone since the last stick
    bool m_stickWatched = false;
    int m_confirmSeconds = 0;
    bool m_echo = true;
    bool m_watchWanted = false;
    BackgroundRemoval m_oldFiles{[this](bool removed) {
        if (!removed)
            report(RunTrouble::OldFilesStay);
    }};
};
