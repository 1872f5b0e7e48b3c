#pragma once
// The installer's controller. One run passes once through three states: the
// administrator password step (WaitPassword), the installation (InitialState) and
// the result screen that waits for the stick to be pulled (WaitStickRemoval). The
// whole run up to the result screen happens inside the first HandleEvents call made
// by onStartup(); afterwards only the stick removal leads anywhere: the terminal
// application is started and the event loop ends with exit code 0.

#include "entrycount.h"
#include "fileutils.h"

#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class DBConnection;
class FileInstaller;
class InstallerView;
class PasswordPage;
class UserMenuItemRepository;

class InstallerViewManager : public QObject
{
    Q_OBJECT

public:
    enum State { InitialState = 0, WaitPassword = 1, WaitStickRemoval = 2 };
    enum Event { StartupEvent = 0, Button1Event = 1, Button2Event = 2, StickRemovedEvent = 3 };

    InstallerViewManager(QObject *parent, InstallerView *view, FileInstaller *installer);
    ~InstallerViewManager() override;

    int currentState() const { return state; }

    // The first line of a run in the log: "Installer started at " and the time in UTC.
    // The program writes it before its start-up checks (the lock, the recovery), whose
    // lines follow it, and says so with setStartLineLogged(); else onStartup() writes it.
    static void logStartLine();
    void setStartLineLogged() { m_startLineLogged = true; }

    // The password step, as the on-screen keyboard sees it while the page is open.
    QString adminPassword() const { return m_adminPassword; }
    QString serviceCode() const { return m_serviceCode; }
    QString enteredPassword() const;
    QLineEdit *passwordEdit() const { return m_passwordEdit; }
    void setPasswordAccepted(bool accepted) { passwordAccepted = accepted; }
    void cancelPassword() { passwordCancelled = true; }

    // Whether an entry opens the installation: it equals the administrator password or
    // the service code, exactly. An expected value that is empty (nothing stored,
    // nothing readable) never matches, so an empty entry never passes.
    bool isAcceptedEntry(const QString &entry) const;

    // Decides a confirmed entry: true when it is accepted. The entry is counted first,
    // and the count is on the flash disk (EntryCount) before the entry is compared, so
    // that neither a kill nor a power cut takes a wrong guess back; an entry whose count
    // cannot be stored is refused unseen. Wrong entries of the password and of the
    // service code count together. A refusal from the fourth in a row on shuts the field
    // for a pause (1 s, doubling with each further refusal, at most 60 s): the field is
    // disabled and shows "Try again in N s", counting down, keys typed meanwhile are
    // lost, and the keyboard is asked to hide (notifyHideInputPanel); the page shows a
    // Cancel of its own meanwhile, which abandons the step. When the pause is
    // over the field is enabled, empty and focused again, and the keyboard is asked to
    // come back (notifyResumeInputPanel). An accepted entry sets the count to zero.
    bool checkEntry(const QString &entry);
    bool isEntryPaused() const { return m_entryPaused; }

    // Starts a pause of the given length and calls done at its end. The default is a
    // single-shot timer; tests put their own in place to see each pause and end it. (The
    // countdown on the field runs on its own one-second timer.)
    using PauseTimer = std::function<void(int ms, const std::function<void()> &done)>;
    void setPauseTimer(PauseTimer timer);

    // The service code of a sensor serial number: four digits with leading zeros, and a
    // minus sign in front when the arithmetic gives a negative value ("-079").
    static QString makeServiceCode(const QString &serialNumber);

signals:
    void notifyShowInputPanel();
    void notifyKeyboardEnter();
    // The keyboard goes away: the page was closed, or the field is shut for a pause.
    void notifyHideInputPanel();
    // The field is open again after a pause: the keyboard comes back as it was.
    void notifyResumeInputPanel();
    void editingFinished();

public slots:
    void onStartup();
    void WireViewManager();
    void onButton1Clicked();
    void onButton2Clicked();
    void onOutputWriteLine(QString text);
    void onStickRemoved();
    void onProgress(qint64 bytesDone, qint64 bytesTotal);
    void onEditingFinished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void HandleEvents(int event);
    void startPause(int pauseMs);
    void endPause();
    void onCountdownTick();
    bool requestPassword();
    QString readAdminPassword();
    QString readServiceCode();
    void showInstallVersion();
    void showSuccess();
    void showFailure();
    void showNothingDone();
    void showCancelled();
    void showResult(const QString &outputLine, const QString &question);
    void showRecoveryTrouble();
    void finishRun();
    void startApplicationAndQuit();

    InstallerView *view = nullptr;
    FileInstaller *installer = nullptr;
    int state = WaitPassword;
    bool m_startLineLogged = false;
    bool m_recoveryTroubleShown = false; // what the start found is on the screen
    FileUtils fileUtils;
    DBConnection *adminDbConnection = nullptr;
    UserMenuItemRepository *itemRepository = nullptr;
    DBConnection *systemDbConnection = nullptr;
    QString m_adminPassword;
    QString m_serviceCode;
    bool passwordAccepted = false;
    bool passwordCancelled = false;
    // A password may be stored but is not known (the database could not be read, or the
    // value not decrypted): the page is required, and only the service code opens it.
    bool m_passwordUnknown = false;
    QPointer<QLineEdit> m_passwordEdit;
    QPointer<PasswordPage> m_passwordPage;
    EntryCount m_entryCount;
    int m_refusals = 0; // refused entries in a row, as stored
    bool m_entryPaused = false;
    PauseTimer m_pauseTimer;
    QTimer m_countdown; // a tick a second during a pause
    int m_pauseSecondsLeft = 0;
};
