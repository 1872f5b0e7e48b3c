#pragma once
// How the three long-lived objects of a run are connected: the window's two buttons
// and the file installer's stick removal reach the view manager. The program and the
// tests that run a whole installation in their own process wire them the same way.

class FileInstaller;
class InstallerView;
class InstallerViewManager;

namespace corvane {

void wireParts(InstallerView &view, FileInstaller &installer, InstallerViewManager &manager);

} // namespace corvane
