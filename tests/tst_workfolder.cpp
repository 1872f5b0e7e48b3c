// The installer's work folder and its lock, tried as someone with an account on the
// device or write access to the flash disk would: whatever they prepared in the work
// folder's place is not acted on, and a lock that cannot be taken ends the run with
// nothing done. Outcomes are seen from the outside: a sentinel folder beside the device,
// the installed folders, the log on the stick, the exit code.

#include "devicefiles.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kWork = QLatin1String(corvane::device::installWorkFolder);
constexpr uid_t kOtherUser = 65534;

// A journal that, were it followed, would put a staged file over the installed readme.
void plantJournal(const DeviceTree &tree, const QString &folder)
{
    const QByteArray body = ".corvane-install/staging/1 Corvane/readme.txt "
                            ".corvane-install/old/1\n";
    QVERIFY(tree.write(folder + "/staging/1", "planted"));
    QVERIFY(tree.write(folder + "/journal",
                       "corvane-update-journal 1\n1\n" + body + "end "
                           + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex()
                           + "\n"));
}

int runInstaller(const DeviceTree &tree, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    startInstaller(process, tree.root(), arguments);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

class TestWorkFolder : public QObject
{
    Q_OBJECT

private slots:
    void untrustedFolderIsMovedAside_data();
    void untrustedFolderIsMovedAside();
    void lockFailsClosed_data();
    void lockFailsClosed();
};

void TestWorkFolder::untrustedFolderIsMovedAside_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    QTest::newRow("a link to a folder outside") << "link"
                                                << "a link";
    QTest::newRow("a file") << "file"
                            << "not a folder";
    QTest::newRow("owned by another user") << "owner"
                                           << "owned by user 65534";
    QTest::newRow("writable by others") << "mode"
                                        << "writable by others";
}

void TestWorkFolder::untrustedFolderIsMovedAside()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);
    DeviceTree tree({"--launcher", "--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QTemporaryDir outside; // beside the device
    QVERIFY(QDir().mkpath(outside.filePath("work")));
    if (kind == "link") {
        plantJournal(tree, "/../" + QFileInfo(outside.path()).fileName() + "/work");
        QVERIFY(QFile::link(outside.filePath("work"), tree.path(kWork)));
    } else if (kind == "file") {
        QVERIFY(tree.write(kWork, "not a folder"));
    } else {
        plantJournal(tree, kWork);
        if (kind == "owner")
            QCOMPARE(::chown(QFile::encodeName(tree.path(kWork)).constData(), kOtherUser, 0), 0);
        else
            QCOMPARE(::chmod(QFile::encodeName(tree.path(kWork)).constData(), 0777), 0);
    }
    const auto sentinel = fingerprint(outside.path());
    const auto installed = fingerprint(tree.path("/FlashDisk/Corvane"));

    QCOMPARE(runInstaller(tree, {"--recover-only"}), 0);

    QCOMPARE(fingerprint(outside.path()), sentinel);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane")), installed);
    const QStringList lines = tree.logLines();
    QCOMPARE(lines.filter("cannot be trusted (" + why + ")").size(), 1);
    QVERIFY(lines.contains("Recovery: no interrupted installation."));
    // A fresh folder of the installer's own, the untrusted one kept aside as it was.
    struct stat st;
    QCOMPARE(::lstat(QFile::encodeName(tree.path(kWork)).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700);
    const QStringList aside = QDir(tree.path("/FlashDisk"))
                                  .entryList({".corvane-install.untrusted-*"},
                                             QDir::AllEntries | QDir::Hidden | QDir::System);
    QCOMPARE(aside.size(), 1);
}

void TestWorkFolder::lockFailsClosed_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a link to a file outside") << "link";
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a file of another user") << "owner";
}

void TestWorkFolder::lockFailsClosed()
{
    QFETCH(QString, kind);
    DeviceTree tree({"--launcher"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QTemporaryDir outside;
    QVERIFY(QDir().mkpath(tree.path(kWork))); // a work folder of the installer's own
    QCOMPARE(::chmod(QFile::encodeName(tree.path(kWork)).constData(), 0700), 0);
    const QString lock = tree.path(kWork + "/lock");
    if (kind == "link") {
        QVERIFY(QFile::link(outside.filePath("lock"), lock));
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(lock));
    } else {
        QVERIFY(tree.write(kWork + "/lock", ""));
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), kOtherUser, 0), 0);
    }
    const auto flash = fingerprint(tree.path("/FlashDisk"));

    // The whole installer, with an update waiting: it ends at once, nothing recovered,
    // nothing installed, nothing started.
    QCOMPARE(runInstaller(tree, {}), 1);
    QCOMPARE(fingerprint(tree.path("/FlashDisk")), flash);
    QVERIFY(QDir(outside.path()).isEmpty());
    QVERIFY(!tree.exists("/launched"));
    QCOMPARE(tree.logLines().last(),
             QStringLiteral("The installer's lock cannot be taken; nothing was done."));
    QCOMPARE(runInstaller(tree, {"--recover-only"}), 1);
}

QTEST_GUILESS_MAIN(TestWorkFolder)
#include "tst_workfolder.moc"
