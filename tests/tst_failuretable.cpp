// The failure table walked: every reason a run can fail for has one screen line and one
// log line of its own, and each is made by a real situation in a whole run, where the
// technician reads it: in the output pane, in the log on the stick (still in), and with
// the bar never full on a failure screen.

#include "devicefiles.h"
#include "failuretable.h"
#include "testsupport.h"
#include "ui_installerview.h"

#include <QCryptographicHash>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <sys/stat.h>

namespace {

using Kind = UpdateTransaction::FailureKind;

const QString kSuccess = QStringLiteral("Update was successful. Remove stick to start Corvane.");
const QString kFailure
    = QStringLiteral("Update was not successful. Remove stick to start Corvane.");

int rowOf(const FailureReason &reason)
{
    const auto &table = failureTable();
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i].reason == reason)
            return int(i);
    }
    return -1;
}

// Any line a row's text can become: the path and the reason may be anything.
QRegularExpression pattern(const char *text)
{
    QString escaped = QRegularExpression::escape(QString::fromUtf8(text));
    escaped.replace(QLatin1String("\\%1"), QLatin1String(".+"));
    escaped.replace(QLatin1String("\\%2"), QLatin1String(".+"));
    return QRegularExpression(QLatin1Char('^') + escaped + QLatin1Char('$'));
}

QStringList matching(const QStringList &lines, const char *text)
{
    const QRegularExpression re = pattern(text);
    QStringList found;
    for (const QString &line : lines) {
        if (re.match(line).hasMatch())
            found << line;
    }
    return found;
}

} // namespace

class TestFailureTable : public QObject
{
    Q_OBJECT

private slots:
    void everyReasonHasItsOwnLines();
    void eachRowAsTheTechnicianSeesIt_data();
    void eachRowAsTheTechnicianSeesIt();
    void everyRowIsMadeSomewhere();

private:
    QSet<int> m_made;
};

void TestFailureTable::everyReasonHasItsOwnLines()
{
    const auto &table = failureTable();
    QSet<QString> screens, logs;
    int lastKind = 0, lastTrouble = -1;
    for (const FailureRow &row : table) {
        QVERIFY(*row.screen && *row.log);
        screens << QString::fromUtf8(row.screen);
        logs << QString::fromUtf8(row.log);
        if (const auto *kind = std::get_if<Kind>(&row.reason))
            lastKind = qMax(lastKind, int(*kind));
        else
            lastTrouble = qMax(lastTrouble, int(std::get<RunTrouble>(row.reason)));
    }
    QCOMPARE(screens.size(), int(table.size()));
    QCOMPARE(logs.size(), int(table.size()));
    // No gaps: every reason up to the last listed one has its row.
    for (int kind = 1; kind <= lastKind; ++kind)
        QVERIFY2(rowOf(Kind(kind)) >= 0, qPrintable(QString::number(kind)));
    for (int trouble = 0; trouble <= lastTrouble; ++trouble)
        QVERIFY2(rowOf(RunTrouble(trouble)) >= 0, qPrintable(QString::number(trouble)));
    QVERIFY(lastTrouble >= int(RunTrouble::LastInstallationLeftovers));
}

void TestFailureTable::eachRowAsTheTechnicianSeesIt_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QList<int>>("rows");
    // The output pane, "#n" standing for the screen line of rows[n].
    QTest::addColumn<QStringList>("pane");
    QTest::addColumn<bool>("committed"); // the bar was full once
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
        << "refused journal"
        << QList<int>{rowOf(RunTrouble::LastInstallationUnsettled), rowOf(Kind::Unrecovered)}
        << foundAtStart << false;
    QTest::newRow("old file of the last installation that cannot be removed")
        << "old file stays"
        << QList<int>{rowOf(RunTrouble::LastInstallationLeftovers), rowOf(Kind::LeftoversStay)}
        << foundAtStart << false;
    QTest::newRow("replaced file that cannot be removed")
        << "replaced stays" << QList<int>{rowOf(RunTrouble::OldFilesStay)}
        << QStringList{installing, "Done", "#0"} << true;
}

void TestFailureTable::eachRowAsTheTechnicianSeesIt()
{
    QFETCH(QString, situation);
    QFETCH(QList<int>, rows);
    QFETCH(QStringList, pane);
    QFETCH(bool, committed);
    QVERIFY(!rows.contains(-1));
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString work = QLatin1String(corvane::device::installWorkFolder);
    // Unremovable (the tree's end clears it): the immutable attribute, which even root
    // cannot get past.
    QString locked;
    // Made unremovable in the moment everything is staged.
    QString atStaged;
    if (situation == "folder") {
        QVERIFY(QFile::remove(tree.path("/FlashDisk/Corvane/readme.txt")));
        QVERIFY(QDir().mkpath(tree.path("/FlashDisk/Corvane/readme.txt/notes")));
    } else if (situation == "file") {
        QVERIFY(QDir(tree.path("/FlashDisk/System/drivers")).removeRecursively());
        QVERIFY(tree.write("/FlashDisk/System/drivers", "a file"));
    } else if (situation == "fifo") {
        const QString pipe = tree.path("/FlashDisk/Corvane_Installer/Corvane/pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    } else if (situation == "immutable") {
        locked = "/FlashDisk/System/boot.cfg";
    } else if (situation == "replaced stays") {
        atStaged = work + "/old/stays";
    } else if (situation == "list") {
        locked = "/FlashDisk/Corvane/remotecmd/pending.xml";
    } else if (situation == "no work folder") {
        locked = "/FlashDisk";
    } else {
        WorkFolder folder(tree.path(work));
        QVERIFY(folder.open());
        if (situation == "refused journal") {
            // A sound first entry; the second names a file beside the installed folders.
            const QByteArray body = ".corvane-install/staging/1 Corvane/readme.txt "
                                    ".corvane-install/old/1\n"
                                    ".corvane-install/staging/2 settings.db -\n";
            const QByteArray sum = QCryptographicHash::hash(body, QCryptographicHash::Sha256);
            QVERIFY(
                tree.write(work + "/journal",
                           "corvane-update-journal 1\n2\n" + body + "end " + sum.toHex() + "\n"));
        } else {
            locked = work + "/old/1";
            QVERIFY(tree.write(locked, "replaced by the last installation"));
        }
    }
    if (!locked.isEmpty() && !setImmutable(tree.path(locked), true))
        QSKIP("the file system does not support the immutable attribute");

    LogToDevice log(tree);
    WholeRun run(tree);
    int fullest = -1;
    QObject::connect(run.view.form().progressBar, &QProgressBar::valueChanged, &run.view,
                     [&fullest](int value) { fullest = qMax(fullest, value); });
    bool lockedWhenStaged = false;
    QObject::connect(&run.installer, &FileInstaller::notifyProgress, &run.view,
                     [&](qint64 done, qint64 total) {
                         if (done == total - 1 && !atStaged.isEmpty()) // the last byte waits
                             lockedWhenStaged = tree.write(atStaged, "in the way")
                                 && setImmutable(tree.path(atStaged), true);
                     });
    run.installer.recoverInterruptedInstallation(false); // as the program does at its start
    run.manager.onStartup();
    if (!atStaged.isEmpty() && !lockedWhenStaged)
        QSKIP("the file system does not support the immutable attribute");

    // The stick's log has each row's line; the removal of the replaced files logs when it
    // ends, while the result is shown.
    const auto &table = failureTable();
    for (int row : rows)
        QTRY_COMPARE_WITH_TIMEOUT(matching(tree.logLines(), table[row].log).size(), 1, 5000);
    const QStringList shown = run.output();
    QCOMPARE(shown.size(), pane.size());
    for (int i = 0; i < pane.size(); ++i) {
        if (!pane[i].startsWith('#')) {
            QCOMPARE(shown[i], pane[i]);
            continue;
        }
        const int row = rows[pane[i].mid(1).toInt()];
        // The line is this row's and no other's.
        for (size_t other = 0; other < table.size(); ++other)
            QCOMPARE(matching({shown[i]}, table[other].screen).size(), int(other) == row ? 1 : 0);
        m_made << row;
    }
    const bool success = pane.contains("Done");
    QCOMPARE(run.question(), success ? kSuccess : kFailure);
    // The bar is full only for an update that was committed, and no failure screen shows it.
    const QProgressBar *bar = run.view.form().progressBar;
    QCOMPARE(fullest == bar->maximum(), committed);
    QCOMPARE(bar->isVisible(), success);
}

void TestFailureTable::everyRowIsMadeSomewhere()
{
    // Made where the means are: a small disk and a file root cannot read in tst_badinput, a
    // journal that cannot be removed while the switch runs in tst_updatetransaction.
    QSet<int> made = m_made;
    made << rowOf(Kind::NoSpace) << rowOf(Kind::ReadFailed) << rowOf(Kind::SwitchStuck);
    for (size_t row = 0; row < failureTable().size(); ++row)
        QVERIFY2(made.contains(int(row)), failureTable()[row].screen);
}

QTEST_MAIN(TestFailureTable)
#include "tst_failuretable.moc"
