#pragma once
// The installer's controller. One run passes once through three states: the
// administrator password step (WaitPassword), the installation (InitialState) and
// the result screen that waits for the stick to be pulled (WaitStickRemoval). The
// whole run up to the result screen happens inside the first HandleEvents call made
// by onStartup(); afterwards only the stick removal leads anywhere: the terminal
// application is started and the event loop ends with exit code 0.

#include "fileutils.h"

#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QString>

class DBConnection;
class FileInstaller;
class InstallerView;
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

    // The four-digit service code of a sensor serial number.
    static QString makeServiceCode(const QString &serialNumber);

signals:
    void notifyShowInputPanel();
    void notifyKeyboardEnter();
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

private:
    void HandleEvents(int event);
    bool requestPassword();
    QString readAdminPassword();
    QString readServiceCode();
    void showInstallVersion();
    void showSuccess();
    void showFailure();
    void showNothingDone();
    void showCancelled();
    void showResult(const QString &outputLine, const QString &question);
    void finishRun();
    void startApplicationAndQuit();

    InstallerView *view = nullptr;
    FileInstaller *installer = nullptr;
    int state = WaitPassword;
    FileUtils fileUtils;
    DBConnection *adminDbConnection = nullptr;
    UserMenuItemRepository *itemRepository = nullptr;
    DBConnection *systemDbConnection = nullptr;
    QString m_adminPassword;
    QString m_serviceCode;
    bool passwordAccepted = false;
    bool passwordCancelled = false;
    // A password is stored, even when it could not be decrypted: the page is required.
    bool m_passwordStored = false;
    QPointer<QLineEdit> m_passwordEdit;
};
