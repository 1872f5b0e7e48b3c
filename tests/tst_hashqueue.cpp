// The hash queue: every file handed to it is hashed and closed, finish() reports the first
// mismatch in the order the files were added (whichever thread hashed which file first),
// a file that cannot be read is a mismatch with its reason, and a queue dropped without
// finish() still closes what it holds. Its helpers hash and compare open files whole.

#include "hashqueue.h"
#include "testsupport.h"
#include "uniquefd.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kMiB = qint64{1024} * 1024;

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

// A file of the given size whose bytes depend on its number.
QByteArray contentOf(int number, qint64 size)
{
    QByteArray data(size, char('a' + number % 26));
    if (size > 0)
        data[size - 1] = char(number);
    return data;
}

int openFile(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
}

} // namespace

class TestHashQueue : public QObject
{
    Q_OBJECT

private slots:
    void firstMismatchInOrder_data();
    void firstMismatchInOrder();
    void hashesAndComparesWholeFiles_data();
    void hashesAndComparesWholeFiles();
};

void TestHashQueue::firstMismatchInOrder_data()
{
    // kinds: one letter per file, g as listed, b listed otherwise, d a folder (unreadable).
    QTest::addColumn<QList<qint64>>("sizes");
    QTest::addColumn<QByteArray>("kinds");
    QTest::addColumn<bool>("finish");
    QTest::addColumn<int>("first"); // -1: none
    QTest::addColumn<int>("error");
    QTest::newRow("all as listed")
        << QList<qint64>{10, 2 * kMiB, 0} << QByteArray("ggg") << true << -1 << 0;
    QTest::newRow("one differs") << QList<qint64>{10, 20, 30} << QByteArray("gbg") << true << 1
                                 << 0;
    // While the thread hashes the first file, the queue fills and the caller hashes a late
    // file itself; the small second file, queued, is hashed last of all (largest first).
    // Its mismatch is found last, and reported.
    QList<qint64> sizes{16 * kMiB, 100};
    QByteArray kinds = "gb";
    for (int i = 0; i < 70; ++i) {
        sizes << qint64{256} * 1024;
        kinds += i == 66 ? 'b' : 'g';
    }
    QTest::newRow("found last, added first") << sizes << kinds << true << 1 << 0;
    QTest::newRow("unreadable, then a mismatch")
        << QList<qint64>{0, 10} << QByteArray("db") << true << 0 << int(EISDIR);
    QTest::newRow("a mismatch, then unreadable")
        << QList<qint64>{10, 0} << QByteArray("bd") << true << 0 << 0;
    // More than wait: the caller hashes some itself.
    QByteArray many(300, 'g');
    many[150] = 'b';
    many[299] = 'b';
    QTest::newRow("more than may wait") << QList<qint64>(300, 1024) << many << true << 150 << 0;
    QTest::newRow("dropped without finish")
        << QList<qint64>(100, 4096) << QByteArray(100, 'g') << false << -1 << 0;
}

void TestHashQueue::firstMismatchInOrder()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(QByteArray, kinds);
    QFETCH(bool, finish);
    QFETCH(int, first);
    QFETCH(int, error);
    QTemporaryDir dir;
    QList<QByteArray> contents, listed;
    for (int i = 0; i < sizes.size(); ++i) {
        const QString path = dir.filePath(QString::number(i));
        contents << contentOf(i, sizes[i]);
        listed << sha256(kinds[i] == 'b' ? "other bytes" : contents[i]);
        QVERIFY(kinds[i] == 'd' ? QDir().mkpath(path) : put(path, contents[i]));
    }
    const int before = openDescriptorCount();
    HashQueue::Mismatch mismatch;
    bool ok = false;
    {
        HashQueue queue;
        for (int i = 0; i < sizes.size(); ++i) {
            const int fd = openFile(dir.filePath(QString::number(i)));
            QVERIFY(fd >= 0);
            queue.add(fd, "listed/" + QByteArray::number(i), listed[i]);
        }
        if (finish)
            ok = queue.finish(&mismatch);
    }
    QCOMPARE(openDescriptorCount(), before); // every descriptor handed over is closed
    if (!finish)
        return;
    QCOMPARE(ok, first < 0);
    if (first < 0)
        return;
    QCOMPARE(mismatch.path, "listed/" + QByteArray::number(first));
    QCOMPARE(mismatch.error, error);
    QCOMPARE(mismatch.listed, listed[first].toHex());
    QCOMPARE(mismatch.found,
             error ? QString() : QString::fromLatin1(sha256(contents[first]).toHex()));
}

void TestHashQueue::hashesAndComparesWholeFiles_data()
{
    // Read in chunks (a small first one): a difference in any of them counts.
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("mode");
    QTest::addColumn<qint64>("differAt"); // -1: the same bytes; past the end: one byte longer
    QTest::newRow("small, same") << qint64(100) << 0600 << qint64(-1);
    QTest::newRow("small, first byte") << qint64(100) << 0600 << qint64(0);
    QTest::newRow("empty, same") << qint64(0) << 0600 << qint64(-1);
    QTest::newRow("one byte longer") << qint64(100) << 0600 << qint64(100);
    QTest::newRow("several chunks, same") << 3 * kMiB << 0600 << qint64(-1);
    QTest::newRow("first chunk exactly, same") << kMiB / 16 << 0600 << qint64(-1);
    QTest::newRow("first chunk exactly, one byte longer") << kMiB / 16 << 0600 << kMiB / 16;
    QTest::newRow("two chunks exactly, one byte longer")
        << kMiB + kMiB / 16 << 0600 << kMiB + kMiB / 16;
    QTest::newRow("several chunks, last byte") << 3 * kMiB << 0600 << 3 * kMiB - 1;
    QTest::newRow("writable by others, last byte") << 3 * kMiB << 0666 << 3 * kMiB - 1;
    QTest::newRow("writable by others, one byte longer") << 2 * kMiB << 0666 << 2 * kMiB;
}

void TestHashQueue::hashesAndComparesWholeFiles()
{
    QFETCH(qint64, size);
    QFETCH(int, mode);
    QFETCH(qint64, differAt);
    QTemporaryDir dir;
    const QByteArray data = contentOf(7, size);
    QByteArray other = data;
    if (differAt >= size)
        other += 'x';
    else if (differAt >= 0)
        other[differAt] = char(other[differAt] ^ 1);
    QVERIFY(put(dir.filePath("a"), data));
    QVERIFY(put(dir.filePath("b"), other));
    for (const char *name : {"a", "b"})
        QCOMPARE(::chmod(QFile::encodeName(dir.filePath(name)).constData(), mode_t(mode)), 0);
    const corvane::fs::UniqueFd a(openFile(dir.filePath("a"))), b(openFile(dir.filePath("b")));
    QVERIFY(a.isValid() && b.isValid());

    // Hashed from the start whatever the offset, which stays where it was.
    QCOMPARE(::lseek(a.get(), size / 2, SEEK_SET), off_t(size / 2));
    QByteArray digest;
    QVERIFY(sha256OfFile(a.get(), &digest));
    QCOMPARE(digest, sha256(data));
    QCOMPARE(::lseek(a.get(), 0, SEEK_CUR), off_t(size / 2));
    QCOMPARE(sameContent(a.get(), b.get(), size), differAt < 0);
    QCOMPARE(sameContent(b.get(), a.get(), size), differAt < 0);
    // Both one byte longer than they were when looked at: not the same.
    QVERIFY(!sameContent(a.get(), a.get(), size - 1));
}

QTEST_MAIN(TestHashQueue)
#include "tst_hashqueue.moc"
