// Signed updates on a whole device: an update signed with the device's trusted key
// installs; one whose files, list, signature or version do not hold is refused before
// anything changes. Each refusal shows its line on the failure screen and logs the
// details, and leaves the installed folders, lists and backups byte for byte as they were.
// Signatures are made by Debian's minisign with throw-away keys.

#include "devicefiles.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kFailure
    = QStringLiteral("Update was not successful. Remove stick to start Corvane.");
const QString kSuccess = QStringLiteral("Update was successful. Remove stick to start Corvane.");
const QString kUpdate = QStringLiteral("/FlashDisk/Corvane_Installer");

} // namespace

class TestSignedUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signedUpdateInstalls();
    void retriedAfterItsListsWereCleared();
    void refused_data();
    void refused();

private:
    // A device whose update is listed and signed with `key`, and which trusts the maker.
    bool signedDevice(DeviceTree &tree, const QString &key = QStringLiteral("maker"));

    SigningKeys m_keys;
};

void TestSignedUpdate::initTestCase()
{
    if (!m_keys.make({"maker", "stranger"}))
        QSKIP("minisign is not installed: signed updates are not tried");
}

bool TestSignedUpdate::signedDevice(DeviceTree &tree, const QString &key)
{
    const QString keys = tree.path(QLatin1String(corvane::device::trustedKeysFolder));
    // A link in the update: its target is listed too.
    return tree.ok() && QFile::link("readme.txt", tree.path(kUpdate + "/Corvane/current"))
        && QDir().mkpath(keys) && QFile::copy(m_keys.publicKey("maker"), keys + "/maker.pub")
        && writeUpdateList(tree.path(kUpdate), "2.4.1") && m_keys.sign(tree.path(kUpdate), key);
}

void TestSignedUpdate::signedUpdateInstalls()
{
    DeviceTree tree;
    QVERIFY(tree.write(kUpdate + "/System/tools/helper", "runs as its owner"));
    QVERIFY(QFile::setPermissions(tree.path(kUpdate + "/System/tools/helper"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ExeGroup | QFile::ExeOther));
    QCOMPARE(
        ::chmod(QFile::encodeName(tree.path(kUpdate + "/System/tools/helper")).constData(), 04711),
        0);
    QVERIFY(signedDevice(tree));

    LogToDevice log(tree);
    WholeRun run(tree);
    run.manager.onStartup();

    QCOMPARE(run.question(), kSuccess);
    QVERIFY(LogToDevice::messages().join('\n').contains("signed by the trusted key"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.4.1\n"));
    QCOMPARE(QFileInfo(tree.path("/FlashDisk/Corvane/current")).symLinkTarget(),
             tree.path("/FlashDisk/Corvane/readme.txt"));
    // Set-user-ID bits come with a signed list that names them.
    struct stat st;
    QCOMPARE(
        ::stat(QFile::encodeName(tree.path("/FlashDisk/System/tools/helper")).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 04711);
    // The version is recorded: the next update must not be older.
    QCOMPARE(tree.read("/FlashDisk/.corvane-install/installed-version"), QByteArray("2.4.1\n"));
}

// A run cut short after it cleared the update's own lists (which are never installed): the
// same update, from the same folders, installs at the next try.
void TestSignedUpdate::retriedAfterItsListsWereCleared()
{
    DeviceTree tree;
    QVERIFY(signedDevice(tree));
    QVERIFY(QDir(tree.path(kUpdate + "/Corvane/list")).removeRecursively());
    for (const char *file : {"/Corvane/remotecmd/template.xml", "/Corvane/system/terminal.xml"})
        QVERIFY(QFile::remove(tree.path(kUpdate + file)));
    LogToDevice log(tree);
    WholeRun run(tree);
    run.manager.onStartup();
    QCOMPARE(run.question(), kSuccess);
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.4.1\n"));
    QCOMPARE(tree.read("/FlashDisk/Corvane/system/layout.dat"), QByteArray("layout 2.4.1\n"));
}

void TestSignedUpdate::refused_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QString>("paneLine");
    QTest::addColumn<QString>("logLine");
    const QString notSigned = QStringLiteral("The update is not signed by a trusted key");
    QTest::newRow("changed byte in a system file")
        << "boot"
        << "System/boot.cfg does not match the signed list"
        << "\"System/boot.cfg\" does not match the signed list: its SHA-256 is";
    // Large enough to be copied on a thread of its own while the rest is staged.
    QTest::newRow("changed byte in a large system file")
        << "large"
        << "System/firmware.bin does not match the signed list"
        << "\"System/firmware.bin\" does not match the signed list: its SHA-256 is";
    QTest::newRow("changed byte in an application file")
        << "readme"
        << "Corvane/readme.txt does not match the signed list"
        << "\"Corvane/readme.txt\" does not match the signed list: its SHA-256 is";
    // Past the files queued for hashing, behind a large one: hashed as it is staged.
    QTest::newRow("changed byte in the last of many application files")
        << "many"
        << "Corvane/many/f149.txt does not match the signed list"
        << "\"Corvane/many/f149.txt\" does not match the signed list: its SHA-256 is";
    QTest::newRow("extra file") << "extra"
                                << "Corvane/extra.dll does not match the signed list"
                                << "\"Corvane/extra.dll\" does not match the signed list: it is "
                                   "not in the list";
    QTest::newRow("missing file") << "missing"
                                  << "System/fonts/arial.ttf does not match the signed list"
                                  << "it is listed but not in the update";
    QTest::newRow("renamed file") << "renamed"
                                  << "Corvane/lang/fx.qm does not match the signed list"
                                  << "\"Corvane/lang/fr.qm\" does not match the signed list: it is "
                                     "listed but not in the update";
    QTest::newRow("changed mode") << "mode"
                                  << "Corvane/service.sh does not match the signed list"
                                  << "its mode is 0777, listed 0755";
    QTest::newRow("changed link target")
        << "link"
        << "Corvane/current does not match the signed list"
        << "\"Corvane/current\" does not match the signed list: it points to \"lang/de.qm\"";
    QTest::newRow("signed by an unknown key") << "stranger" << notSigned << "not trusted";
    QTest::newRow("no signature") << "unsigned" << notSigned << "not signed by a trusted key";
    QTest::newRow("truncated signature")
        << "truncated" << notSigned << "not signed by a trusted key";
    QTest::newRow("edited trusted comment")
        << "comment" << notSigned << "not signed by a trusted key";
    QTest::newRow("list of another update")
        << "other"
        << "Corvane/list/articles.xml does not match the signed list"
        << "\"Corvane/list/articles.xml\" does not match the signed list: its SHA-256 is";
    QTest::newRow("older version") << "older"
                                   << "The update is older than the installed version"
                                   << "the update's version 2.4.1 is older than the installed "
                                      "version 2.10.0";
}

void TestSignedUpdate::refused()
{
    QFETCH(QString, tamper);
    QFETCH(QString, paneLine);
    QFETCH(QString, logLine);
    DeviceTree tree;
    QByteArray firmware(5 << 20, 'f');
    if (tamper == "large")
        QVERIFY(tree.write(kUpdate + "/System/firmware.bin", firmware));
    if (tamper == "many") {
        QVERIFY(tree.write(kUpdate + "/Corvane/media.bin", QByteArray(32 << 20, 'm')));
        for (int i = 0; i < 150; ++i)
            QVERIFY(tree.write(kUpdate + QString("/Corvane/many/f%1.txt").arg(i, 3, 10, QChar('0')),
                               QByteArray::number(i)));
    }
    QVERIFY(signedDevice(tree, tamper == "stranger" ? "stranger" : "maker"));
    const QString update = tree.path(kUpdate);
    if (tamper == "large")
        QVERIFY(tree.write(kUpdate + "/System/firmware.bin", firmware.replace(3 << 20, 1, "F")));
    else if (tamper == "many")
        QVERIFY(tree.write(kUpdate + "/Corvane/many/f149.txt", "148"));
    else if (tamper == "boot")
        QVERIFY(tree.write(kUpdate + "/System/boot.cfg", "boot 2.4.2\n"));
    else if (tamper == "readme")
        QVERIFY(tree.write(kUpdate + "/Corvane/readme.txt", "Corvane 2.4.X\n"));
    else if (tamper == "extra")
        QVERIFY(tree.write(kUpdate + "/Corvane/extra.dll", "more"));
    else if (tamper == "missing")
        QVERIFY(QFile::remove(update + "/System/fonts/arial.ttf"));
    else if (tamper == "renamed")
        QVERIFY(QFile::rename(update + "/Corvane/lang/fr.qm", update + "/Corvane/lang/fx.qm"));
    else if (tamper == "mode")
        QCOMPARE(::chmod(QFile::encodeName(update + "/Corvane/service.sh").constData(), 0777), 0);
    else if (tamper == "link")
        QVERIFY(QFile::remove(update + "/Corvane/current")
                && QFile::link("lang/de.qm", update + "/Corvane/current"));
    else if (tamper == "unsigned")
        QVERIFY(QFile::remove(update + "/update.manifest.minisig"));
    else if (tamper == "truncated")
        QCOMPARE(runShell(update,
                          "head -c 100 update.manifest.minisig > s && mv s "
                          "update.manifest.minisig"),
                 0);
    else if (tamper == "comment")
        QCOMPARE(
            runShell(update, "sed -i 's/Corvane 2.4.1/Corvane 9.9.9/' update.manifest.minisig"), 0);
    else if (tamper == "older")
        QVERIFY(tree.write("/FlashDisk/.corvane-install/installed-version", "2.10.0\n"));
    if (tamper == "other") {
        // The maker's signed list of another update, put beside this one.
        DeviceTree other({"--update-version", "9.9.9"});
        QVERIFY(signedDevice(other));
        for (const char *file : {"/update.manifest", "/update.manifest.minisig"})
            QVERIFY(QFile::remove(update + file)
                    && QFile::copy(other.path(kUpdate) + file, update + file));
    }
    if (tamper == "older")
        QCOMPARE(
            ::chmod(QFile::encodeName(tree.path("/FlashDisk/.corvane-install")).constData(), 0700),
            0);
    const auto system = fingerprint(tree.path("/FlashDisk/System"));
    const auto app = fingerprint(tree.path("/FlashDisk/Corvane"));
    const auto backup = fingerprint(tree.path("/FlashDisk/Corvane_Backup"));

    LogToDevice log(tree);
    WholeRun run(tree);
    run.manager.onStartup();

    QCOMPARE(run.question(), kFailure);
    QCOMPARE(run.output(), QStringList({"Installing update to Corvane...", paneLine, "Failed."}));
    const QString text = tree.logLines().join('\n');
    QVERIFY2(text.contains(logLine), qPrintable(text));
    QVERIFY(text.contains("Status:  false"));
    // Nothing installed, nothing deleted: lists, pending commands, backups as they were.
    QCOMPARE(fingerprint(tree.path("/FlashDisk/System")), system);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane")), app);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane_Backup")), backup);
    QVERIFY(tree.leftovers().filter(QRegularExpression("^(staging|old|journal)")).isEmpty());
}

QTEST_MAIN(TestSignedUpdate)
#include "tst_signedupdate.moc"
