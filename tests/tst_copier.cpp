// The copier: each queued file arrives whole with its mode and times, its staged bytes go
// to the hash queue, the first failure is reported (in words that say which side failed)
// and stops the run (later copies are not done), abandon() leaves the queued copies
// undone, a full queue refuses a copy without taking it, and every descriptor handed
// over is closed, also by a copier dropped without finish().

#include "copier.h"
#include "hashqueue.h"
#include "testsupport.h"
#include "uniquefd.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using corvane::fs::UniqueFd;

namespace {

constexpr qint64 kMiB = qint64{1024} * 1024;
const timespec kTimes[2] = {{1000000000, 5}, {1100000000, 7}};

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

// A job from in (planned: content) to a new file out, listed with the SHA-256 of listed.
Copier::Job job(int in, const QString &out, const QByteArray &content, const QByteArray &listed,
                int number)
{
    Copier::Job j;
    j.in = in;
    j.out = ::open(QFile::encodeName(out).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    j.size = content.size();
    j.mode = 0640;
    j.times[0] = kTimes[0];
    j.times[1] = kTimes[1];
    j.from = "from/" + QByteArray::number(number);
    j.staged = QFile::encodeName(out);
    j.listedAs = "listed/" + QByteArray::number(number);
    j.sha256 = sha256(listed);
    return j;
}

int openFile(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
}

} // namespace

class TestCopier : public QObject
{
    Q_OBJECT

private slots:
    void copies_data();
    void copies();
    void fullQueueRefusesWithoutTaking();
};

void TestCopier::copies_data()
{
    // kinds: one letter per copy: f a file, w a file listed with other bytes, d a folder
    // (cannot be read), L a file too large for the disk the staged files are on.
    QTest::addColumn<QByteArray>("kinds");
    QTest::addColumn<bool>("fullDisk"); // the staged files on a small tmpfs
    QTest::addColumn<bool>("abandon");
    QTest::addColumn<bool>("finish");
    QTest::addColumn<int>("failed"); // the copy that fails, -1 none
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("mismatch"); // the first the hash queue reports, -1 none
    QTest::newRow("every copy done")
        << QByteArray("ffff") << false << false << true << -1 << QString() << 0 << -1;
    QTest::newRow("staged bytes are hashed")
        << QByteArray("fwfw") << false << false << true << -1 << QString() << 0 << 1;
    QTest::newRow("a read fails") << QByteArray("fdff") << false << false << true << 1 << "copy of"
                                  << int(EISDIR) << -1;
    QTest::newRow("a write fails") << QByteArray("fLff") << true << false << true << 1
                                   << "writing a copy of" << int(ENOSPC) << -1;
    QTest::newRow("abandoned") << QByteArray("ffff") << false << true << true << -1 << QString()
                               << 0 << -1;
    QTest::newRow("dropped without finish")
        << QByteArray("ffffffff") << false << false << false << -1 << QString() << 0 << -1;
}

void TestCopier::copies()
{
    QFETCH(QByteArray, kinds);
    QFETCH(bool, fullDisk);
    QFETCH(bool, abandon);
    QFETCH(bool, finish);
    QFETCH(int, failed);
    QFETCH(QString, what);
    QFETCH(int, error);
    QFETCH(int, mismatch);
    QTemporaryDir dir, outDir;
    if (fullDisk
        && ::mount("tmpfs", QFile::encodeName(outDir.path()).constData(), "tmpfs", 0, "size=64k")
            != 0)
        QSKIP(qPrintable(QStringLiteral("no tmpfs can be mounted here: %1").arg(strerror(errno))));
    const auto unmount = qScopeGuard([&] {
        if (fullDisk)
            ::umount(QFile::encodeName(outDir.path()).constData());
    });
    QList<QByteArray> contents;
    for (int i = 0; i < kinds.size(); ++i) {
        contents << QByteArray(kinds[i] == 'L' ? kMiB : 3000 + i, char('a' + i));
        const QString in = dir.filePath(QString::number(i));
        QVERIFY(kinds[i] == 'd' ? QDir().mkpath(in) : put(in, contents[i]));
    }
    const int before = openDescriptorCount();
    std::vector<Copier::Failure> failures;
    qint64 bytes = 0;
    bool hashed = true;
    HashQueue::Mismatch first;
    {
        HashQueue hashes;
        Copier copier(&hashes);
        if (abandon) {
            // Held by the first copy, from a pipe, until finish() waits: the rest stay queued.
            int pipe[2];
            QCOMPARE(::pipe2(pipe, O_CLOEXEC), 0);
            UniqueFd writeEnd(pipe[1]);
            QVERIFY(copier.add(job(pipe[0], outDir.filePath("held"), {}, {}, 99)));
            for (int i = 0; i < kinds.size(); ++i)
                QVERIFY(copier.add(job(openFile(dir.filePath(QString::number(i))),
                                       outDir.filePath(QString::number(i)), contents[i],
                                       contents[i], i)));
            copier.abandon();
            failures = copier.finish([&] { writeEnd.reset(); });
        } else {
            for (int i = 0; i < kinds.size(); ++i) {
                const QByteArray listed = kinds[i] == 'w' ? "other bytes" : contents[i];
                QVERIFY(
                    copier.add(job(openFile(dir.filePath(QString::number(i))),
                                   outDir.filePath(QString::number(i)), contents[i], listed, i)));
            }
            if (finish)
                failures = copier.finish({});
        }
        bytes = copier.bytesDone();
        if (finish)
            hashed = hashes.finish(&first);
    }
    QCOMPARE(openDescriptorCount(), before); // every descriptor handed over is closed
    if (!finish)
        return;

    QCOMPARE(failures.size(), size_t(failed >= 0 ? 1 : 0));
    if (failed >= 0) {
        QCOMPARE(QString::fromLatin1(failures[0].what), what);
        QCOMPARE(failures[0].path, "from/" + QByteArray::number(failed));
        QCOMPARE(failures[0].error, error);
    }
    qint64 planned = 0;
    for (int i = 0; i < kinds.size(); ++i) {
        const QString out = outDir.filePath(QString::number(i));
        planned += contents[i].size();
        if (abandon || (failed >= 0 && i > failed)) {
            QCOMPARE(get(out), QByteArray()); // not copied
        } else if (i != failed) {
            QCOMPARE(get(out), contents[i]);
            struct stat st;
            QCOMPARE(::stat(QFile::encodeName(out).constData(), &st), 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0640));
            QCOMPARE(st.st_mtim.tv_sec, kTimes[1].tv_sec);
            QCOMPARE(st.st_mtim.tv_nsec, kTimes[1].tv_nsec);
        }
    }
    // Progress counts every copy as planned, done or not.
    QCOMPARE(bytes, planned);
    QCOMPARE(hashed, mismatch < 0);
    if (mismatch >= 0)
        QCOMPARE(first.path, "listed/" + QByteArray::number(mismatch));
}

void TestCopier::fullQueueRefusesWithoutTaking()
{
    QTemporaryDir dir;
    QVERIFY(put(dir.filePath("in"), "content"));
    const int before = openDescriptorCount();
    int refusedIn = -1, refusedOut = -1, accepted = 0, waited = 0;
    {
        Copier copier(nullptr);
        int pipe[2];
        QCOMPARE(::pipe2(pipe, O_CLOEXEC), 0);
        UniqueFd writeEnd(pipe[1]);
        QVERIFY(copier.add(job(pipe[0], dir.filePath("held"), {}, {}, 0)));
        for (int i = 1; i < 200 && refusedIn < 0; ++i) {
            Copier::Job j = job(openFile(dir.filePath("in")), dir.filePath(QString::number(i)),
                                "content", "content", i);
            if (copier.add(j)) {
                ++accepted;
            } else {
                refusedIn = j.in;
                refusedOut = j.out;
            }
        }
        QVERIFY(refusedIn >= 0);
        // Nothing of a refused copy is taken: its descriptors are the caller's still.
        QVERIFY(::fcntl(refusedIn, F_GETFD) >= 0 && ::fcntl(refusedOut, F_GETFD) >= 0);
        ::close(refusedIn);
        ::close(refusedOut);
        const auto failures = copier.finish([&] {
            ++waited;
            writeEnd.reset(); // the held copy ends
        });
        QVERIFY(failures.empty());
    }
    QVERIFY(waited > 0);
    QVERIFY(accepted >= 1);
    for (int i = 1; i <= accepted; ++i)
        QCOMPARE(get(dir.filePath(QString::number(i))), QByteArray("content"));
    QCOMPARE(openDescriptorCount(), before);
}

QTEST_MAIN(TestCopier)
#include "tst_copier.moc"
