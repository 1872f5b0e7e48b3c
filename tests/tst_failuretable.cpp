// The failure table walked: each row made by a real situation in a whole run and read where
// the technician reads it: in the output pane, in the log on the stick (still in), with the
// bar never full on a failure screen.

#include "devicefiles.h"
#include "failuretable.h"
#include "testsupport.h"
#include "ui_installerview.h"

#include <QCryptographicHash>
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
    void eachRowAsTheTechnicianSeesIt_data();
    void eachRowAsTheTechnicianSeesIt();
    void everyReasonHasOneRowMadeSomewhere();

private:
    QSet<int> m_made;
};

void TestFailureTable::eachRowAsTheTechnicianSeesIt_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QStringList>("pane"); // "#n": the screen line of rows[n]
    QTest::addColumn<bool>("installed");   // the bar was full once
    const QString installing = QStringLiteral("Installing update to Corvane...");
    const QStringList failed{installing, "#0", "Failed."};
    const QStringList foundAtStart{"#0", installing, "#1", "Failed."};
    QTest::newRow("installed folder where the update has a file")
        << "folder" << QList<int>{rowOf(Kind::FolderInTheWay)} << failed << false;
    QTest::newRow("installed file where the update has a folder")
        << "file" << QList<int>{rowOf(Kind::FileInTheWay)} << failed << false;
    QTest::newRow("named pipe in the update")
        << "fifo" << QList<int>{rowOf(Kind::SpecialFile)} << failed << false;
    QTest::newRow("installed file that cannot be replaced")
        << "immutable" << QList<int>{rowOf(Kind::WriteFailed)} << failed << false;
    QTest::newRow("no work folder can be made")
        << "no work folder" << QList<int>{rowOf(Kind::WorkFolder)} << failed << false;
    QTest::newRow("list file that cannot be removed")
        << "list" << QList<int>{rowOf(RunTrouble::CleanUp)} << failed << true;
    QTest::newRow("refused journal of the last installation")
        << "journal"
        << QList<int>{rowOf(RunTrouble::LastInstallationUnsettled), rowOf(Kind::Unrecovered)}
        << foundAtStart << false;
    QTest::newRow("old file of the last installation that cannot be removed")
        << "old file"
        << QList<int>{rowOf(RunTrouble::LastInstallationLeftovers), rowOf(Kind::LeftoversStay)}
        << foundAtStart << false;
    // Many are removed on two threads; only the one that stays is told of.
    QTest::newRow("many old files of the last installation, one cannot be removed")
        << "old files"
        << QList<int>{rowOf(RunTrouble::LastInstallationLeftovers), rowOf(Kind::LeftoversStay)}
        << foundAtStart << false;
    QTest::newRow("replaced file that cannot be removed")
        << "replaced" << QList<int>{rowOf(RunTrouble::OldFilesStay)}
        << QStringList{installing, "Done", "#0"} << true;
}

void TestFailureTable::eachRowAsTheTechnicianSeesIt()
{
    QFETCH(QString, situation);
    QFETCH(QList<int>, rows);
    QFETCH(QStringList, pane);
    QFETCH(bool, installed);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString work = QLatin1String(corvane::device::installWorkFolder);
    if (situation == "journal" || situation.startsWith("old file"))
        QVERIFY(WorkFolder(tree.path(work)).open());
    QString locked; // made unremovable (even for root) before the run
    if (situation == "folder") {
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
    } else if (situation != "replaced") {
        locked = situation == "immutable"   ? "/FlashDisk/System/boot.cfg"
            : situation == "no work folder" ? "/FlashDisk"
                                            : "/FlashDisk/Corvane/remotecmd/pending.xml";
    }
    if (!locked.isEmpty() && !setImmutable(tree.path(locked), true))
        QSKIP("the file system does not support the immutable attribute");

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
    run.installer.recoverInterruptedInstallation(false); // as the program does at its start
    run.manager.onStartup();
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
    if (situation == "old files") {
        QCOMPARE(QDir(tree.path(work + "/old")).entryList(QDir::Files), QStringList{"150"});
        // Told once by each attempt: the recovery at the start and the one before installing.
        QCOMPARE(tree.logLines().filter("old/").size(), 2);
        QCOMPARE(tree.logLines().filter("old/150").size(), 2);
    }
}

void TestFailureTable::everyReasonHasOneRowMadeSomewhere()
{
    // Made where the means are: a small disk and a file root cannot read in tst_badinput, a
    // journal that cannot be removed during the switch in tst_updatetransaction, keys and
    // signatures made by minisign in tst_signedupdate.
    QSet<int> made = m_made;
    made << rowOf(Kind::NoSpace) << rowOf(Kind::ReadFailed) << rowOf(Kind::SwitchStuck)
         << rowOf(Kind::NotSigned) << rowOf(Kind::NotAsListed) << rowOf(Kind::Older);
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
