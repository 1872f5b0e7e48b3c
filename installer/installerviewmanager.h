#pragma once
// The installer's controller. One run passes once through three states: the
// administrator password step (WaitPassword), the installation (InitialState) and
// the result screen that waits for the stick to be pulled (WaitStickRemoval). The
// whole run up to the result screen happens inside the first HandleEvents call made
// by onStartup(); afterwards only the stick removal leads anywhere: the terminal
// application is started and the event loop ends with exit code 0.

#include "fileutils.h"

#include <QObject>
#include <QString>

class FileInstaller;
class InstallerView;
class QLineEdit;

class InstallerViewManager : public QObject
{
    Q_OBJECT

public:
    enum State { InitialState = 0, WaitPassword = 1, WaitStickRemoval = 2 };
    enum Event { StartupEvent = 0, Button1Event = 1, Button2Event = 2, StickRemovedEvent = 3 };

    InstallerViewManager(QObject *parent, InstallerView *view, FileInstaller *installer);
    ~InstallerViewManager() override;

    int currentState() const { return state; }

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

private:
    void HandleEvents(int event);
    bool requestPassword();
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
};
