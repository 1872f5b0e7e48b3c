// An update held back until its application proves itself: faulty applications undo it
// (both installed folders, the backups and the lists as before, the old application
// running, the reason in the history), a healthy one or --confirm makes it good, and the
// record of the pending update is read strictly.

#include "devicefiles.h"
#include "failuretable.h"
#include "pendingupdate.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

const QString kWork = QLatin1String(corvane::device::installWorkFolder);
const QString kStarts = QStringLiteral("/app-starts");

// An application that notes its start ("<name> <pid>") and then does what body says.
QByteArray application(const QByteArray &name, const QByteArray &body)
{
    return "#!/bin/sh\necho \"" + name + " $$\" >>\"$CORVANE_DEVICE_ROOT" + kStarts.toUtf8()
        + "\"\n" + body + '\n';
}

bool putProgram(const DeviceTree &tree, const QString &devicePath, const QByteArray &content)
{
    return tree.write(devicePath, content)
        && QFile::setPermissions(tree.path(devicePath),
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                     | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                     | QFile::ExeOther);
}

// The installed folders and the backups, as the technician would compare them.
QMap<QString, QByteArray> installed(const DeviceTree &tree)
{
    QMap<QString, QByteArray> all;
    for (const char *folder : {corvane::device::systemFolder, corvane::device::appFolder,
                               corvane::device::backupFolder}) {
        const auto print = fingerprint(tree.path(QLatin1String(folder)));
        for (auto it = print.cbegin(); it != print.cend(); ++it)
            all.insert(QLatin1String(folder) + '/' + it.key(), it.value());
    }
    return all;
}

// Applications started so far, by name, and the pids of those still running.
QStringList started(const DeviceTree &tree, QList<qint64> *running = nullptr)
{
    QStringList names;
    for (const QByteArray &line : tree.read(kStarts).split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 2)
            continue;
        names << QString::fromUtf8(parts[0]);
        if (running && ::kill(pid_t(parts[1].toLongLong()), 0) == 0)
            running->append(parts[1].toLongLong());
    }
    return names;
}

void stopApplications(const DeviceTree &tree)
{
    QList<qint64> running;
    started(tree, &running);
    for (qint64 pid : running)
        ::kill(pid_t(pid), SIGKILL);
}

} // namespace

class TestPendingUpdate : public QObject
{
    Q_OBJECT

private slots:
    void init() { confirmSeconds() = QStringLiteral("0"); }
    void cleanupTestCase() { confirmSeconds() = QStringLiteral("0"); }
    void faultyApplicationIsUndone_data();
    void faultyApplicationIsUndone();
    void goodApplicationIsConfirmed_data();
    void goodApplicationIsConfirmed();
    void nothingElseIsInstalledWhilePending();
    void failedSwitchPutsTheHeldBackFilesBack();
    void recordIsReadStrictly_data();
    void recordIsReadStrictly();

private:
    static bool plugStick(const DeviceTree &tree)
    {
        return QDir().rename(tree.root() + "/pulled-stick", tree.path("/USB HD/Corvane_Installer"));
    }
    // Runs the installer with the given window (installing the device's update, when
    // installs), pulls the stick once the run is over and returns the installer, still
    // running (it watches) or ended.
    static bool installAndPull(const DeviceTree &tree, int seconds, QProcess &installer,
                               bool installs = true)
    {
        confirmSeconds() = QString::number(seconds);
        if (!tree.write("/USB HD/Corvane_Installer/log.txt", {})) // this run's lines only
            return false;
        installer.setProcessChannelMode(QProcess::SeparateChannels);
        startInstaller(installer, tree.root());
        if (!installer.waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (!tree.logLines().contains("delete installer directory  true")) {
            if (t.elapsed() > 20000)
                return false;
            QTest::qWait(20);
        }
        return tree.logLines().contains("Status:  true") == installs && tree.pullStick();
    }
    static int runInstaller(const DeviceTree &tree, const QStringList &arguments,
                            QByteArray *errors = nullptr)
    {
        QProcess p;
        startInstaller(p, tree.root(), arguments);
        if (!p.waitForFinished(30000))
            return -1;
        if (errors)
            *errors = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
};

void TestPendingUpdate::faultyApplicationIsUndone_data()
{
    QTest::addColumn<QByteArray>("newApplication"); // empty: a link to nothing
    QTest::addColumn<bool>("restarts");
    QTest::addColumn<QString>("reason");
    QTest::newRow("exits 1 at once")
        << application("new", "exit 1") << false << "the application exited with code 1 after";
    QTest::newRow("killed by a signal after 5 s")
        << application("new", "sleep 5; kill -KILL $$") << false
        << "the application was ended by signal 9 (Killed) after 5.";
    QTest::newRow("runs, but the device restarts 3 times unconfirmed")
        << application("new", "exec sleep 60") << true
        << "the device started 3 times without a confirmation";
    QTest::newRow("a link to nothing")
        << QByteArray() << false
        << "the application could not be started (it is reached through a link)";
    QTest::newRow("not executable") << QByteArray("MZ not a program") << false
                                    << "the application could not be started (Permission denied";
}

void TestPendingUpdate::faultyApplicationIsUndone()
{
    QFETCH(QByteArray, newApplication);
    QFETCH(bool, restarts);
    QFETCH(QString, reason);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(
        putProgram(tree, "/FlashDisk/Corvane/Corvane.exe", application("old", "exec sleep 20")));
    const QString update = "/FlashDisk/Corvane_Installer/Corvane/Corvane.exe";
    QVERIFY(QFile::remove(tree.path(update)));
    if (newApplication.isEmpty())
        QVERIFY(QFile::link("nowhere.exe", tree.path(update)));
    else if (newApplication.startsWith("#!"))
        QVERIFY(putProgram(tree, update, newApplication));
    else
        QVERIFY(tree.write(update, newApplication));
    const auto before = installed(tree);

    QProcess installer;
    QVERIFY(installAndPull(tree, restarts ? 30 : 15, installer));
    QVERIFY(installed(tree) != before); // installed, held back, watched
    if (restarts) {
        // The device goes off during the window: the watch ends with it, the application
        // too; each start at boot counts, the third undoes the update.
        QTRY_VERIFY_WITH_TIMEOUT(started(tree).contains("new"), 10000);
        installer.kill();
        installer.waitForFinished();
        stopApplications(tree);
        for (int start = 1; start <= 3; ++start)
            QCOMPARE(runInstaller(tree, {"--recover-only"}), 0);
    } else {
        QVERIFY(installer.waitForFinished(20000));
        QCOMPARE(installer.exitCode(), 0);
        QVERIFY2(QString::fromUtf8(installer.readAllStandardError())
                     .contains("The last update was undone: " + reason),
                 "the service's journal says why");
    }
    QCOMPARE(installed(tree), before);
    QCOMPARE(tree.leftovers(), QStringList{"history"});
    QVERIFY(tree.read(kWork + "/history").contains(" undone: " + reason.toUtf8()));

    // The next stick's window says so first, and its log gets the history, once.
    QVERIFY(plugStick(tree));
    {
        LogToDevice log(tree);
        WholeRun run(tree);
        run.installer.recoverInterruptedInstallation(false);
        run.manager.onStartup();
        QVERIFY2(run.output().first().startsWith("The last update was undone: " + reason),
                 qPrintable(run.output().first()));
        QCOMPARE(tree.logLines().filter(QRegularExpression("^History: .* undone: ")).size(), 1);
        WholeRun again(tree);
        again.installer.recoverInterruptedInstallation(false);
        QVERIFY(again.installer.startNotices().isEmpty());
    }
    if (restarts) { // at boot the terminal's unit starts it; here a stick does
        QProcess next;
        QVERIFY(installAndPull(tree, 30, next, false));
        QVERIFY(next.waitForFinished(10000));
    }
    QList<qint64> running;
    QTRY_VERIFY_WITH_TIMEOUT(
        (running.clear(), started(tree, &running).last() == "old" && running.size() == 1), 5000);
    stopApplications(tree);
}

void TestPendingUpdate::goodApplicationIsConfirmed_data()
{
    QTest::addColumn<bool>("byCommand");
    QTest::newRow("runs for the window") << false;
    QTest::newRow("corvane-installer --confirm") << true;
}

void TestPendingUpdate::goodApplicationIsConfirmed()
{
    QFETCH(bool, byCommand);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(
        putProgram(tree, "/FlashDisk/Corvane/Corvane.exe", application("old", "exec sleep 20")));
    QVERIFY(putProgram(tree, "/FlashDisk/Corvane_Installer/Corvane/Corvane.exe",
                       application("new", "exec sleep 20")));
    QProcess installer;
    QVERIFY(installAndPull(tree, byCommand ? 60 : 2, installer));
    const auto after = installed(tree);
    QVERIFY(tree.leftovers().contains("pending"));
    QTRY_VERIFY_WITH_TIMEOUT(started(tree).contains("new"), 10000);
    QElapsedTimer clock;
    clock.start();
    if (byCommand) {
        QByteArray errors;
        QCOMPARE(runInstaller(tree, {"--confirm"}, &errors), 0);
        QVERIFY(errors.contains("confirmed by corvane-installer --confirm"));
    }
    QVERIFY(installer.waitForFinished(10000));
    QVERIFY(!byCommand || clock.elapsed() < 5000); // the watch ends at once too
    QCOMPARE(installer.exitCode(), 0);
    QCOMPARE(installed(tree), after);
    QCOMPARE(tree.leftovers(), QStringList{"history"});
    QVERIFY(tree.read(kWork + "/history").contains(" confirmed: "));
    QList<qint64> running;
    QCOMPARE(started(tree, &running), QStringList{"new"});
    QCOMPARE(running.size(), 1); // left running
    stopApplications(tree);
    QCOMPARE(runInstaller(tree, {"--confirm"}), 0); // nothing pending: nothing to do
}

void TestPendingUpdate::nothingElseIsInstalledWhilePending()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(putProgram(tree, "/FlashDisk/Corvane_Installer/Corvane/Corvane.exe",
                       application("new", "exec sleep 20")));
    QProcess installer;
    QVERIFY(installAndPull(tree, 30, installer));
    QTRY_VERIFY_WITH_TIMEOUT(started(tree).contains("new"), 10000);
    installer.kill();
    installer.waitForFinished();
    stopApplications(tree);
    // Another update arrives before the first is confirmed.
    QVERIFY(tree.write("/FlashDisk/Corvane_Installer/Corvane/readme.txt", "Corvane 2.5.0"));
    QVERIFY(plugStick(tree));
    const auto before = installed(tree);
    LogToDevice log(tree);
    WholeRun run(tree);
    run.installer.setConfirmWindow(30);
    run.installer.recoverInterruptedInstallation(false);
    run.manager.onStartup();
    const FailureRow &row
        = *std::find_if(failureTable().begin(), failureTable().end(), [](const FailureRow &r) {
              return r.reason == FailureReason(UpdateTransaction::FailureKind::Pending);
          });
    QVERIFY(run.output().contains(QString::fromUtf8(row.screen)));
    QCOMPARE(tree.logLines()
                 .filter(QRegularExpression("^Update refused: the last update \\(.+\\) is not yet "
                                            "confirmed; "))
                 .size(),
             1);
    QCOMPARE(installed(tree), before);
    QCOMPARE(
        tree.logLines().filter("is not yet confirmed: start 1 of 3 without a confirmation.").size(),
        1);
}

void TestPendingUpdate::failedSwitchPutsTheHeldBackFilesBack()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const auto before = installed(tree);
    if (!setImmutable(tree.path("/FlashDisk/System/boot.cfg"), true))
        QSKIP("the file system does not support the immutable attribute");
    {
        LogToDevice log(tree);
        WholeRun run(tree);
        run.installer.setConfirmWindow(30);
        run.installer.recoverInterruptedInstallation(false);
        run.manager.onStartup();
        QVERIFY(run.question().startsWith("Update was not successful"));
    }
    QVERIFY(setImmutable(tree.path("/FlashDisk/System/boot.cfg"), false));
    // The lists and backups it had moved aside are back, and nothing is pending.
    QCOMPARE(installed(tree), before);
    QCOMPARE(tree.leftovers(), QStringList());
}

void TestPendingUpdate::recordIsReadStrictly_data()
{
    using corvane::update::PendingRecord;
    PendingRecord r;
    r.since = 1796847328;
    r.starts = 2;
    r.from = "2.3.0";
    r.to = "2.4 beta";
    r.versionRecord = PendingRecord::VersionRecord::Held;
    r.reason = QStringLiteral("exited with code 1 after 2.3 s");
    r.folders.push_back({"Corvane/list dir", {{1, 2}, {3, 400000000}}});
    r.folders.push_back({QByteArray(), {{5, 0}, {6, 0}}});
    const QByteArray good = corvane::update::pendingText(r);
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("sound");
    QTest::newRow("as written") << good << true;
    QTest::newRow("a byte changed") << QByteArray(good).replace("starts 2", "starts 0") << false;
    QTest::newRow("cut short") << good.left(good.size() - 10) << false;
    QTest::newRow("no line feed at the end") << good.chopped(1) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestPendingUpdate::recordIsReadStrictly()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, sound);
    corvane::update::PendingRecord r;
    QCOMPARE(corvane::update::parsePending(text, &r), sound);
    if (sound) {
        QCOMPARE(corvane::update::pendingText(r), text);
        QCOMPARE(r.reason, QStringLiteral("exited with code 1 after 2.3 s"));
        QCOMPARE(r.folders.size(), size_t(2));
    }
}

QTEST_MAIN(TestPendingUpdate)
#include "tst_pendingupdate.moc"
