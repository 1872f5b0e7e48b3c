// The stored count of wrong entries: what is read back from whatever lies in its place,
// and how it is put on disk.

#include "devicefiles.h"
#include "entrycount.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Lays out what the row names in place of the count file (or of its temporary).
bool lay(const QString &kind, const QByteArray &content, const QString &file,
         const QString &outside)
{
    const QByteArray path = QFile::encodeName(file);
    if (kind == "none")
        return true;
    if (kind == "file")
        return put(file, content);
    if (kind == "link")
        return put(outside, content) && QFile::link(outside, file);
    if (kind == "folder")
        return QDir().mkdir(file);
    if (kind == "pipe")
        return ::mkfifo(path.constData(), 0600) == 0;
    return false;
}

} // namespace

class TestEntryCount : public QObject
{
    Q_OBJECT

private slots:
    void load_data();
    void load();
    void store_data();
    void store();
    void storedWithoutFreeInodes();
};

void TestEntryCount::load_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("logPart"); // "" when nothing is logged

    const int cautious = 10; // the first count with the 60 s pause
    QTest::newRow("none") << "none" << QByteArray() << 0 << "";
    QTest::newRow("a count") << "file" << QByteArray("7\n") << 7 << "";
    QTest::newRow("not a number") << "file" << QByteArray("x\n") << cautious << "holds no count";
    QTest::newRow("empty") << "file" << QByteArray() << cautious << "holds no count";
    // What a cut in the middle of a rewrite in place leaves.
    QTest::newRow("cut short") << "file" << QByteArray("12") << cautious << "holds no count";
    QTest::newRow("two lines") << "file" << QByteArray("1\n2\n") << cautious << "holds no count";
    QTest::newRow("oversized") << "file" << QByteArray(4096, '1') << cautious << "File too large";
    QTest::newRow("a link") << "link" << QByteArray("0\n") << cautious << "Too many levels";
    QTest::newRow("a pipe, not a file") << "pipe" << QByteArray() << cautious << "Invalid argument";
    // A work folder of someone else's, moved aside: its count (0 here) is not believed.
    QTest::newRow("work folder made afresh")
        << "replaced" << QByteArray("0\n") << cautious << "made afresh";
}

void TestEntryCount::load()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(QString, logPart);
    QTemporaryDir dir;
    WorkFolder work(dir.filePath("work"));
    if (kind == "replaced") {
        QVERIFY(QDir().mkdir(dir.filePath("work"))
                && put(dir.filePath("work/wrong-entries"), content));
        QCOMPARE(::chmod(QFile::encodeName(dir.filePath("work")).constData(), 0777), 0);
    }
    QVERIFY(work.open());
    const EntryCount entries(work);
    if (kind != "replaced")
        QVERIFY(lay(kind, content, entries.filePath(), dir.filePath("outside")));
    MessageLog log;
    QCOMPARE(entries.load(), count);
    const QStringList lines = log.lines();
    if (logPart.isEmpty()) {
        QCOMPARE(lines, QStringList());
    } else {
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith("Wrong entries:") && lines[0].contains(logPart)
                     && lines[0].endsWith("counted as 10 (the longest pause)."),
                 qPrintable(lines[0]));
    }
}

void TestEntryCount::store_data()
{
    QTest::addColumn<QString>("before");   // what lies in the count's place: none, file, folder
    QTest::addColumn<QString>("leftover"); // what a kill left as the temporary
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QByteArray>("after"); // the count file afterwards

    QTest::newRow("first count") << "none"
                                 << "none" << 1 << true << QByteArray("1\n");
    QTest::newRow("zero kept as a file") << "file"
                                         << "none" << 0 << true << QByteArray("0\n");
    QTest::newRow("temporary left by a kill") << "file"
                                              << "file" << 5 << true << QByteArray("5\n");
    QTest::newRow("link as the temporary, not followed")
        << "none"
        << "link" << 4 << true << QByteArray("4\n");
    QTest::newRow("folder in the count's place") << "folder"
                                                 << "none" << 4 << false << QByteArray("<missing>");
}

// The count is a file of its own (0600) in the work folder, and nothing else is left
// beside it.
void TestEntryCount::store()
{
    QFETCH(QString, before);
    QFETCH(QString, leftover);
    QFETCH(int, count);
    QFETCH(bool, stored);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString work = dir.filePath("FlashDisk/.corvane-install");
    QVERIFY(QDir().mkpath(work));
    WorkFolder folder(work);
    QVERIFY(folder.open());
    const EntryCount entries(folder);
    const QString outside = dir.filePath("outside");
    QVERIFY(lay(before, "9\n", entries.filePath(), outside));
    QVERIFY(lay(leftover, "outside\n", entries.filePath() + ".new", outside));

    MessageLog log;
    QCOMPARE(entries.store(count), stored);
    QCOMPARE(get(entries.filePath()), after);
    QCOMPARE(log.lines().size(), stored ? 0 : 1);
    if (stored) {
        QCOMPARE(entries.load(), count);
        QCOMPARE(modeOf(work), mode_t(0700));
        QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                      | QDir::NoDotAndDotDot),
                 QStringList{corvane::device::wrongEntryCountName});
        QCOMPARE(modeOf(entries.filePath()), mode_t(0600));
    } else {
        QVERIFY2(log.lines()[0].startsWith("Wrong entries: writing of"),
                 qPrintable(log.lines()[0]));
    }
    if (leftover == "link")
        QCOMPARE(get(outside), QByteArray("outside\n"));
}

// A user who may write the flash disk uses up its inodes: the count is still stored,
// every time, and read back as stored.
void TestEntryCount::storedWithoutFreeInodes()
{
    QTemporaryDir dir;
    const QString flash = dir.filePath("FlashDisk");
    QVERIFY(QDir().mkpath(flash));
    SmallDisk disk;
    if (!disk.mount(flash, "1m,nr_inodes=16"))
        QSKIP("this machine does not allow mounting a small file system");
    WorkFolder folder(flash + "/.corvane-install");
    QVERIFY(folder.open());
    const EntryCount entries(folder);
    QCOMPARE(entries.load(), 0); // the file is made while it can be
    QCOMPARE(runShell(flash,
                      "i=0; while touch f$i 2>/dev/null; do i=$((i+1)); done; "
                      "! touch probe 2>/dev/null"),
             0);
    MessageLog log;
    for (int count : {1, 9, 10, 0, 4}) {
        QVERIFY(entries.store(count));
        QCOMPARE(get(entries.filePath()), QByteArray::number(count) + '\n');
        QCOMPARE(entries.load(), count);
    }
    QCOMPARE(log.matching("the count was rewritten in place.").size(), 5);
}

QTEST_MAIN(TestEntryCount)
#include "tst_entrycount.moc"
