// The installer's work folder and its lock, tried as someone with an account on the
// device or write access to the flash disk would: whatever they prepared in the work
// folder's place is not acted on, and a lock that cannot be taken ends the run with
// nothing done. Outcomes are seen from the outside: a sentinel folder beside the device,
// the installed folders, the log on the stick, the exit code.

#include "devicefiles.h"
#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <fcntl.h>
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

int runInstaller(const DeviceTree &tree, const QStringList &arguments, QString *errors = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(errors ? QProcess::SeparateChannels
                                         : QProcess::ForwardedErrorChannel);
    startInstaller(process, tree.root(), arguments);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QByteArray hostPath(const DeviceTree &tree, const QString &devicePath)
{
    return QFile::encodeName(tree.path(devicePath));
}

// Runs a shell command as the local user nobody: its exit code, or -1 when it did not end.
int asLocalUser(const QString &command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start("setpriv",
                  {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", command});
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
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
    void unsafeFlashDiskIsRefused_data();
    void unsafeFlashDiskIsRefused();
    void localUserCannotRenameTheRecordAway();
    void takenNamesDoNotBlockRecovery_data();
    void takenNamesDoNotBlockRecovery();
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

void TestWorkFolder::unsafeFlashDiskIsRefused_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<uid_t>("owner");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("why"); // empty: accepted
    const QStringList recover{"--recover-only"};
    QTest::newRow("0777, at boot") << 0777 << uid_t(0) << recover
                                   << "group or others may write it (mode 0777) and it has no "
                                      "sticky bit";
    QTest::newRow("0775, a whole run")
        << 0775 << uid_t(0) << QStringList() << "group or others may write it (mode 0775)";
    QTest::newRow("a user's, 0755") << 0755 << kOtherUser << recover << "it belongs to user 65534";
    QTest::newRow("1777 is fine") << 01777 << uid_t(0) << recover << QString();
    QTest::newRow("0755 is fine") << 0755 << uid_t(0) << recover << QString();
}

void TestWorkFolder::unsafeFlashDiskIsRefused()
{
    QFETCH(int, mode);
    QFETCH(uid_t, owner);
    QFETCH(QStringList, arguments);
    QFETCH(QString, why);
    DeviceTree tree({"--launcher"}); // an update waits: nothing of it may be touched either
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QCOMPARE(::chown(hostPath(tree, "/FlashDisk").constData(), owner, 0), 0);
    QCOMPARE(::chmod(hostPath(tree, "/FlashDisk").constData(), mode_t(mode)), 0);
    const auto flash = fingerprint(tree.path("/FlashDisk"));

    QString errors;
    const int code = runInstaller(tree, arguments, &errors);

    if (why.isEmpty()) {
        QCOMPARE(code, 0);
        QVERIFY(tree.logLines().filter("flash disk folder").isEmpty());
        return;
    }
    QCOMPARE(code, 3);
    QCOMPARE(fingerprint(tree.path("/FlashDisk")), flash);
    QVERIFY(!tree.exists("/launched"));
    const QString line
        = "The flash disk folder \"" + tree.path("/FlashDisk") + "\" is not safe: " + why;
    QCOMPARE(tree.logLines().filter(line).size(), 1);
    QVERIFY2(errors.contains(line), qPrintable(errors));
}

void TestWorkFolder::localUserCannotRenameTheRecordAway()
{
    DeviceTree tree({"--launcher", "--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QCOMPARE(::chmod(QFile::encodeName(tree.root()).constData(), 0755), 0);
    QCOMPARE(::chmod(hostPath(tree, "/FlashDisk").constData(), 01777), 0);
    QCOMPARE(runInstaller(tree, {"--recover-only"}), 0);
    const QString record = kWork + "/" + corvane::device::installedVersionName;
    QVERIFY(tree.write(record, "3.0.0\n"));
    const QString flash = tree.path("/FlashDisk");
    if (asLocalUser("[ \"$(id -u)\" = 65534 ]") != 0)
        QSKIP("setpriv cannot switch to user 65534 here");
    QCOMPARE(asLocalUser("mkdir '" + flash + "/mine'"), 0); // the user may write the flash disk

    // Renaming root's work folder away, or replacing it with one of the user's own.
    QVERIFY(asLocalUser("mv '" + flash + "/.corvane-install' '" + flash + "/mine/'") != 0);
    QVERIFY(asLocalUser("mv -T '" + flash + "/mine' '" + flash + "/.corvane-install'") != 0);

    QCOMPARE(runInstaller(tree, {"--recover-only"}), 0);
    QCOMPARE(tree.read(record), QByteArray("3.0.0\n"));
    QVERIFY(tree.logLines().filter("cannot be trusted").isEmpty());
}

void TestWorkFolder::takenNamesDoNotBlockRecovery_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a folder of the user's") << "folder";
    QTest::newRow("a link to the application folder") << "link";
}

void TestWorkFolder::takenNamesDoNotBlockRecovery()
{
    QFETCH(QString, kind);
    DeviceTree tree({"--launcher", "--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QCOMPARE(::chmod(hostPath(tree, "/FlashDisk").constData(), 01777), 0);
    const QByteArray work = hostPath(tree, kWork);
    if (kind == "folder")
        QCOMPARE(::mkdir(work.constData(), 0755), 0);
    else
        QCOMPARE(::symlink("Corvane", work.constData()), 0);
    QCOMPARE(::lchown(work.constData(), kOtherUser, kOtherUser), 0);
    // Every name a date and a counter would give for the next half minute, taken.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int second = -2; second < 30; ++second) {
        const QByteArray stamp = now.addSecs(second).toString("yyyyMMdd-HHmmss").toLatin1();
        for (int n = 1; n <= 100; ++n) {
            const QByteArray name = work + ".untrusted-" + stamp + '-' + QByteArray::number(n);
            const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
            QCOMPARE(::chown(name.constData(), kOtherUser, kOtherUser), 0);
        }
    }
    const auto installed = fingerprint(tree.path("/FlashDisk/Corvane"));

    QCOMPARE(runInstaller(tree, {"--recover-only"}), 0);

    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane")), installed);
    struct stat st;
    QCOMPARE(::lstat(work.constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700);
    const QStringList aside = QDir(tree.path("/FlashDisk"))
                                  .entryList({".corvane-install.untrusted-*"},
                                             QDir::AllEntries | QDir::Hidden | QDir::System)
                                  .filter(QRegularExpression("^\\.corvane-install\\.untrusted-"
                                                             "[0-9a-f]{16}$"));
    QCOMPARE(aside.size(), 1);
    QCOMPARE(::lstat(QFile::encodeName(tree.path("/FlashDisk/" + aside.first())).constData(), &st),
             0);
    QCOMPARE(st.st_uid, kOtherUser); // the user's entry, kept as it was
}

QTEST_GUILESS_MAIN(TestWorkFolder)
#include "tst_workfolder.moc"
