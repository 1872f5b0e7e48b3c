// The file installer's steps on their own: the update check, the clearing of list and
// backup files, and the stick watch.

#include "devicefiles.h"
#include "fileinstaller.h"
#include "testsupport.h"
#include "treeremoval.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class TestFileInstaller : public QObject
{
    Q_OBJECT

private slots:
    void updateAvailable_data();
    void updateAvailable();
    void secondRunFindsNoUpdate();
    void failedRemovalIsNotHiddenByLaterOnes();
    void missingAndFolderEntriesInLists();
    void cleanUpStaysInside_data();
    void cleanUpStaysInside();
    void stickWatch();
    void stickWatchLooksAtOnceAfterTheRemoval();
    void progressCoversBothFolders_data();
    void progressCoversBothFolders();
    void applicationThatCannotStartIsLogged_data();
    void applicationThatCannotStartIsLogged();
    void onlyRootsApplicationIsStarted_data();
    void onlyRootsApplicationIsStarted();
    void topFolderLinkedToTheFlashDisk_data();
    void topFolderLinkedToTheFlashDisk();
    void updateFolderSwappedDuringTheRun();
    void deepTreeIsRemoved();
};

namespace {
// Runs a shell command as a local user without rights (nobody), who may write the flash
// disk's folder as on the device (sticky, open to all). The exit code, or -1 when that
// user cannot be had here.
int asLocalUser(const DeviceTree &tree, const QString &command)
{
    const QByteArray root = QFile::encodeName(tree.root());
    if (::chmod(root.constData(), 0755) != 0
        || ::chmod(QFile::encodeName(tree.path("/FlashDisk")).constData(), 01777) != 0)
        return -1;
    QProcess shell;
    shell.setWorkingDirectory(tree.path("/FlashDisk"));
    shell.start("setpriv",
                {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", command});
    if (!shell.waitForFinished(10000) || shell.exitStatus() != QProcess::NormalExit)
        return -1;
    // setpriv itself refused (no such right here): 127 and more.
    return shell.exitCode() >= 126 ? -1 : shell.exitCode();
}
} // namespace

void TestFileInstaller::updateAvailable_data()
{
    QTest::addColumn<QString>("remove");
    QTest::addColumn<bool>("available");
    QTest::newRow("both folders") << QString() << true;
    QTest::newRow("no system folder") << "/FlashDisk/Corvane_Installer/System" << false;
    QTest::newRow("no application folder") << "/FlashDisk/Corvane_Installer/Corvane" << false;
    QTest::newRow("application folder is a link") << "link" << false;
}

void TestFileInstaller::updateAvailable()
{
    QFETCH(QString, remove);
    QFETCH(bool, available);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    if (remove == "link") {
        const QString app = tree.path("/FlashDisk/Corvane_Installer/Corvane");
        QVERIFY(QDir(app).removeRecursively() && QFile::link("../System", app));
    } else if (!remove.isEmpty()) {
        QVERIFY(QDir(tree.path(remove)).removeRecursively());
    }
    FileInstaller installer(nullptr, tree.device());
    QCOMPARE(installer.isUpdateAvailable(), available);
}

void TestFileInstaller::secondRunFindsNoUpdate()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    FileInstaller installer(nullptr, tree.device());
    QVERIFY(installer.isUpdateAvailable());
    QVERIFY(installer.installUpdate());
    QVERIFY(installer.removeInstallerDirectory());
    QVERIFY(!installer.isUpdateAvailable());
    QVERIFY(tree.exists("/FlashDisk/Corvane_Installer/System"));
    // Removing it again is no failure.
    QVERIFY(installer.removeInstallerDirectory());
}

void TestFileInstaller::failedRemovalIsNotHiddenByLaterOnes()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    // Several candidates: whichever comes first in the walk, one fails and others succeed.
    QVERIFY(tree.write("/FlashDisk/Corvane/remotecmd/a.xml", "a"));
    QVERIFY(tree.write("/FlashDisk/Corvane/remotecmd/z.xml", "z"));
    const QString locked = tree.path("/FlashDisk/Corvane/remotecmd/pending.xml");
    if (!setImmutable(locked, true))
        QSKIP("the file system does not support the immutable attribute");
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    const bool status = installer.installUpdate();
    setImmutable(locked, false);

    QVERIFY(!status);
    QVERIFY(!tree.exists("/FlashDisk/Corvane/remotecmd/a.xml"));
    QVERIFY(!tree.exists("/FlashDisk/Corvane/remotecmd/z.xml"));
    QVERIFY(tree.exists("/FlashDisk/Corvane/remotecmd/pending.xml"));
    const QStringList lines = tree.logLines();
    QCOMPARE(lines.count("error - removed file:  \"" + locked + "\""), 1);
    QVERIFY(lines.contains("Clear available xmlFiles:  false"));
    QVERIFY(lines.contains("Clear installer xmlFiles:  false")); // the running status
    QCOMPARE(lines.last(), QStringLiteral("Status:  false"));
    // The copy still ran.
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"), QByteArray("boot 2.4.1\n"));
}

void TestFileInstaller::missingAndFolderEntriesInLists()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(QDir(tree.path("/FlashDisk/Corvane/remotecmd")).removeRecursively());
    QVERIFY(QDir(tree.path("/FlashDisk/Corvane/list")).removeRecursively());
    QVERIFY(QDir().mkpath(tree.path("/FlashDisk/Corvane/system/archive.xml/inner")));
    QVERIFY(QDir(tree.path("/FlashDisk/Corvane_Installer/Corvane/remotecmd")).removeRecursively());
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    QVERIFY(installer.installUpdate());
    const QStringList lines = tree.logLines();
    QVERIFY(lines.contains("Clear available xmlFiles:  true"));
    QVERIFY(lines.contains("Clear installer xmlFiles:  true"));
    // A folder whose name matches stays, with what is below it.
    QVERIFY(QFileInfo(tree.path("/FlashDisk/Corvane/system/archive.xml/inner")).isDir());
    for (const QString &line : lines) {
        QVERIFY2(!line.contains("/FlashDisk/Corvane/remotecmd"), qPrintable(line));
        QVERIFY2(!line.contains("archive.xml"), qPrintable(line));
        QVERIFY2(!line.startsWith("error"), qPrintable(line));
    }
}

void TestFileInstaller::cleanUpStaysInside_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("remotecmd leads to the system folder") << "relative link";
    QTest::newRow("remotecmd leads to a folder elsewhere") << "absolute link";
    QTest::newRow("list leads to the system folder") << "list link";
    QTest::newRow("names that are not UTF-8") << "bytes";
}

// The xml clean-up removes what lies in the list folders and nothing else, whatever the
// update holds; the names it removes reach the log as their bytes.
void TestFileInstaller::cleanUpStaysInside()
{
    QFETCH(QString, kind);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString update = tree.path("/FlashDisk/Corvane_Installer/Corvane");
    // xml files that no clean-up may reach: in the device's system folder, where a link
    // of the update leads ("../../System"), where the same link leads once installed, and
    // in a folder outside the device.
    const QStringList kept{"/FlashDisk/System/device.xml", "/System/device.xml",
                           "/outside/secret.xml"};
    for (const QString &keep : kept)
        QVERIFY(tree.write(keep, "keep"));
    const QByteArray root = QFile::encodeName(tree.root());
    const QByteArray installedSystem = root + "/FlashDisk/Corvane/system/";
    const QList<QByteArray> oddNames{installedSystem + "inst_\xc3_y.xml",
                                     installedSystem + "K\xc3\xa4se.xml",
                                     QFile::encodeName(update) + "/remotecmd/bad_\xff_x.xml"};
    if (kind == "relative link" || kind == "absolute link") {
        QVERIFY(QDir(update + "/remotecmd").removeRecursively());
        QVERIFY(QFile::link(kind == "relative link" ? "../../System" : tree.path("/outside"),
                            update + "/remotecmd"));
        // Nothing in the way: the link is installed, as links are.
        QVERIFY(QDir(tree.path("/FlashDisk/Corvane/remotecmd")).removeRecursively());
    } else if (kind == "list link") {
        QVERIFY(QDir(update + "/list").removeRecursively());
        QVERIFY(QFile::link("../../System", update + "/list"));
    } else {
        for (const QByteArray &name : oddNames) {
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
    }
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    QVERIFY(installer.installUpdate());
    // A later run meets what this one installed.
    QVERIFY(installer.installUpdate());
    if (kind.endsWith("link"))
        QCOMPARE(QFileInfo(tree.path("/FlashDisk/Corvane/remotecmd")).isSymLink(),
                 kind != "list link");

    for (const QString &keep : kept)
        QCOMPARE(tree.read(keep), QByteArray("keep"));
    const QByteArray text = tree.read("/USB HD/Corvane_Installer/log.txt");
    QVERIFY2(text.contains("Clear installer xmlFiles:  true"), text.constData());
    if (kind == "list link") // removed as a link, so never installed
        QVERIFY(!tree.exists("/FlashDisk/Corvane/list"));
    if (kind == "bytes") {
        struct stat st;
        for (const QByteArray &name : oddNames)
            QVERIFY2(::lstat(name.constData(), &st) != 0, name.constData());
        // UTF-8 names as they are, other bytes written out.
        QVERIFY2(text.contains("removed file:  \"" + installedSystem + "K\xc3\xa4se.xml\"\n"),
                 text.constData());
        QVERIFY2(text.contains("removed file:  \"" + installedSystem + "inst_\\xC3_y.xml\"\n"),
                 text.constData());
        QVERIFY(text.contains("/remotecmd/bad_\\xFF_x.xml\"\n"));
        QVERIFY(!text.contains("error"));
    }
}

void TestFileInstaller::stickWatch()
{
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    QSignalSpy removed(&installer, &FileInstaller::notifyStickRemoved);
    installer.startStickWatch();
    QTest::qWait(450);
    QCOMPARE(removed.count(), 0);

    // A stick folder that turns into a file is gone as well.
    QVERIFY(QDir(tree.path("/USB HD/Corvane_Installer")).removeRecursively());
    QVERIFY(tree.write("/USB HD/Corvane_Installer", "not a folder"));
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 1000);
    QTest::qWait(350);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(LogToDevice::messages().count("Stick removed signal"), 1);
}

// A stick pulled before the result screen ends the run at the first pass of the event loop,
// not a poll interval later, and not before the removal of the replaced files has logged
// what it could not remove.
void TestFileInstaller::stickWatchLooksAtOnceAfterTheRemoval()
{
    DeviceTree tree({"--no-stick"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log;
    FileInstaller installer(nullptr, tree.device());
    const QString stays = QLatin1String(corvane::device::installWorkFolder) + "/old/stays";
    bool locked = false;
    connect(&installer, &FileInstaller::notifyProgress, this, [&](qint64 done, qint64 total) {
        if (done == total - 1) // all staged: the last byte waits for the switch
            locked = tree.write(stays, "x") && setImmutable(tree.path(stays), true);
    });
    QVERIFY(installer.installUpdate());
    if (!locked)
        QSKIP("the file system does not support the immutable attribute");
    QSignalSpy removed(&installer, &FileInstaller::notifyStickRemoved);
    installer.startStickWatch();
    QCOMPARE(removed.count(), 0); // not from inside the caller's own handling
    QCoreApplication::processEvents();
    QCOMPARE(removed.count(), 1);
    setImmutable(tree.path(stays), false);
    const QStringList lines = LogToDevice::messages();
    const int signal = lines.indexOf("Stick removed signal");
    QVERIFY(signal > 0);
    QVERIFY2(lines.mid(0, signal).join('\n').contains("/old/stays"), qPrintable(lines.join('\n')));
    QTest::qWait(250);
    QCOMPARE(removed.count(), 1);
}

void TestFileInstaller::progressCoversBothFolders_data()
{
    QTest::addColumn<int>("systemFiles");
    QTest::addColumn<int>("appFiles");
    QTest::addColumn<int>("fileSize");
    QTest::newRow("empty update") << 0 << 0 << 0;
    QTest::newRow("one large file") << 1 << 0 << 20 * 1024 * 1024;
    // The application part is linked, not copied: it counts at once.
    QTest::newRow("one large linked file") << 0 << 1 << 20 * 1024 * 1024;
    QTest::newRow("many small files") << 250 << 250 << 2000;
    QTest::newRow("empty files only") << 3 << 3 << 0;
}

void TestFileInstaller::progressCoversBothFolders()
{
    QFETCH(int, systemFiles);
    QFETCH(int, appFiles);
    QFETCH(int, fileSize);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    // Replace the update by one of the wanted shape.
    const QString update = tree.path("/FlashDisk/Corvane_Installer");
    QVERIFY(QDir(update).removeRecursively());
    QVERIFY(QDir().mkpath(update + "/System"));
    QVERIFY(QDir().mkpath(update + "/Corvane"));
    for (int i = 0; i < systemFiles; ++i)
        QVERIFY(tree.write(
            QStringLiteral("/FlashDisk/Corvane_Installer/System/d%1/s%2").arg(i % 9).arg(i),
            QByteArray(fileSize, 's')));
    for (int i = 0; i < appFiles; ++i)
        QVERIFY(tree.write(
            QStringLiteral("/FlashDisk/Corvane_Installer/Corvane/d%1/a%2").arg(i % 5).arg(i),
            QByteArray(fileSize, 'a')));
    const qint64 total = qint64(systemFiles + appFiles) * fileSize;

    FileInstaller installer(nullptr, tree.device());
    QSignalSpy progress(&installer, &FileInstaller::notifyProgress);
    QStringList linesDuringCopy;
    QVERIFY(installer.installUpdate());

    QVERIFY(progress.count() >= 1);
    QCOMPARE(progress.first().at(0).toLongLong(), 0);
    int atTotal = 0;
    bool sawSystemDone = false;
    for (int i = 0; i < progress.count(); ++i) {
        const qint64 done = progress[i].at(0).toLongLong();
        QCOMPARE(progress[i].at(1).toLongLong(), total);
        if (i > 0)
            QVERIFY2(done > progress[i - 1].at(0).toLongLong(), "not rising");
        QVERIFY(done <= total);
        atTotal += done == total ? 1 : 0;
        sawSystemDone |= done == qint64(systemFiles) * fileSize;
    }
    QCOMPARE(atTotal, 1);
    QCOMPARE(progress.last().at(0).toLongLong(), total);
    QVERIFY(sawSystemDone); // the system folder is counted before the application folder
    if (fileSize > 8 * 1024 * 1024 && systemFiles > 0)
        QVERIFY2(progress.count() >= 4, "a large file reports while it is copied");
    if (systemFiles + appFiles > 100)
        QVERIFY(progress.count() > 100);
}

void TestFileInstaller::applicationThatCannotStartIsLogged_data()
{
    QTest::addColumn<bool>("missing");
    QTest::newRow("missing") << true;
    // Root's and closed to others, so not refused: it just cannot run.
    QTest::newRow("not executable") << false;
}

void TestFileInstaller::applicationThatCannotStartIsLogged()
{
    QFETCH(bool, missing);
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString exe = tree.path("/FlashDisk/Corvane/Corvane.exe");
    QVERIFY(missing ? QFile::remove(exe)
                    : QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner));
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    installer.startApplication();
    const QString why = missing ? "No such file or directory" : "Permission denied";
    QCOMPARE(LogToDevice::messages()
                 .filter("could not be started: it is missing or cannot be run (" + why + ").")
                 .size(),
             1);
    QVERIFY(LogToDevice::messages().filter("is not started").isEmpty());
}

void TestFileInstaller::onlyRootsApplicationIsStarted_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("why"); // empty: started
    QTest::newRow("root's, 0755") << ""
                                  << "";
    QTest::newRow("group may write it") << "chmod 775 Corvane/Corvane.exe"
                                        << "group or others may write it";
    QTest::newRow("a user's") << "chown 65534 Corvane/Corvane.exe"
                              << "it belongs to user 65534";
    QTest::newRow("a link to a copy of root's")
        << "cp -p Corvane/Corvane.exe copy.exe; ln -sf ../copy.exe Corvane/Corvane.exe"
        << "it is reached through a link";
    QTest::newRow("others may write its folder") << "chmod 777 Corvane"
                                                 << "others may write its folder";
    QTest::newRow("its folder is a user's") << "chown 65534 Corvane"
                                            << "its folder belongs to user 65534";
    QTest::newRow("its folder is a link") << "mv Corvane Corvane.real; ln -s Corvane.real Corvane"
                                          << "it is reached through a link";
}

void TestFileInstaller::onlyRootsApplicationIsStarted()
{
    QFETCH(QString, change);
    QFETCH(QString, why);
    DeviceTree tree({"--no-update", "--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QCOMPARE(runShell(tree.path("/FlashDisk"), change), 0);
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    // The standard error, where the service's journal keeps the line.
    QTemporaryFile errors;
    QVERIFY(errors.open());
    const int saved = ::dup(STDERR_FILENO);
    QVERIFY(saved >= 0 && ::dup2(errors.handle(), STDERR_FILENO) >= 0);
    installer.startApplication();
    const int flushed = std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    QCOMPARE(flushed, 0);

    if (why.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(tree.exists("/launched"), 5000);
        QVERIFY(LogToDevice::messages().filter("is not started").isEmpty());
        return;
    }
    const QString line = "The application \"" + tree.path("/FlashDisk/Corvane/Corvane.exe")
        + "\" is not started: " + why + ".";
    QCOMPARE(LogToDevice::messages().filter(line).size(), 1);
    QVERIFY(get(errors.fileName()).contains(line.toUtf8()));
    QTest::qWait(300);
    QVERIFY(!tree.exists("/launched"));
}

void TestFileInstaller::topFolderLinkedToTheFlashDisk_data()
{
    QTest::addColumn<bool>("looked");
    QTest::newRow("a run that looks for the update") << true;
    QTest::newRow("a run whose password page was cancelled") << false;
}

// The user makes the update's top folder a link to the flash disk's own folder: its
// "System" and "Corvane" are then the installed ones, which no run may take as an update
// or remove after it.
void TestFileInstaller::topFolderLinkedToTheFlashDisk()
{
    QFETCH(bool, looked);
    DeviceTree tree({"--no-update", "--stored-value", "secret"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const int made = asLocalUser(tree, "ln -s . Corvane_Installer");
    if (made < 0)
        QSKIP("no local user can be had here (setpriv refused)");
    QCOMPARE(made, 0);
    const auto app = fingerprint(tree.path("/FlashDisk/Corvane"));
    const auto system = fingerprint(tree.path("/FlashDisk/System"));
    QVERIFY(app.contains("data/Administrator_setting.db"));

    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    if (looked)
        QVERIFY(!installer.isUpdateAvailable());
    installer.removeInstallerDirectory();
    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane")), app);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/System")), system);
    QCOMPARE(LogToDevice::messages().filter("is a link or not a folder, not installed").size(), 1);
}

// While the update is installed, the user moves its application folder aside and puts a
// link in its place to a folder of root's with lists of its own: the clean-up and the
// removal after the run stay within the update that was opened.
void TestFileInstaller::updateFolderSwappedDuringTheRun()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QStringList victims{
        "/FlashDisk/Vane_System/list/a.xml", "/FlashDisk/Vane_System/remotecmd/b.xml",
        "/FlashDisk/Vane_System/system/c.xml", "/FlashDisk/Vane_System/keep.dat"};
    for (const QString &victim : victims)
        QVERIFY(tree.write(victim, "root's"));
    // The user copied the update, so its top folder is theirs.
    QCOMPARE(::chown(QFile::encodeName(tree.path("/FlashDisk/Corvane_Installer")).constData(),
                     65534, 65534),
             0);
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    QVERIFY(installer.isUpdateAvailable());
    const int swapped = asLocalUser(
        tree, "cd Corvane_Installer && mv Corvane aside && ln -s ../Vane_System Corvane");
    if (swapped < 0)
        QSKIP("no local user can be had here (setpriv refused)");
    QCOMPARE(swapped, 0);
    QCOMPARE(installer.updateVersion(), QStringLiteral("2.4.1"));
    QVERIFY2(installer.installUpdate(), qPrintable(LogToDevice::messages().join('\n')));
    QVERIFY(installer.removeInstallerDirectory());

    for (const QString &victim : victims)
        QVERIFY2(tree.read(victim) == "root's", qPrintable(victim));
    // The update as it was opened is installed, and what it held is removed; the link the
    // user made is theirs.
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.4.1\n"));
    QCOMPARE(tree.listTree("/FlashDisk/Corvane_Installer/aside").join(","), QString());
    QVERIFY(QFileInfo(tree.path("/FlashDisk/Corvane_Installer/Corvane")).isSymLink());
    QCOMPARE(LogToDevice::messages().filter("was replaced during the run").size(), 1);
}

// A tree far deeper than any descriptor limit, refused by the installation or not, goes
// with the update's application folder; the removal holds few descriptors at a time.
void TestFileInstaller::deepTreeIsRemoved()
{
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    constexpr int kLevels = 10000;
    int fd
        = ::open(QFile::encodeName(tree.path("/FlashDisk/Corvane_Installer/Corvane")).constData(),
                 O_RDONLY | O_DIRECTORY);
    QVERIFY(fd >= 0);
    for (int i = 0; i < kLevels && fd >= 0; ++i) {
        const int next
            = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY) : -1;
        if (i % 1000 == 0)
            ::close(::openat(next, "f", O_WRONLY | O_CREAT, 0644));
        ::close(fd);
        fd = next;
    }
    QVERIFY(fd >= 0);
    ::close(fd);

    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    installer.installUpdate(); // refused, without descending to the bottom
    QCOMPARE(LogToDevice::messages()
                 .filter(QRegularExpression("^Update failed: .* cannot be read \\(File name too "
                                            "long\\); nothing was installed\\.$"))
                 .size(),
             1);
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit few = saved;
    few.rlim_cur = 128;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &few), 0);
    const bool removed = installer.removeInstallerDirectory();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    // An installation that took the tree leaves it installed: gone too, or the test's
    // folder could not be removed.
    corvane::removeFolderTree(QFile::encodeName(tree.path("/FlashDisk/Corvane/d")));
    QVERIFY(removed);
    QVERIFY(!tree.exists("/FlashDisk/Corvane_Installer/Corvane"));
}

QTEST_GUILESS_MAIN(TestFileInstaller)
#include "tst_fileinstaller.moc"
