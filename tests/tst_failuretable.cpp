// The failure table walked: each row made by a real situation in a whole run and read where
// the technician reads it: in the output pane, in the log on the stick (still in), with the
// bar never full on a failure screen. What a line claims holds: a refusal that says the
// installed folders were not changed leaves them as they were, and the log tells of a
// clean-up of lists only where one ran.

#include "devicefiles.h"
#include "failuretable.h"
#include "testsupport.h"
#include "ui_installerview.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QtTest>

#include <sys/stat.h>

namespace {

using Kind = UpdateTransaction::FailureKind;

int rowOf(const FailureReason &reason)
{
    const auto &table = failureTable();
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].reason == reason)
            return int(i);
    }
    return -1;
}

// The lines a row's text can become, whatever the path and the reason.
QStringList matching(const QStringList &lines, const char *text)
{
    QString re = QRegularExpression::escape(QString::fromUtf8(text));
    re.replace(QLatin1String("\\%1"), QLatin1String(".+")).replace("\\%2", ".+");
    return lines.filter(QRegularExpression('^' + re + '$'));
}

} // namespace

class TestFailureTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eachRowAsTheTechnicianSeesIt_data();
    void eachRowAsTheTechnicianSeesIt();
    void everyReasonHasOneRowMadeSomewhere();
    void cleanupTestCase();

private:
    QSet<int> m_made;
    struct stat m_devNull = {};
    SigningKeys m_keys;
    bool m_signing = false;
};

void TestFailureTable::initTestCase()
{
    m_signing = m_keys.make({"maker"});
    QCOMPARE(::stat("/dev/null", &m_devNull), 0);
}

void TestFailureTable::cleanupTestCase()
{
    // A row links the work folder's record to /dev/null: removing the trees must not
    // follow that link (once it closed /dev/null to every other user of the machine).
    struct stat now;
    QCOMPARE(::stat("/dev/null", &now), 0);
    QCOMPARE(now.st_mode, m_devNull.st_mode);
}

void TestFailureTable::eachRowAsTheTechnicianSeesIt_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("script"); // sh, in the device's folder, then: $KEYS $UPDATE $WORK
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QStringList>("pane"); // "#n": the screen line of rows[n]
    QTest::addColumn<bool>("installed");   // the bar was full once
    QTest::addColumn<bool>("cleared");     // the old lists were cleared
    const QString installing = QStringLiteral("Installing update to Corvane...");
    const QStringList failed{installing, "#0", "Failed."};
    const QStringList foundAtStart{"#0", installing, "#1", "Failed."};
    const auto add
        = [&](const char *name, const char *situation, const char *script, const QList<int> &rows,
              const QStringList &pane, bool installed = false, bool cleared = false) {
              QTest::newRow(name) << situation << script << rows << pane << installed << cleared;
          };
    add("installed folder where the update has a file", "folder", "", {rowOf(Kind::FolderInTheWay)},
        failed);
    add("installed file where the update has a folder", "file", "", {rowOf(Kind::FileInTheWay)},
        failed);
    add("named pipe in the update", "fifo", "", {rowOf(Kind::SpecialFile)}, failed);
    add("update file that root cannot read", "unreadable", "", {rowOf(Kind::ReadFailed)}, failed);
    add("flash disk too full", "full", "", {rowOf(Kind::NoSpace)}, failed);
    add("installed file that cannot be replaced", "immutable", "", {rowOf(Kind::WriteFailed)},
        failed, false, true);
    add("no work folder can be made", "no work folder", "", {rowOf(Kind::WorkFolder)}, failed);
    add("list file that cannot be removed", "list", "", {rowOf(RunTrouble::CleanUp)}, failed, true,
        true);
    add("refused journal of the last installation", "journal", "",
        {rowOf(RunTrouble::LastInstallationUnsettled), rowOf(Kind::Unrecovered)}, foundAtStart);
    add("old file of the last installation that cannot be removed", "old file", "",
        {rowOf(RunTrouble::LastInstallationLeftovers), rowOf(Kind::LeftoversStay)}, foundAtStart);
    // Many are removed on two threads; only the one that stays is told of.
    add("many old files of the last installation, one cannot be removed", "old files", "",
        {rowOf(RunTrouble::LastInstallationLeftovers), rowOf(Kind::LeftoversStay)}, foundAtStart);
    add("replaced file that cannot be removed", "replaced", "", {rowOf(RunTrouble::OldFilesStay)},
        {installing, "Done", "#0"}, true, true);

    // A signed update (the device trusts the maker's key), then what goes wrong.
    add("no signature", "signed", "rm \"$UPDATE/update.manifest.minisig\"",
        {rowOf(Kind::NotSigned)}, failed);
    add("changed file of a signed update", "signed",
        "echo 'boot 2.4.2' >\"$UPDATE/System/boot.cfg\"", {rowOf(Kind::NotAsListed)}, failed);
    add("older than the installed version", "signed", "echo 2.10.0 >\"$WORK/installed-version\"",
        {rowOf(Kind::Older)}, failed);
    // Every key is read or nothing is: a key folder that cannot be trusted whole refuses.
    add("link among the trusted keys", "signed", "ln -s maker.pub \"$KEYS/other.pub\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("trusted key file too large", "signed", "head -c 5000 /dev/zero >\"$KEYS/big.pub\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("malformed trusted key", "signed", "echo hello >\"$KEYS/notes.pub\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("trusted key of another user", "signed",
        "cp \"$KEYS/maker.pub\" \"$KEYS/copy.pub\"; chown 65534 \"$KEYS/copy.pub\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("trusted keys folder writable by all", "signed", "chmod 1777 \"$KEYS\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("trusted keys below a folder others may write", "signed", "chmod 777 \"$KEYS/..\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("link in place of the trusted keys folder", "signed",
        "mv \"$KEYS\" \"$KEYS.real\"; ln -s trusted-keys.real \"$KEYS\"",
        {rowOf(Kind::KeysUnusable)}, failed);
    add("damaged record of the installed version", "signed",
        "echo 'garbage!' >\"$WORK/installed-version\"", {rowOf(Kind::VersionRecordUnusable)},
        failed);
    add("link in place of the record of the installed version", "signed",
        "ln -s /dev/null \"$WORK/installed-version\"", {rowOf(Kind::VersionRecordUnusable)},
        failed);
    // No trusted keys: the list that comes with the update is not signed, but still tells a
    // damaged copy.
    add("changed file of an update with an unsigned list", "listed",
        "echo 'boot 2.4.2' >\"$UPDATE/System/boot.cfg\"", {rowOf(Kind::NotAsUnsignedList)}, failed);
    add("malformed unsigned list", "listed", "echo garbage >\"$UPDATE/update.manifest\"",
        {rowOf(Kind::ListUnusable)}, failed);
}

void TestFailureTable::eachRowAsTheTechnicianSeesIt()
{
    QFETCH(QString, situation);
    QFETCH(QString, script);
    QFETCH(QList<int>, rows);
    QFETCH(QStringList, pane);
    QFETCH(bool, installed);
    QFETCH(bool, cleared);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString work = QLatin1String(corvane::device::installWorkFolder);
    const QString update = tree.path("/FlashDisk/Corvane_Installer");
    const QString keys = tree.path(QLatin1String(corvane::device::trustedKeysFolder));
    if (situation == "journal" || situation.startsWith("old file") || situation == "signed")
        QVERIFY(WorkFolder(tree.path(work)).open());
    SmallDisk disk;
    QString locked; // made unremovable (even for root) before the run
    if (situation == "signed") {
        if (!m_signing)
            QSKIP("minisign is not installed: signed updates are not tried");
        QVERIFY(QDir().mkpath(keys) && QFile::copy(m_keys.publicKey("maker"), keys + "/maker.pub"));
        QVERIFY(writeUpdateList(update, "2.4.1") && m_keys.sign(update, "maker"));
    } else if (situation == "listed") {
        QVERIFY(writeUpdateList(update, "2.4.1"));
    } else if (situation == "unreadable") {
        QVERIFY(QFile::setPermissions(update + "/System/boot.cfg", QFileDevice::Permissions()));
    } else if (situation == "full") {
        // The whole flash disk on 8 MB, with less free than the update's system part needs.
        const QString flash = tree.path("/FlashDisk"), aside = tree.path("/FlashDisk-aside");
        QVERIFY(QDir().rename(flash, aside) && QDir().mkpath(flash));
        if (!disk.mount(flash, "8m"))
            QSKIP("this machine does not allow mounting a small file system");
        QCOMPARE(runShell(tree.root(), "cp -a FlashDisk-aside/. FlashDisk"), 0);
        QVERIFY(tree.write("/FlashDisk/Corvane_Installer/System/firmware.bin",
                           QByteArray(3 << 20, 'f')));
        QVERIFY(tree.write("/FlashDisk/other-data.bin", QByteArray(3 << 20, 'o')));
    } else if (situation == "folder") {
        QVERIFY(QFile::remove(tree.path("/FlashDisk/Corvane/readme.txt")));
        QVERIFY(QDir().mkpath(tree.path("/FlashDisk/Corvane/readme.txt/notes")));
    } else if (situation == "file") {
        QVERIFY(QDir(tree.path("/FlashDisk/System/drivers")).removeRecursively());
        QVERIFY(tree.write("/FlashDisk/System/drivers", "a file"));
    } else if (situation == "fifo") {
        const QString pipe = tree.path("/FlashDisk/Corvane_Installer/Corvane/pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    } else if (situation == "journal") {
        // A sound first entry; the second names a file beside the installed folders.
        const QByteArray body
            = ".corvane-install/staging/1 Corvane/readme.txt "
              ".corvane-install/old/1\n.corvane-install/staging/2 settings.db -\n";
        const QByteArray sum = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
        QVERIFY(tree.write(work + "/journal",
                           "corvane-update-journal 1\n2\n" + body + "end " + sum + "\n"));
    } else if (situation == "old file") {
        QVERIFY(tree.write(locked = work + "/old/1", "replaced by the last installation"));
    } else if (situation == "old files") {
        for (int i = 0; i < 300; ++i)
            QVERIFY(tree.write(work + "/old/" + QString::number(i), "replaced"));
        locked = work + "/old/150";
    } else if (situation == "immutable" || situation == "no work folder" || situation == "list") {
        locked = situation == "immutable"   ? "/FlashDisk/System/boot.cfg"
            : situation == "no work folder" ? "/FlashDisk"
                                            : "/FlashDisk/Corvane/remotecmd/pending.xml";
    }
    if (!locked.isEmpty() && !setImmutable(tree.path(locked), true))
        QSKIP("the file system does not support the immutable attribute");
    QCOMPARE(runShell(tree.root(), script,
                      {"KEYS=" + keys, "UPDATE=" + update, "WORK=" + tree.path(work)}),
             0);
    const auto system = fingerprint(tree.path("/FlashDisk/System"));
    const auto app = fingerprint(tree.path("/FlashDisk/Corvane"));

    LogToDevice log(tree);
    WholeRun run(tree);
    int fullest = -1;
    connect(run.view.form().progressBar, &QProgressBar::valueChanged, this,
            [&fullest](int value) { fullest = qMax(fullest, value); });
    // Everything staged (the last byte waits for the switch): a file in the way of the
    // removal of the replaced ones.
    const QString stays = work + "/old/stays";
    bool staysLocked = false;
    connect(&run.installer, &FileInstaller::notifyProgress, this, [&](qint64 done, qint64 total) {
        if (done == total - 1 && situation == "replaced")
            staysLocked = tree.write(stays, "in the way") && setImmutable(tree.path(stays), true);
    });
    if (situation == "unreadable") {
        WithoutReadOverride drop;
        if (!drop.ok())
            QSKIP("the process cannot drop its right to read any file");
        run.start();
    } else {
        run.start();
    }
    if (situation == "replaced" && !staysLocked)
        QSKIP("the file system does not support the immutable attribute");

    const auto &table = failureTable();
    for (int row : rows) // the removal of the replaced files logs when it ends
        QTRY_COMPARE_WITH_TIMEOUT(matching(tree.logLines(), table[row].log).size(), 1, 5000);
    const QStringList shown = run.output();
    QCOMPARE(shown.size(), pane.size());
    for (int i = 0; i < pane.size(); ++i) {
        if (!pane[i].startsWith('#')) {
            QCOMPARE(shown[i], pane[i]);
            continue;
        }
        const int row = rows[pane[i].mid(1).toInt()];
        for (size_t other = 0; other < table.size(); ++other) // this row's, no other's
            QCOMPARE(matching({shown[i]}, table[other].screen).size(), int(int(other) == row));
        m_made << row;
    }
    QCOMPARE(run.question().startsWith("Update was successful"), pane.contains("Done"));
    const QProgressBar *bar = run.view.form().progressBar;
    QCOMPARE(fullest == bar->maximum(), installed);
    QCOMPARE(bar->isVisible(), pane.contains("Done")); // no bar on a failure screen
    // A clean-up of lists is told of only where one ran: a refused update clears nothing.
    QCOMPARE(!tree.logLines()
                  .filter(QRegularExpression("^Clear (available|installer) xmlFiles:"))
                  .isEmpty(),
             cleared);
    for (int row : rows) {
        if (QByteArray(table[row].log).contains("the installed folders were not changed")) {
            QCOMPARE(fingerprint(tree.path("/FlashDisk/System")), system);
            QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane")), app);
        }
    }
    if (situation == "old files") {
        QCOMPARE(QDir(tree.path(work + "/old")).entryList(QDir::Files), QStringList{"150"});
        // Told once by each attempt: the recovery at the start and the one before installing.
        QCOMPARE(tree.logLines().filter("old/").size(), 2);
        QCOMPARE(tree.logLines().filter("old/150").size(), 2);
    }
    if (situation == "replaced") {
        // As the line says, the next start tries again: the mark of the finished switch
        // stayed with the file, so that start knows whose files they are.
        QVERIFY(tree.exists(work + "/switched"));
        QVERIFY(setImmutable(tree.path(stays), false));
        QProcess next;
        startInstaller(next, tree.root(), {"--recover-only"});
        QVERIFY(next.waitForFinished(10000));
        QCOMPARE(next.exitCode(), 0);
        const QStringList lines = tree.logLines();
        QCOMPARE(lines.last(),
                 QStringLiteral("Recovery: removed the replaced files of the last "
                                "update."));
        QVERIFY(lines.filter("unfinished installation").isEmpty());
        QCOMPARE(tree.leftovers(), QStringList());
    }
}

void TestFailureTable::everyReasonHasOneRowMadeSomewhere()
{
    // A journal that cannot be removed during the switch needs a hook between the journal's
    // writing and its removal, which only the engine's own test has: tst_updatetransaction.
    // An update while the last one waits for its confirmation needs an application that
    // runs: tst_pendingupdate (nothingElseIsInstalledWhilePending reads both its lines).
    QSet<int> made = m_made;
    made << rowOf(Kind::SwitchStuck) << rowOf(Kind::Pending);
    QSet<QString> lines;
    int lastKind = 0, lastTrouble = 0;
    for (size_t row = 0; row < failureTable().size(); ++row) {
        const FailureRow &r = failureTable()[row];
        QVERIFY2(made.contains(int(row)), r.screen);
        lines << QString::fromUtf8(r.screen) << QString::fromUtf8(r.log);
        if (const auto *kind = std::get_if<Kind>(&r.reason))
            lastKind = qMax(lastKind, int(*kind));
        else
            lastTrouble = qMax(lastTrouble, int(std::get<RunTrouble>(r.reason)));
    }
    QCOMPARE(lines.size(), 2 * int(failureTable().size())); // all distinct
    for (int kind = 1; kind <= lastKind; ++kind)            // no reason without its row
        QVERIFY2(rowOf(Kind(kind)) >= 0, qPrintable(QString::number(kind)));
    for (int trouble = 0; trouble <= lastTrouble; ++trouble)
        QVERIFY2(rowOf(RunTrouble(trouble)) >= 0, qPrintable(QString::number(trouble)));
}

QTEST_MAIN(TestFailureTable)
#include "tst_failuretable.moc"
