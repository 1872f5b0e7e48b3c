// The file installer's steps on their own: the update check, the clearing of list and
// backup files, and the stick watch.

#include "devicefiles.h"
#include "fileinstaller.h"
#include "testsupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <cstdio>

#include <fcntl.h>
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
    void applicationThatCannotStartIsLogged();
    void onlyRootsApplicationIsStarted_data();
    void onlyRootsApplicationIsStarted();
};

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

void TestFileInstaller::applicationThatCannotStartIsLogged()
{
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QVERIFY(QFile::remove(tree.path("/FlashDisk/Corvane/Corvane.exe")));
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    installer.startApplication();
    QCOMPARE(LogToDevice::messages().filter("could not be started: it is missing").size(), 1);
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

QTEST_GUILESS_MAIN(TestFileInstaller)
#include "tst_fileinstaller.moc"
