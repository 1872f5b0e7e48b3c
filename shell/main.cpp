// Entry of the installer: the log, the three long-lived objects, the on-screen
// keyboard and their wiring.
// The view manager takes over on the first pass of the event loop; the loop ends
// with exit code 0 once the stick has been pulled and the terminal application started.

#include "fileinstaller.h"
#include "inputpanelcontext.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "logmessagehandler.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    qInstallMessageHandler(corvane::logMessageHandler);

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager(nullptr, &view, &installer);

    QObject::connect(&view, &InstallerView::NotifyButton1Clicked, &manager,
                     &InstallerViewManager::onButton1Clicked);
    QObject::connect(&view, &InstallerView::NotifyButton2Clicked, &manager,
                     &InstallerViewManager::onButton2Clicked);
    QObject::connect(&installer, &FileInstaller::notifyStickRemoved, &manager,
                     &InstallerViewManager::onStickRemoved);

    // The on-screen keyboard watches every event of the application for taps into text
    // fields; the application owns it and destroys it last.
    auto *inputContext = new InputPanelContext(&manager, &app);
    app.installEventFilter(inputContext);

    QTimer::singleShot(0, &manager, &InstallerViewManager::onStartup);
    return app.exec();
}
