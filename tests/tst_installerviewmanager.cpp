// Whole update runs against simulated devices, driving the real window, file
// installer and view manager, and checking what an operator and a technician see:
// the screens, the output pane, the files on the flash disk and the log on the stick.

#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "testsupport.h"
#include "ui_installerview.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTextBrowser>
#include <QtTest>

namespace {

using Run = WholeRun;

const QString kSuccess = QStringLiteral("Update was successful. Remove stick to start Corvane.");
const QString kFailure
    = QStringLiteral("Update was not successful. Remove stick to start Corvane.");
const QString kNothing = QStringLiteral("Nothing done. Remove stick to start Corvane.");

// The log lines of a run that carry no host path, with removal lines reduced to
// the device path they name.
QStringList deviceLines(const DeviceTree &tree)
{
    QStringList lines = tree.logLines();
    for (QString &line : lines)
        line.replace(tree.root(), QString());
    return lines;
}

// Runs the application's event loop as the shell does, until the manager ends it;
// returns its exit code (99 when nothing ended it in time).
int execUntilQuit(int timeoutMs)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(timeoutMs);
    return QCoreApplication::exec();
}

} // namespace

class TestInstallerViewManager : public QObject
{
    Q_OBJECT

private slots:
    void noUpdate();
    void successfulUpdate();
    void backupNeedsBothFolders_data();
    void backupNeedsBothFolders();
    void noInstalledApplication();
    void failingCopy();
    void stickRemovalStartsApplication();
    void stickAlreadyGone();
    void stickPulledAtThePasswordPage();
    void eventsOutsideTheirState();
};

void TestInstallerViewManager::noUpdate()
{
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    Run run(tree);
    QVERIFY(!run.view.isVisible());
    run.manager.onStartup();

    QVERIFY(run.view.isVisible());
    QCOMPARE(run.title(), QStringLiteral("Corvane Installer"));
    QCOMPARE(run.question(), kNothing);
    QCOMPARE(run.output(), QStringList{"Done"});
    QVERIFY(run.view.form().button1->isHidden());
    QVERIFY(run.view.form().button2->isHidden());
    QVERIFY(run.view.form().progressBar->isHidden());

    const QStringList lines = deviceLines(tree);
    QCOMPARE(lines.size(), 6);
    QVERIFY(lines[0].startsWith("Installer started at  QDateTime("));
    QVERIFY(lines[0].endsWith(" UTC Qt::UTC)"));
    QCOMPARE(
        lines.mid(1),
        (QStringList{"Admin-DB not available.", "System-DB not available.",
                     "HandleEvents: WaitPassword: Ok.", "HandleEvents: InitialState: Nothing done.",
                     "delete installer directory  true"}));
    QCOMPARE(run.manager.currentState(), int(InstallerViewManager::WaitStickRemoval));
}

void TestInstallerViewManager::successfulUpdate()
{
    DeviceTree tree({"--update-version", "5.0.7"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QByteArray newExe = tree.read("/FlashDisk/Corvane_Installer/Corvane/Corvane.exe");
    LogToDevice log(tree);
    Run run(tree);
    QStringList questionsSeen;
    bool barHiddenBeforeCopy = false;
    QList<bool> barVisibleDuringCopy;
    QObject::connect(&run.installer, &FileInstaller::NotifyWriteLine, &run.view, [&] {
        questionsSeen << run.question();
        barHiddenBeforeCopy = run.view.form().progressBar->isHidden();
    });
    QObject::connect(&run.installer, &FileInstaller::notifyProgress, &run.view,
                     [&](qint64 done, qint64 total) {
                         if (done > 0 && done < total)
                             barVisibleDuringCopy << run.view.form().progressBar->isVisible();
                     });
    run.manager.onStartup();

    QVERIFY(barHiddenBeforeCopy);
    QVERIFY(!barVisibleDuringCopy.isEmpty());
    QVERIFY(!barVisibleDuringCopy.contains(false));
    QVERIFY(run.view.form().progressBar->isVisible());
    QCOMPARE(run.view.form().progressBar->value(), run.view.form().progressBar->maximum());
    QCOMPARE(run.view.form().progressBar->text(), QStringLiteral("100%"));

    // The version screen stood while the files were copied.
    QCOMPARE(questionsSeen, QStringList{"Install version 5.0.7"});
    QCOMPARE(run.question(), kSuccess);
    QCOMPARE(run.output(), (QStringList{"Installing update to Corvane...", "Done"}));

    // Copied and replaced.
    QCOMPARE(tree.read("/FlashDisk/Corvane/Corvane.exe"), newExe);
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"), QByteArray("boot 5.0.7\n"));
    QCOMPARE(tree.read("/FlashDisk/System/fonts/arial.ttf"), QByteArray("font\n"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/lang/de.qm"), QByteArray("german texts 5.0.7\n"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/system/layout.dat"), QByteArray("layout 5.0.7\n"));
    QVERIFY(QFileInfo(tree.path("/FlashDisk/Corvane/service.sh")).isExecutable());
    // Kept.
    QCOMPARE(tree.read("/FlashDisk/System/keep.cfg"),
             QByteArray("device-specific, not in the update\n"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/remotecmd/remotecmd.log"),
             QByteArray("remote command log\n"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/system/calibration.dat"), QByteArray("calibration\n"));
    // Lists gone, in the installation and in the update alike.
    QVERIFY(!tree.exists("/FlashDisk/Corvane/list"));
    QCOMPARE(tree.listTree("/FlashDisk/Corvane/system"),
             (QStringList{"calibration.dat", "layout.dat"}));
    QCOMPARE(tree.listTree("/FlashDisk/Corvane/remotecmd"), QStringList{"remotecmd.log"});
    // Backup: files with a dot gone, the rest and the folders stay.
    QCOMPARE(
        tree.listTree("/FlashDisk/Corvane_Backup"),
        (QStringList{"Corvane", "Corvane/README", "Corvane/system", "System", "System/NOTES"}));
    // The update's application folder is removed, its system folder stays.
    QVERIFY(!tree.exists("/FlashDisk/Corvane_Installer/Corvane"));
    QVERIFY(tree.exists("/FlashDisk/Corvane_Installer/System/boot.cfg"));

    const QStringList lines = deviceLines(tree);
    const QStringList expected{
        "Admin-DB not available.",
        "System-DB not available.",
        "HandleEvents: WaitPassword: Ok.",
        "Starting update...",
        "Update: the device holds no trusted keys: no signature is required.",
        "removed file:  \"/FlashDisk/Corvane/remotecmd/pending.xml\"",
        "removed file:  \"/FlashDisk/Corvane/system/display.xml\"",
        "removed file:  \"/FlashDisk/Corvane/system/terminal.xml\"",
        "Clear available xmlFiles:  true",
        "removed file:  \"/FlashDisk/Corvane_Installer/Corvane/remotecmd/template.xml\"",
        "removed file:  \"/FlashDisk/Corvane_Installer/Corvane/system/terminal.xml\"",
        "Clear installer xmlFiles:  true",
        "removed file:  \"/FlashDisk/Corvane_Backup/Corvane/Corvane.exe.bak\"",
        "removed file:  \"/FlashDisk/Corvane_Backup/Corvane/system/terminal.xml\"",
        "removed file:  \"/FlashDisk/Corvane_Backup/System/boot.cfg\"",
        "Clear Backup:  true",
        "Installing update to Corvane...",
        "Status:  true",
        "HandleEvents: InitialState: Successful.",
        "delete installer directory  true",
    };
    // Removal lines of one folder come in directory order; compare them as sets.
    QStringList sortedLines = lines.mid(1);
    QStringList sortedExpected = expected;
    QCOMPARE(sortedLines.size(), sortedExpected.size());
    for (int i = 0; i < expected.size(); ++i) {
        if (!expected[i].startsWith("removed file:"))
            QCOMPARE(sortedLines[i], expected[i]);
    }
    sortedLines.sort();
    sortedExpected.sort();
    QCOMPARE(sortedLines, sortedExpected);
}

void TestInstallerViewManager::backupNeedsBothFolders_data()
{
    QTest::addColumn<QString>("missing");
    QTest::newRow("no system backup") << "/FlashDisk/Corvane_Backup/System";
    QTest::newRow("no application backup") << "/FlashDisk/Corvane_Backup/Corvane";
}

void TestInstallerViewManager::backupNeedsBothFolders()
{
    QFETCH(QString, missing);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(QDir(tree.path(missing)).removeRecursively());
    const QStringList before = tree.listTree("/FlashDisk/Corvane_Backup");
    LogToDevice log(tree);
    Run run(tree);
    run.manager.onStartup();
    QCOMPARE(run.question(), kSuccess);
    QCOMPARE(tree.listTree("/FlashDisk/Corvane_Backup"), before);
    for (const QString &line : tree.logLines())
        QVERIFY2(!line.startsWith("Clear Backup:"), qPrintable(line));
}

void TestInstallerViewManager::noInstalledApplication()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(QDir(tree.path("/FlashDisk/Corvane")).removeRecursively());
    LogToDevice log(tree);
    Run run(tree);
    run.manager.onStartup();
    QCOMPARE(run.question(), kSuccess);
    const QStringList lines = tree.logLines();
    for (const QString &line : lines)
        QVERIFY2(!line.startsWith("Clear available xmlFiles:"), qPrintable(line));
    QVERIFY(lines.contains("Clear installer xmlFiles:  true"));
    // The copy creates the installation.
    QVERIFY(tree.exists("/FlashDisk/Corvane/Corvane.exe"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.4.1\n"));
}

void TestInstallerViewManager::failingCopy()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString locked = tree.path("/FlashDisk/System/boot.cfg");
    if (!setImmutable(locked, true))
        QSKIP("the file system does not support the immutable attribute");
    LogToDevice log(tree);
    Run run(tree);
    run.manager.onStartup();
    setImmutable(locked, false);

    QCOMPARE(run.question(), kFailure);
    QCOMPARE(run.output(),
             (QStringList{"Installing update to Corvane...",
                          "Cannot write System/boot.cfg: Operation not permitted", "Failed."}));
    // All or nothing: the rest of the update did not go in either.
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"), QByteArray("boot 2.3.0\n"));
    QCOMPARE(tree.read("/FlashDisk/System/drivers/touch.dll"), QByteArray("touch driver 2.3.0\n"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.3.0\n"));
    const QStringList lines = tree.logLines();
    const int status = lines.indexOf("Status:  false");
    QVERIFY(status > 0);
    QCOMPARE(lines.mid(status),
             (QStringList{"Status:  false", "HandleEvents: InitialState: Failed.",
                          "delete installer directory  true"}));
    QVERIFY(!tree.exists("/FlashDisk/Corvane_Installer/Corvane"));
}

void TestInstallerViewManager::stickRemovalStartsApplication()
{
    DeviceTree tree({"--no-update", "--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    Run run(tree);
    QSignalSpy removed(&run.installer, &FileInstaller::notifyStickRemoved);
    run.manager.onStartup();

    // While the stick stays in, nothing happens.
    QTest::qWait(350);
    QCOMPARE(removed.count(), 0);
    QVERIFY(!tree.exists("/launched"));

    QVERIFY(tree.pullStick());
    QCOMPARE(execUntilQuit(3000), 0);
    QTRY_VERIFY_WITH_TIMEOUT(tree.exists("/launched"), 5000);
    QTest::qWait(300);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(LogToDevice::messages().count("Stick removed signal"), 1);
    // The line was written after the stick had gone: it is in no log file.
    QVERIFY(!tree.exists("/USB HD/Corvane_Installer"));
    QVERIFY(!tree.read("/pulled-stick/log.txt").contains("Stick removed signal"));
}

void TestInstallerViewManager::stickAlreadyGone()
{
    DeviceTree tree({"--no-update", "--launcher", "--no-stick"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    Run run(tree);
    QSignalSpy removed(&run.installer, &FileInstaller::notifyStickRemoved);
    run.manager.onStartup();
    QCOMPARE(run.question(), kNothing);
    QCOMPARE(execUntilQuit(3000), 0);
    QTRY_VERIFY_WITH_TIMEOUT(tree.exists("/launched"), 5000);
    QCOMPARE(removed.count(), 1);
    // No log file was made anywhere.
    for (const QString &entry : tree.listTree("/"))
        QVERIFY2(!entry.endsWith("log.txt"), qPrintable(entry));
}

void TestInstallerViewManager::stickPulledAtThePasswordPage()
{
    DeviceTree tree({"--password", "Geheim-1", "--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    Run run(tree);
    // Nobody touches the page; the stick goes while it waits.
    QObject::connect(&run.manager, &InstallerViewManager::notifyShowInputPanel, &run.view,
                     [&tree] { QTimer::singleShot(50, [&tree] { QVERIFY(tree.pullStick()); }); });
    run.manager.onStartup();

    QCOMPARE(run.output(), QStringList{"Cancelled"});
    QCOMPARE(run.question(), kNothing);
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.3.0\n"));
    QCOMPARE(execUntilQuit(3000), 0);
    QTRY_VERIFY_WITH_TIMEOUT(tree.exists("/launched"), 5000);
    const QStringList lines = LogToDevice::messages();
    QCOMPARE(lines.count("Stick removed while the password page is shown: cancelled."), 1);
    QVERIFY(lines.contains("HandleEvents: WaitPassword: Cancelled."));
}

void TestInstallerViewManager::eventsOutsideTheirState()
{
    DeviceTree tree({"--no-update", "--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    Run run(tree);
    InstallerViewManager::logStartLine(); // as the program does before any event
    // A stick-removal event before the start runs the start-up handling, nothing more.
    run.manager.onStickRemoved();
    QCOMPARE(run.manager.currentState(), int(InstallerViewManager::WaitStickRemoval));
    QCOMPARE(run.question(), kNothing);
    QTest::qWait(50);
    QVERIFY(!tree.exists("/launched"));
    const int linesBefore = tree.logLines().size();

    // Buttons in the result screen change nothing.
    run.manager.onButton1Clicked();
    run.manager.onButton2Clicked();
    QCOMPARE(run.manager.currentState(), int(InstallerViewManager::WaitStickRemoval));
    QCOMPARE(run.output(), QStringList{"Done"});
    QCOMPARE(tree.logLines().size(), linesBefore);
    QTest::qWait(300);
    QVERIFY(!tree.exists("/launched"));
}

QTEST_MAIN(TestInstallerViewManager)
#include "tst_installerviewmanager.moc"
