// Times one whole installation (FileInstaller::installUpdate) on the device tree that
// CORVANE_DEVICE_ROOT points at, and prints the milliseconds on standard output.

#include "fileinstaller.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    FileInstaller installer;
    QElapsedTimer timer;
    timer.start();
    const bool ok = installer.installUpdate();
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e6);
    return ok ? 0 : 1;
}
