// The journal of a switch: what the installer writes is read back as it was, and every
// text it would not have written is refused as a whole.

#include "journal.h"

#include <QCryptographicHash>
#include <QtTest>

namespace {

const QByteArray kWork = ".corvane-install";
const QList<QByteArray> kTargets = {"System", "Corvane"};

// A journal around entry lines, with their count and checksum as the installer writes them.
QByteArray journal(const QByteArray &body, int format = 1)
{
    return "corvane-update-journal " + QByteArray::number(format) + '\n'
        + QByteArray::number(body.count('\n')) + '\n' + body + "end "
        + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
}

SwitchEntry entry(SwitchEntry::Kind kind, const QByteArray &staged, const QByteArray &final,
                  const QByteArray &old = {}, quint64 inode = 0)
{
    SwitchEntry e;
    e.kind = kind;
    e.staged = staged;
    e.final = final;
    e.old = old;
    e.inode = inode;
    return e;
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
    using K = SwitchEntry::Kind;
    std::vector<SwitchEntry> entries = {
        entry(K::Aside, kWork + "/staging/1", "System/boot.cfg", kWork + "/old/1"),
        entry(K::New, kWork + "/staging/2", "Corvane/new folder"),
        entry(K::New, kWork + "/staging/3", "Corvane"), // a whole installed folder
        // Names are bytes: blanks, line feeds, "%" and bytes that are no UTF-8.
        entry(K::Swap, kWork + "/staging/4", "Corvane/a b\n%41\xff.txt", {},
              18446744073709551615ULL),
        entry(K::Times, {}, "Corvane/readme.txt"),
    };
    entries.back().times[0] = {1700000000, 5};
    entries.back().times[1] = {-2, 999999999}; // before 1970
    entries.back().oldTimes[1] = {42, 0};
    const QByteArray text = journalText(entries);
    QCOMPARE(text.count('\n'), 8); // every entry on one line
    std::vector<SwitchEntry> read;
    QCOMPARE(parseJournal(text, kWork, kTargets, &read), JournalFault::None);
    QVERIFY(read == entries);
    QCOMPARE(parseJournal(journalText({}), kWork, kTargets, &read), JournalFault::None);
    QCOMPARE(read.size(), entries.size());
    // A journal an earlier version left is still read.
    read.clear();
    QCOMPARE(parseJournal(journal(".corvane-install/staging/1 System/a .corvane-install/old/1\n"
                                  ".corvane-install/staging/2 Corvane/b -\n"),
                          kWork, kTargets, &read),
             JournalFault::None);
    QVERIFY(read
            == std::vector<SwitchEntry>(
                {entry(K::Aside, kWork + "/staging/1", "System/a", kWork + "/old/1"),
                 entry(K::New, kWork + "/staging/2", "Corvane/b")}));
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
    QTest::newRow("other format") << QByteArray(whole).replace("journal 1", "journal 3")
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
    QTest::newRow("unknown kind") << journal("move .corvane-install/staging/1 System/a\n", 2)
                                  << JournalFault::Fields;
    QTest::newRow("swap without its inode")
        << journal("swap .corvane-install/staging/1 System/a\n", 2) << JournalFault::Fields;
    QTest::newRow("inode with a sign")
        << journal("swap .corvane-install/staging/1 System/a +5\n", 2) << JournalFault::Encoding;
    QTest::newRow("inode past 64 bits")
        << journal("swap .corvane-install/staging/1 System/a 18446744073709551616\n", 2)
        << JournalFault::Encoding;
    QTest::newRow("time without nanoseconds")
        << journal("times System/a 1 2.000000000 3.000000000 4.000000000\n", 2)
        << JournalFault::Encoding;
    QTest::newRow("times outside the installed folders")
        << journal("times Vane_System/system.db 1.000000000 2.000000000 3.000000000 "
                   "4.000000000\n",
                   2)
        << JournalFault::Place;
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
