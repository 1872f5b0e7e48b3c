// Entry of the installer: the log, the three long-lived objects, the on-screen
// keyboard and their wiring.
// The view manager takes over on the first pass of the event loop; the loop ends
// with exit code 0 once the stick has been pulled and the terminal application started.
//
// Before any of that, the installer takes the device's one-installer lock and settles
// an installation that a power cut interrupted. "--recover-only" does just that and
// ends: a device runs it at boot, before the terminal application, with no display.
// "--confirm" confirms an update that is still pending (pendingupdate.h).
//
// An update is held back until the application has run for CORVANE_CONFIRM_SECONDS
// (default 60; 0: nothing is held back). Then the run ends differently: once the stick
// is pulled the window goes (the display is the application's), and this process stays
// to watch the application for the rest of the window, without a display.

#include "entrycount.h"
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

#include <unistd.h>

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

// Exit codes of a run that could not take the device (docs/update-engine.md).
constexpr int kNotTaken = 1;
constexpr int kFlashDiskUnsafe = 3;

// The work folder made trustworthy and the lock taken (0), or the exit code: the caller
// then ends at once, with nothing recovered or installed. A busy lock is tried again for
// waitMs: a program that an installer has just started holds it until it runs. echo: the
// refusal of the flash disk goes to the standard error too (the program's handler does not
// copy lines there).
int takeDevice(FileInstaller &installer, InstallerLock &lock, int waitMs = 0, bool echo = false)
{
    if (!installer.openWorkFolder()) {
        if (const QString refusal = installer.workFolder().flashDiskRefusal(); !refusal.isEmpty()) {
            if (echo)
                std::fprintf(stderr, "%s\n", qPrintable(refusal));
            return kFlashDiskUnsafe;
        }
        qDebug() << "The installer's work folder cannot be used; nothing was done.";
        return kNotTaken;
    }
    constexpr int kRetryMs = 50;
    for (int waited = 0;; waited += kRetryMs) {
        const InstallerLock::Result result = lock.acquire();
        if (result == InstallerLock::Result::Acquired) {
            // Made at every start (the boot's too), while the flash disk still has inodes: a
            // user who uses them up later cannot keep the right password from being counted.
            EntryCount(installer.workFolder()).keepFile();
            return 0;
        }
        if (result == InstallerLock::Result::Failed)
            break;
        if (waited >= waitMs) {
            qDebug() << "Another installer is running.";
            return kNotTaken;
        }
        ::usleep(kRetryMs * 1000);
    }
    qDebug() << "The installer's lock cannot be taken; nothing was done.";
    return kNotTaken;
}

// How long --recover-only and --confirm wait for a lock that is busy: a start at boot must
// not fail because the application an installer just started still holds it for a moment.
constexpr int kBusyLockWaitMs = 5000;
constexpr int kDefaultConfirmSeconds = 60;
constexpr int kMaxConfirmSeconds = 24 * 3600;

// CORVANE_CONFIRM_SECONDS: whole seconds, 0 to turn holding back off. Anything else is
// told and the default holds.
int confirmWindow()
{
    const QByteArray text = qgetenv("CORVANE_CONFIRM_SECONDS").trimmed();
    if (text.isEmpty())
        return kDefaultConfirmSeconds;
    bool ok = false;
    const int seconds = text.toInt(&ok);
    if (ok && seconds >= 0 && seconds <= kMaxConfirmSeconds && QByteArray::number(seconds) == text)
        return seconds;
    std::fprintf(stderr,
                 "corvane-installer: CORVANE_CONFIRM_SECONDS must be 0 to %d seconds; %d "
                 "holds\n",
                 kMaxConfirmSeconds, kDefaultConfirmSeconds);
    return kDefaultConfirmSeconds;
}

// --recover-only, --confirm: no window; every line goes to standard error too.
int withoutWindow(int argc, char **argv, const corvane::DeviceRoot &root, bool confirm)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(logAndEcho);
    // Each run's lines in the log on the stick begin with it, this one's too.
    InstallerViewManager::logStartLine();
    FileInstaller installer(nullptr, root);
    installer.setConfirmWindow(confirmWindow());
    installer.setEchoToStandardError(false);
    InstallerLock lock(installer.workFolder());
    if (const int code = takeDevice(installer, lock, kBusyLockWaitMs); code != 0)
        return code;
    // A confirmation is no start of the device: it counts nothing.
    const bool settled = installer.recoverInterruptedInstallation(!confirm, !confirm);
    if (confirm)
        return settled ? installer.confirmUpdate() : 1;
    return settled ? 0 : 1;
}

// The window is gone: the application is watched for the rest of the confirmation window.
int watch(int argc, char **argv, const corvane::DeviceRoot &root, int seconds)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(logAndEcho);
    FileInstaller installer(nullptr, root);
    installer.setConfirmWindow(seconds);
    installer.setEchoToStandardError(false);
    if (!installer.openWorkFolder())
        return installer.workFolder().flashDiskRefusal().isEmpty() ? kNotTaken : kFlashDiskUnsafe;
    return installer.watchApplication();
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
    if (hasOption(argc, argv, "--recover-only") || hasOption(argc, argv, "--confirm"))
        return withoutWindow(argc, argv, root, hasOption(argc, argv, "--confirm"));

    const int seconds = confirmWindow();
    bool watched = false;
    {
        QApplication app(argc, argv);
        qInstallMessageHandler(corvane::logMessageHandler);
        // First, so that the lines of the checks below (the lock, the recovery) follow it.
        InstallerViewManager::logStartLine();
        InstallerView view;
        FileInstaller installer(nullptr, root);
        installer.setConfirmWindow(seconds);
        InstallerLock lock(installer.workFolder());
        if (const int code = takeDevice(installer, lock, 0, true); code != 0)
            return code;
        installer.recoverInterruptedInstallation(false);
        InstallerViewManager manager(nullptr, &view, &installer);
        manager.setStartLineLogged();

        corvane::wireParts(view, installer, manager);

        // The on-screen keyboard watches every event of the application for taps into text
        // fields; the application owns it and destroys it last.
        auto *inputContext = new InputPanelContext(&manager, &app);
        app.installEventFilter(inputContext);

        QTimer::singleShot(0, &manager, &InstallerViewManager::onStartup);
        const int code = app.exec();
        watched = code == 0 && installer.applicationToBeWatched();
        if (!watched)
            return code;
        // The lock goes with this scope: root may confirm meanwhile (--confirm), and the
        // watch takes it again for its decision.
    }
    return watch(argc, argv, root, seconds);
}
