// The background removal of what a switch leaves: staging/, old/ and the marks go
// (never through a link), the lock and other state files stay, failures are logged on the
// owner's thread and reported once (by its event loop, or by wait() when that comes
// first), the finished-switch mark stays while anything else does, and destroying the
// object waits for the removal and reports nothing.

#include "leftovers.h"
#include "testsupport.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// Every message with whether it came from the test's own (the owner's) thread.
class ThreadLog
{
public:
    ThreadLog()
    {
        {
            const QMutexLocker lock(&s_mutex);
            s_own.clear();
            s_other.clear();
        }
        m_previous = qInstallMessageHandler(&ThreadLog::handler);
    }
    ~ThreadLog() { qInstallMessageHandler(m_previous); }
    static QStringList lines(bool ownThread)
    {
        const QMutexLocker lock(&s_mutex);
        return ownThread ? s_own : s_other;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        const QMutexLocker lock(&s_mutex);
        (QThread::currentThread() == qApp->thread() ? s_own : s_other) << message;
    }
    QtMessageHandler m_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_own, s_other;
};

const QStringList kMarks = {"journal.new", "rollback", "rollback.new", "switched.new", "switched"};

// A work folder as a finished switch leaves it, with files it keeps beside.
bool layOut(const QString &work, int oldFiles)
{
    bool ok = put(work + "/staging/1", "replaced") && put(work + "/staging/2/deep/x", "folder")
        && put(work + "/lock", "") && put(work + "/installed-version", "2\n");
    for (int i = 0; i < oldFiles; ++i)
        ok = ok && put(work + "/old/" + QString::number(i), "old");
    for (const QString &mark : kMarks)
        ok = ok && put(work + '/' + mark, "");
    return ok;
}

QStringList left(const QString &work)
{
    QStringList names = QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                             | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

} // namespace

class TestLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void removesAndReportsOnce_data();
    void removesAndReportsOnce();
    void waitBeforeTheEventLoop();
    void destroyingWaits();
};

void TestLeftovers::removesAndReportsOnce_data()
{
    QTest::addColumn<int>("oldFiles");
    QTest::addColumn<bool>("stuck"); // a staged file that cannot be removed
    QTest::addColumn<bool>("link");  // a link to a folder outside among the staged entries
    QTest::newRow("a few") << 3 << false << false;
    QTest::newRow("many, on two threads") << 700 << false << false;
    QTest::newRow("a link to a folder outside") << 3 << false << true;
    QTest::newRow("a file that cannot be removed") << 3 << true << false;
    QTest::newRow("many, one that cannot be removed") << 700 << true << false;
}

void TestLeftovers::removesAndReportsOnce()
{
    QFETCH(int, oldFiles);
    QFETCH(bool, stuck);
    QFETCH(bool, link);
    QTemporaryDir dir;
    const QString work = dir.filePath(".work");
    WorkFolder w(work);
    QVERIFY(w.open());
    QVERIFY(layOut(work, oldFiles));
    QVERIFY(put(dir.filePath("outside/kept"), "outside"));
    if (link)
        QVERIFY(QFile::link(dir.filePath("outside"), work + "/staging/3"));
    const QString stuckFile = work + "/old/stuck";
    if (stuck) {
        QVERIFY(put(stuckFile, "stuck"));
        if (!setImmutable(stuckFile, true))
            QSKIP("no immutable files here (chattr)");
    }
    const auto release = qScopeGuard([&] {
        if (stuck)
            setImmutable(stuckFile, false);
    });

    ThreadLog log;
    QList<bool> reports;
    {
        BackgroundRemoval removal([&](bool removed) {
            QCOMPARE(QThread::currentThread(), qApp->thread());
            reports << removed;
        });
        removal.start(w);
        // Reported by the owner's event loop, without anyone waiting.
        QTRY_COMPARE(reports.size(), 1);
        QCOMPARE(reports.first(), !stuck);
        removal.wait(); // its end was reported: nothing again
        QCoreApplication::sendPostedEvents();
        QCOMPARE(reports.size(), 1);
    }
    QCOMPARE(reports.size(), 1);
    QCOMPARE(get(dir.filePath("outside/kept")), QByteArray("outside"));
    QCOMPARE(ThreadLog::lines(false), QStringList()); // nothing logged from the removal's thread
    if (!stuck) {
        QCOMPARE(left(work), QStringList({"installed-version", "lock"}));
        QCOMPARE(leftoversIn(w), Leftovers::None);
        QCOMPARE(ThreadLog::lines(true).filter("Update:"), QStringList());
        return;
    }
    QCOMPARE(get(stuckFile), QByteArray("stuck"));
    const QStringList failures = ThreadLog::lines(true).filter("Update:");
    QVERIFY2(failures.size() >= 1 && failures.first().contains("stuck"),
             qPrintable(failures.join('\n')));
    // The mark goes last, and only when everything else is gone: the next start still
    // knows that what stays are the replaced files of a finished installation.
    QCOMPARE(left(work), QStringList({"installed-version", "lock", "old", "switched"}));
    QCOMPARE(leftoversIn(w), Leftovers::OldFiles);
}

void TestLeftovers::waitBeforeTheEventLoop()
{
    QTemporaryDir dir;
    WorkFolder w(dir.filePath(".work"));
    QVERIFY(w.open());
    QVERIFY(layOut(QString::fromUtf8(w.work), 50));
    int reports = 0;
    BackgroundRemoval removal([&](bool removed) {
        QVERIFY(removed);
        ++reports;
    });
    removal.start(w);
    removal.wait();
    QCOMPARE(reports, 1); // at once, not when the event loop comes round
    QCOMPARE(left(dir.filePath(".work")), QStringList({"installed-version", "lock"}));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(reports, 1);
    // A second removal is reported as well, once.
    QVERIFY(layOut(QString::fromUtf8(w.work), 5));
    removal.start(w);
    QTRY_COMPARE(reports, 2);
    removal.wait();
    QCOMPARE(reports, 2);
}

void TestLeftovers::destroyingWaits()
{
    QTemporaryDir dir;
    WorkFolder w(dir.filePath(".work"));
    QVERIFY(w.open());
    QVERIFY(layOut(QString::fromUtf8(w.work), 2000));
    int reports = 0;
    {
        BackgroundRemoval removal([&](bool) { ++reports; });
        removal.start(w);
    }
    // Gone when the object is, and the end posted meanwhile is not reported.
    QCOMPARE(left(dir.filePath(".work")), QStringList({"installed-version", "lock"}));
    QCoreApplication::sendPostedEvents();
    QCOMPARE(reports, 0);
}

QTEST_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
