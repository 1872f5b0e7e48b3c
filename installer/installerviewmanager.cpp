#include "installerviewmanager.h"

#include "devicepath.h"
#include "fileinstaller.h"
#include "installerview.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>

using corvane::devicePath;

namespace {
const QString kAdminDb = QStringLiteral("/FlashDisk/Corvane/data/Administrator_setting.db");
const QString kTitle = QStringLiteral("Corvane Installer");
}

InstallerViewManager::InstallerViewManager(QObject *parent, InstallerView *view_,
                                           FileInstaller *installer_)
    : QObject(parent), view(view_), installer(installer_)
{
}

InstallerViewManager::~InstallerViewManager() = default;

void InstallerViewManager::onStartup()
{
    qDebug() << "Installer started at " << QDateTime::currentDateTime().toUTC();
    WireViewManager();
    HandleEvents(StartupEvent);
}

void InstallerViewManager::WireViewManager()
{
    connect(installer, &FileInstaller::NotifyWriteLine, this,
            &InstallerViewManager::onOutputWriteLine);
    connect(installer, &FileInstaller::notifyProgress, this, &InstallerViewManager::onProgress);
}

void InstallerViewManager::onButton1Clicked()
{
    HandleEvents(Button1Event);
}

void InstallerViewManager::onButton2Clicked()
{
    HandleEvents(Button2Event);
}

void InstallerViewManager::onOutputWriteLine(QString text)
{
    view->appendOutput(text);
}

void InstallerViewManager::onProgress(qint64 bytesDone, qint64 bytesTotal)
{
    view->setProgress(bytesDone, bytesTotal);
}

void InstallerViewManager::onStickRemoved()
{
    HandleEvents(StickRemovedEvent);
}

void InstallerViewManager::HandleEvents(int event)
{
    if (state == WaitPassword) {
        if (!requestPassword()) {
            qDebug() << "HandleEvents: WaitPassword: Cancelled.";
            view->showFullScreen();
            state = WaitStickRemoval;
            showCancelled();
            finishRun();
            return;
        }
        qDebug() << "HandleEvents: WaitPassword: Ok.";
        view->showFullScreen();
        state = InitialState;
    }

    if (state == InitialState) {
        if (!installer->isUpdateAvailable()) {
            qDebug() << "HandleEvents: InitialState: Nothing done.";
            state = WaitStickRemoval;
            showNothingDone();
        } else {
            showInstallVersion();
            if (installer->installUpdate()) {
                qDebug() << "HandleEvents: InitialState: Successful.";
                state = WaitStickRemoval;
                showSuccess();
            } else {
                qDebug() << "HandleEvents: InitialState: Failed.";
                state = WaitStickRemoval;
                showFailure();
            }
        }
        finishRun();
        return;
    }

    if (state == WaitStickRemoval && event == StickRemovedEvent)
        startApplicationAndQuit();
}

bool InstallerViewManager::requestPassword()
{
    if (!fileUtils.fileExists(devicePath(kAdminDb))) {
        qDebug() << "Admin-DB not available.";
        return true;
    }
    // No stored password can be read yet: the step passes without asking.
    return true;
}

void InstallerViewManager::showInstallVersion()
{
    view->setTitle(kTitle);
    view->setButtonsVisible(false);
    view->clearOutput();
    view->setQuestion(QStringLiteral("Install version %1").arg(installer->updateVersion(), 0,
                                                               QLatin1Char(' ')));
}

void InstallerViewManager::showResult(const QString &outputLine, const QString &question)
{
    view->setTitle(kTitle);
    view->setButtonsVisible(false);
    view->appendOutput(outputLine);
    view->setQuestion(question);
}

void InstallerViewManager::showSuccess()
{
    showResult(QStringLiteral("Done"),
               QStringLiteral("Update was successful. Remove stick to start Corvane."));
}

void InstallerViewManager::showFailure()
{
    showResult(QStringLiteral("Failed."),
               QStringLiteral("Update was not successful. Remove stick to start Corvane."));
}

void InstallerViewManager::showNothingDone()
{
    showResult(QStringLiteral("Done"), QStringLiteral("Nothing done. Remove stick to start Corvane."));
}

void InstallerViewManager::showCancelled()
{
    showResult(QStringLiteral("Cancelled"),
               QStringLiteral("Nothing done. Remove stick to start Corvane."));
}

void InstallerViewManager::finishRun()
{
    installer->removeInstallerDirectory();
    installer->startStickWatch();
}

void InstallerViewManager::startApplicationAndQuit()
{
    installer->startApplication();
    QCoreApplication::exit(0);
}
