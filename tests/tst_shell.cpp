// The installer as a process: the log file on the stick, the exit code and the start
// of the terminal application once the stick is pulled.

#include "devicefiles.h"
#include "logmessagehandler.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    void wholeRunEndsWithLaunchAndExitCodeZero();
    void withoutStickNothingIsLogged_data();
    void withoutStickNothingIsLogged();
    void logLinesAppendAndShareOneFormat();
    void logDroppedWhileStickFolderMissing();
    void recoverOnlyNeedsNoDisplayAndStartsNothing();
    void recoverOnlyExitCode_data();
    void recoverOnlyExitCode();
    void secondInstallerLeavesAtOnce();
    void recoverOnlyWaitsForAShortHold();
    void relativeDeviceRootIsRefused();

private:
    static void start(QProcess &process, const DeviceTree &tree, const QStringList &arguments = {},
                      const QString &platform = QStringLiteral("offscreen"))
    {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        startInstaller(process, tree.root(), arguments, {}, platform);
    }
};

void TestShell::wholeRunEndsWithLaunchAndExitCodeZero()
{
    DeviceTree tree({"--no-update", "--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(tree.write("/USB HD/Corvane_Installer/log.txt", "line of an earlier run\n"));
    QProcess process;
    start(process, tree);
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(tree.logLines().contains("delete installer directory  true"), 10000);
    QTest::qWait(300);
    QCOMPARE(process.state(), QProcess::Running); // waits for the stick
    QVERIFY(!tree.exists("/launched"));

    QVERIFY(tree.pullStick());
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(tree.exists("/launched"), 5000);

    const QStringList lines = tree.logLines();
    QCOMPARE(lines.first(), QStringLiteral("line of an earlier run"));
    QVERIFY(lines[1].startsWith("Installer started at "));
    QCOMPARE(lines.last(), QStringLiteral("delete installer directory  true"));
}

void TestShell::withoutStickNothingIsLogged_data()
{
    QTest::addColumn<bool>("applicationMissing");
    QTest::newRow("application installed") << false;
    // Nothing to start: the run still ends as always, nothing is made in its place.
    QTest::newRow("application missing") << true;
}

void TestShell::withoutStickNothingIsLogged()
{
    QFETCH(bool, applicationMissing);
    DeviceTree tree({"--no-update", "--no-stick", "--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    if (applicationMissing)
        QVERIFY(QFile::remove(tree.path("/FlashDisk/Corvane/Corvane.exe")));
    QProcess process;
    start(process, tree);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    if (applicationMissing) {
        QVERIFY(!tree.exists("/FlashDisk/Corvane/Corvane.exe"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(tree.exists("/launched"), 5000);
    }
    for (const QString &entry : tree.listTree("/"))
        QVERIFY2(!entry.endsWith("log.txt"), qPrintable(entry));
}

void TestShell::logLinesAppendAndShareOneFormat()
{
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    corvane::setLogDevice(tree.device());
    qInstallMessageHandler(corvane::logMessageHandler);
    qDebug() << "first run" << 1 << true;
    qInstallMessageHandler(nullptr);
    qInstallMessageHandler(corvane::logMessageHandler);
    qDebug() << "same text";
    qWarning() << "same text";
    qCritical() << QStringLiteral("quoted") << QByteArray("bytes");
    qInstallMessageHandler(nullptr);
    QCOMPARE(tree.logLines(),
             (QStringList{"first run 1 true", "same text", "same text", "\"quoted\" \"bytes\""}));
}

void TestShell::logDroppedWhileStickFolderMissing()
{
    DeviceTree tree({"--no-update", "--no-stick"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    corvane::setLogDevice(tree.device());
    qInstallMessageHandler(corvane::logMessageHandler);
    qDebug() << "dropped";
    QVERIFY(QDir().mkpath(tree.path("/USB HD/Corvane_Installer")));
    qDebug() << "kept";
    qInstallMessageHandler(nullptr);
    QCOMPARE(tree.logLines(), QStringList{"kept"});
    QStringList logs;
    for (const QString &entry : tree.listTree("/"))
        if (entry.endsWith("log.txt"))
            logs << entry;
    QCOMPARE(logs, QStringList{"USB HD/Corvane_Installer/log.txt"});
}

void TestShell::recoverOnlyNeedsNoDisplayAndStartsNothing()
{
    // At boot: no display (a window would need one and abort), no password, no update
    // touched, nothing started.
    DeviceTree tree({"--launcher", "--password", "secret"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const auto flash = fingerprint(tree.path("/FlashDisk"));
    QProcess process;
    start(process, tree, {"--recover-only"}, "xcb");
    process.setProcessChannelMode(QProcess::MergedChannels);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QStringList lines = tree.logLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("Installer started at "), qPrintable(lines[0]));
    QCOMPARE(lines[1], QStringLiteral("Recovery: no interrupted installation."));
    QTest::qWait(300);
    QVERIFY(!tree.exists("/launched"));
    auto after = fingerprint(tree.path("/FlashDisk"));
    const QString work = QFileInfo(QLatin1String(corvane::device::installWorkFolder)).fileName();
    after.remove(work); // its lock file and a count of no wrong entries are all it adds
    after.remove(work + '/' + QLatin1String(corvane::device::installLockName));
    QCOMPARE(tree.read(QLatin1String(corvane::device::installWorkFolder) + '/'
                       + QLatin1String(corvane::device::wrongEntryCountName)),
             QByteArray("0\n"));
    after.remove(work + '/' + QLatin1String(corvane::device::wrongEntryCountName));
    QCOMPARE(after, flash);
}

void TestShell::recoverOnlyExitCode_data()
{
    QTest::addColumn<QString>("left"); // in the work folder; "!": cannot be removed
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line"); // the start of the last log line
    // At boot, 1 keeps the terminal application from starting (its unit requires this one).
    QTest::newRow("refused journal") << "journal" << 1
                                     << "Recovery: the last installation could not be completed "
                                        "or undone: .corvane-install/journal: refused (";
    QTest::newRow("staged files of an unfinished installation")
        << "staging/1" << 0 << "Recovery: removed the staged files of an unfinished installation";
    // A finished switch leaves its mark: its replaced files lie in staging/ when exchanged.
    QTest::newRow("old files of a finished installation")
        << "switched staging/1" << 0 << "Recovery: removed the replaced files of the last update.";
    QTest::newRow("old file that cannot be removed")
        << "!old/1" << 0 << "Recovery: files left by the last installation in .corvane-install";
}

void TestShell::recoverOnlyExitCode()
{
    QFETCH(QString, left);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString work = QLatin1String(corvane::device::installWorkFolder);
    QVERIFY(WorkFolder(tree.path(work)).open());
    const bool stays = left.startsWith('!');
    left.remove('!');
    for (const QString &entry : left.split(' '))
        QVERIFY(tree.write(work + '/' + entry, "left\n"));
    if (stays && !setImmutable(tree.path(work + '/' + left.split(' ').last()), true))
        QSKIP("the file system does not support the immutable attribute");
    QProcess process;
    start(process, tree, {"--recover-only"});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(tree.logLines().last().startsWith(line), qPrintable(tree.logLines().last()));
}

void TestShell::secondInstallerLeavesAtOnce()
{
    // The first one holds the device from its start: here it waits on its password page.
    DeviceTree tree({"--launcher", "--password", "secret"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QProcess first;
    start(first, tree);
    QTRY_VERIFY_WITH_TIMEOUT(tree.logLines().contains("Enter Password..."), 10000);
    const auto flash = fingerprint(tree.path("/FlashDisk"));

    QProcess second;
    start(second, tree);
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitCode(), 1);
    // Its own start line first, then why it leaves.
    const QStringList lines = tree.logLines();
    QCOMPARE(lines.last(), QStringLiteral("Another installer is running."));
    QVERIFY2(lines[lines.size() - 2].startsWith("Installer started at "),
             qPrintable(lines[lines.size() - 2]));
    QCOMPARE(fingerprint(tree.path("/FlashDisk")), flash);
    QTest::qWait(300);
    QVERIFY(!tree.exists("/launched"));
    QCOMPARE(first.state(), QProcess::Running);
    first.kill();
    first.waitForFinished(5000);
}

void TestShell::recoverOnlyWaitsForAShortHold()
{
    // An application an installer has just started holds the lock until it runs: a start
    // at boot meanwhile must still recover, not fail.
    DeviceTree tree({"--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString work = QLatin1String(corvane::device::installWorkFolder);
    QVERIFY(WorkFolder(tree.path(work)).open());
    const QByteArray lockPath = QFile::encodeName(
        tree.path(work + '/' + QLatin1String(corvane::device::installLockName)));
    const int held = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(held >= 0);
    QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
    QProcess process;
    start(process, tree, {"--recover-only"});
    QVERIFY(!process.waitForFinished(1000));
    ::close(held);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(tree.logLines().last(), QStringLiteral("Recovery: no interrupted installation."));
}

void TestShell::relativeDeviceRootIsRefused()
{
    // Relative to wherever the program was started: refused before anything is touched.
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    startInstaller(process, QStringLiteral("relative/root"), {"--recover-only"});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAll().contains("CORVANE_DEVICE_ROOT must be an absolute path"));
}

QTEST_GUILESS_MAIN(TestShell)
#include "tst_shell.moc"
