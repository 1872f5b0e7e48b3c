// Entry of the installer: the log, the three long-lived objects, the on-screen
// keyboard and their wiring.
// The view manager takes over on the first pass of the event loop; the loop ends
// with exit code 0 once the stick has been pulled and the terminal application started.
//
// Before any of that, the installer takes the device's one-installer lock and settles
// an installation that a power cut interrupted. "--recover-only" does just that and
// ends: a device runs it at boot, before the terminal application, with no display.

#include "fileinstaller.h"
#include "inputpanelcontext.h"
#include "installerlock.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "logmessagehandler.h"
#include "wiring.h"

#include <QApplication>
#include <QDebug>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

bool hasOption(int argc, char **argv, const char *option)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0)
            return true;
    }
    return false;
}

// At boot the stick is rarely there: the lines also go to standard error, where the
// service manager keeps them.
void logAndEcho(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    corvane::logMessageHandler(type, context, message);
    const QByteArray line = message.toUtf8() + '\n';
    // Nothing to do when standard error is gone: the log on the stick has the line.
    (void)std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

// The work folder made trustworthy and the lock taken, or false: the caller then ends at
// once, with nothing recovered or installed.
bool takeDevice(FileInstaller &installer, InstallerLock &lock)
{
    if (!installer.openWorkFolder()) {
        qDebug() << "The installer's work folder cannot be used; nothing was done.";
        return false;
    }
    switch (lock.acquire()) {
    case InstallerLock::Result::Acquired:
        return true;
    case InstallerLock::Result::Busy:
        qDebug() << "Another installer is running.";
        return false;
    case InstallerLock::Result::Failed:
        break;
    }
    qDebug() << "The installer's lock cannot be taken; nothing was done.";
    return false;
}

int recoverOnly(int argc, char **argv, const corvane::DeviceRoot &root)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(logAndEcho);
    // Each run's lines in the log on the stick begin with it, this one's too.
    InstallerViewManager::logStartLine();
    FileInstaller installer(nullptr, root);
    InstallerLock lock(installer.workFolder());
    if (!takeDevice(installer, lock))
        return 1;
    return installer.recoverInterruptedInstallation(true) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // The one place that reads where the device is; everything else is handed it.
    corvane::DeviceRoot root;
    if (!corvane::DeviceRoot::fromEnvironment(&root)) {
        std::fputs("corvane-installer: CORVANE_DEVICE_ROOT must be an absolute path\n", stderr);
        return 2;
    }
    corvane::setLogDevice(root);
    if (hasOption(argc, argv, "--recover-only"))
        return recoverOnly(argc, argv, root);

    QApplication app(argc, argv);
    qInstallMessageHandler(corvane::logMessageHandler);
    // First, so that the lines of the checks below (the lock, the recovery) follow it.
    InstallerViewManager::logStartLine();
    InstallerView view;
    FileInstaller installer(nullptr, root);
    InstallerLock lock(installer.workFolder());
    if (!takeDevice(installer, lock))
        return 1;
    installer.recoverInterruptedInstallation(false);
    InstallerViewManager manager(nullptr, &view, &installer);
    manager.setStartLineLogged();

    corvane::wireParts(view, installer, manager);

    // The on-screen keyboard watches every event of the application for taps into text
    // fields; the application owns it and destroys it last.
    auto *inputContext = new InputPanelContext(&manager, &app);
    app.installEventFilter(inputContext);

    QTimer::singleShot(0, &manager, &InstallerViewManager::onStartup);
    return app.exec();
}
