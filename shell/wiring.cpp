#include "wiring.h"

#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"

namespace corvane {

void wireParts(InstallerView &view, FileInstaller &installer, InstallerViewManager &manager)
{
    QObject::connect(&view, &InstallerView::NotifyButton1Clicked, &manager,
                     &InstallerViewManager::onButton1Clicked);
    QObject::connect(&view, &InstallerView::NotifyButton2Clicked, &manager,
                     &InstallerViewManager::onButton2Clicked);
    QObject::connect(&installer, &FileInstaller::notifyStickRemoved, &manager,
                     &InstallerViewManager::onStickRemoved);
}

} // namespace corvane
