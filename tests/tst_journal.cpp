// The journal of a switch: what the installer writes is read back as it was, and every
// text it would not have written is refused as a whole.

#include "journal.h"

#include <QCryptographicHash>
#include <QtTest>

namespace {

const QByteArray kWork = ".corvane-install";
const QList<QByteArray> kTargets = {"System", "Corvane"};

// A journal around entry lines, with their count and checksum as the installer writes them.
QByteArray journal(const QByteArray &body)
{
    return "corvane-update-journal 1\n" + QByteArray::number(body.count('\n')) + '\n' + body
        + "end " + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void readsBackWhatItWrote();
    void refuses_data();
    void refuses();
};

void TestJournal::readsBackWhatItWrote()
{
    const std::vector<SwitchEntry> entries = {
        {kWork + "/staging/1", "System/boot.cfg", kWork + "/old/1"},
        {kWork + "/staging/2", "Corvane/new folder", {}},
        {kWork + "/staging/3", "Corvane", {}}, // a whole installed folder
        // Names are bytes: blanks, line feeds, "%" and bytes that are no UTF-8.
        {kWork + "/staging/4", "Corvane/a b\n%41\xff.txt", kWork + "/old/4"},
    };
    const QByteArray text = journalText(entries);
    QCOMPARE(text.count('\n'), 7); // every entry on one line
    std::vector<SwitchEntry> read;
    QCOMPARE(parseJournal(text, kWork, kTargets, &read), JournalFault::None);
    QVERIFY(read == entries);
    QCOMPARE(parseJournal(journalText({}), kWork, kTargets, &read), JournalFault::None);
    QCOMPARE(read.size(), entries.size());
}

void TestJournal::refuses_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<JournalFault>("fault");
    const QByteArray good = ".corvane-install/staging/1 System/a .corvane-install/old/1\n";
    const QByteArray whole = journal(good);
    const QByteArray longName(NAME_MAX + 1, 'n');
    const QByteArray longPath = QByteArray("System/") + QByteArray(PATH_MAX, 'p');
    QTest::newRow("empty") << QByteArray() << JournalFault::Empty;
    QTest::newRow("cut in the last line")
        << whole.left(whole.size() - 5) << JournalFault::Truncated;
    QTest::newRow("end line missing")
        << QByteArray("corvane-update-journal 1\n1\n" + good) << JournalFault::Truncated;
    QTest::newRow("other format") << QByteArray(whole).replace("journal 1", "journal 2")
                                  << JournalFault::Header;
    QTest::newRow("count too high")
        << QByteArray(whole).replace("\n1\n", "\n2\n") << JournalFault::Count;
    QTest::newRow("count with a sign")
        << QByteArray(whole).replace("\n1\n", "\n+1\n") << JournalFault::Count;
    QTest::newRow("count with a leading zero")
        << QByteArray(whole).replace("\n1\n", "\n01\n") << JournalFault::Count;
    QTest::newRow("entry changed, checksum not")
        << QByteArray(whole).replace("System/a", "System/b") << JournalFault::Checksum;
    QTest::newRow("two fields") << journal(".corvane-install/staging/1 System/a\n")
                                << JournalFault::Fields;
    QTest::newRow("four fields") << journal(".corvane-install/staging/1 System/a - x\n")
                                 << JournalFault::Fields;
    QTest::newRow("lower-case escape")
        << journal(".corvane-install/staging/1 System/a%2f -\n") << JournalFault::Encoding;
    QTest::newRow("escaped letter")
        << journal(".corvane-install/staging/1 System/%61 -\n") << JournalFault::Encoding;
    QTest::newRow("dot-dot in final")
        << journal(".corvane-install/staging/1 System/../../etc/passwd -\n") << JournalFault::Path;
    QTest::newRow("absolute final")
        << journal(".corvane-install/staging/1 /etc/passwd -\n") << JournalFault::Path;
    QTest::newRow("empty component")
        << journal(".corvane-install/staging/1 System//a -\n") << JournalFault::Path;
    QTest::newRow("name too long")
        << journal(".corvane-install/staging/1 System/" + longName + " -\n") << JournalFault::Path;
    QTest::newRow("path too long")
        << journal(".corvane-install/staging/1 " + longPath + " -\n") << JournalFault::Path;
    QTest::newRow("staged outside staging")
        << journal("Corvane/x System/a -\n") << JournalFault::Place;
    QTest::newRow("staged below an entry")
        << journal(".corvane-install/staging/1/x System/a -\n") << JournalFault::Place;
    QTest::newRow("old of another entry")
        << journal(".corvane-install/staging/1 System/a .corvane-install/old/2\n")
        << JournalFault::Place;
    QTest::newRow("final in the work folder")
        << journal(".corvane-install/staging/1 .corvane-install/lock -\n") << JournalFault::Place;
    QTest::newRow("final beside the installed folders")
        << journal(".corvane-install/staging/1 Vane_System/system.db -\n") << JournalFault::Place;
    QTest::newRow("final named like an installed folder")
        << journal(".corvane-install/staging/1 Corvane_Backup/x -\n") << JournalFault::Place;
    QTest::newRow("same final twice")
        << journal(good + ".corvane-install/staging/2 System/a -\n") << JournalFault::Duplicate;
}

void TestJournal::refuses()
{
    QFETCH(QByteArray, text);
    QFETCH(JournalFault, fault);
    std::vector<SwitchEntry> read;
    QCOMPARE(parseJournal(text, kWork, kTargets, &read), fault);
    QVERIFY(read.empty());
    QVERIFY(!journalFaultText(fault).isEmpty());
}

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
