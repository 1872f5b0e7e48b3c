// The switch and its undo, per kind of entry: from every state a power cut can leave an
// entry in, the switch finishes and the undo restores the installed entry, each of them
// again when repeated (the recovery may itself be cut short), and both leave nothing in
// the work folder. A failed entry undoes the whole switch; an entry that can only be
// reached through a link refuses it before anything is done.

#include "switchover.h"
#include "testsupport.h"
#include "workfolder.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The flush of the work folder after its journal is gone fails while this names the work
// folder's inode: a disk that reports an error at that moment.
static ino_t g_failWorkFlush = 0;

extern "C" int fsync(int fd)
{
    struct stat st, journal;
    if (g_failWorkFlush != 0 && ::fstat(fd, &st) == 0 && st.st_ino == g_failWorkFlush
        && ::fstatat(fd, "journal", &journal, AT_SYMLINK_NOFOLLOW) != 0) {
        errno = EIO;
        return -1;
    }
    return int(::syscall(SYS_fsync, fd));
}

namespace {

using Kind = SwitchEntry::Kind;

const timespec kOldTimes[2] = {{1000000000, 0}, {1000000000, 0}};
const timespec kNewTimes[2] = {{1200000000, 3}, {1200000000, 3}};

// A flash disk with an installed folder and the work folder beside it.
class Flash
{
public:
    bool open()
    {
        m_base = m_dir.filePath("flash");
        work = std::make_unique<WorkFolder>(m_base + "/.work");
        return QDir().mkpath(m_base + "/Corvane") && work->open();
    }
    QString host(const QByteArray &relative) const
    {
        return m_base + '/' + QString::fromUtf8(relative);
    }
    QByteArray bytes(const QByteArray &relative) const { return QFile::encodeName(host(relative)); }
    // What the work folder holds.
    QStringList workLeft() const
    {
        return QDir(m_base + "/.work")
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    QString outside() const { return m_dir.filePath("outside"); }

    std::unique_ptr<WorkFolder> work;

private:
    QTemporaryDir m_dir;
    QString m_base;
};

// Entry n of a kind over Corvane/<name>, its files laid out as staging leaves them.
bool prepare(Flash &flash, Kind kind, const QByteArray &name, int n, SwitchEntry *e)
{
    const QByteArray number = QByteArray::number(n);
    e->kind = kind;
    e->final = "Corvane/" + name;
    if (kind == Kind::Times) {
        std::copy(kNewTimes, kNewTimes + 2, e->times);
        std::copy(kOldTimes, kOldTimes + 2, e->oldTimes);
        return put(flash.host(e->final), "same " + name)
            && ::utimensat(AT_FDCWD, flash.bytes(e->final).constData(), kOldTimes, 0) == 0;
    }
    e->staged = ".work/staging/" + number;
    if (kind == Kind::Aside)
        e->old = ".work/old/" + number;
    struct stat st;
    if (!put(flash.host(e->staged), "new " + name) || !QDir().mkpath(flash.host(".work/old"))
        || ::stat(flash.bytes(e->staged).constData(), &st) != 0)
        return false;
    e->inode = st.st_ino;
    return kind == Kind::New || put(flash.host(e->final), "old " + name);
}

// Takes an entry from one state of its switch to the next, as the switch would.
bool step(const Flash &flash, const SwitchEntry &e, int to)
{
    const auto moved = [&](const QByteArray &from, const QByteArray &where) {
        return ::rename(flash.bytes(from).constData(), flash.bytes(where).constData()) == 0;
    };
    switch (e.kind) {
    case Kind::New:
        return moved(e.staged, e.final);
    case Kind::Swap:
        return ::renameat2(AT_FDCWD, flash.bytes(e.staged).constData(), AT_FDCWD,
                           flash.bytes(e.final).constData(), RENAME_EXCHANGE)
            == 0;
    case Kind::Aside:
        return to == 1 ? moved(e.final, e.old) : moved(e.staged, e.final);
    case Kind::Times:
        return ::utimensat(AT_FDCWD, flash.bytes(e.final).constData(), kNewTimes, 0) == 0;
    }
    return false;
}

// "new", "old" or "missing": what lies at the entry's installed place.
QByteArray installed(const Flash &flash, const SwitchEntry &e, const QByteArray &name)
{
    if (e.kind == Kind::Times) {
        struct stat st;
        if (::stat(flash.bytes(e.final).constData(), &st) != 0)
            return "missing";
        return st.st_mtim.tv_sec == kNewTimes[1].tv_sec ? "new" : "old";
    }
    const QByteArray content = get(flash.host(e.final));
    if (content == "<missing>")
        return "missing";
    return content == "new " + name ? "new" : content == "old " + name ? "old" : content;
}

const char *kindName(Kind kind)
{
    switch (kind) {
    case Kind::New:
        return "new";
    case Kind::Swap:
        return "swap";
    case Kind::Aside:
        return "aside";
    case Kind::Times:
        return "times";
    }
    return "?";
}

} // namespace

class TestSwitchover : public QObject
{
    Q_OBJECT

private slots:
    void fromEveryState_data();
    void fromEveryState();
    void failedEntryUndoesAll();
    void linkOnTheWayRefusesAll();
    void unflushedEndKeepsOldEntries();
};

void TestSwitchover::fromEveryState_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("state"); // steps of the switch already done
    QTest::addColumn<bool>("forward");
    QTest::addColumn<bool>("fresh");
    for (const auto &[kind, states] : {std::pair{Kind::New, 2}, std::pair{Kind::Swap, 2},
                                       std::pair{Kind::Aside, 3}, std::pair{Kind::Times, 2}}) {
        QTest::addRow("%s: the first switch", kindName(kind)) << kind << 0 << true << true;
        for (int state = 0; state < states; ++state) {
            QTest::addRow("%s: switched from state %d", kindName(kind), state)
                << kind << state << true << false;
            QTest::addRow("%s: undone from state %d", kindName(kind), state)
                << kind << state << false << false;
        }
    }
}

void TestSwitchover::fromEveryState()
{
    QFETCH(Kind, kind);
    QFETCH(int, state);
    QFETCH(bool, forward);
    QFETCH(bool, fresh);
    Flash flash;
    QVERIFY(flash.open());
    SwitchEntry e;
    QVERIFY(prepare(flash, kind, "a", 1, &e));
    const QByteArray before = installed(flash, e, "a");
    for (int to = 1; to <= state; ++to)
        QVERIFY(step(flash, e, to));

    // A finished switch run again (a recovery whose end did not reach the disk) stays
    // finished. An undo is not run again once its leftovers are gone: the journal goes
    // first, so no recovery meets that state.
    for (int run = 0; run < (forward ? 2 : 1); ++run) {
        SwitchFailure failed{{}, 0};
        const SwitchResult result = forward
            ? switchAll(*flash.work, {e}, fresh && run == 0, nullptr, &failed)
            : rollBack(*flash.work, {e}, &failed);
        QCOMPARE(result, forward ? SwitchResult::Done : SwitchResult::RolledBack);
        QCOMPARE(failed.second, 0);
        QCOMPARE(installed(flash, e, "a"), forward ? QByteArray("new") : before);
        QCOMPARE(flash.workLeft(), QStringList());
    }
}

void TestSwitchover::failedEntryUndoesAll()
{
    Flash flash;
    QVERIFY(flash.open());
    const std::vector<std::pair<Kind, QByteArray>> kinds = {{Kind::New, "a"},
                                                            {Kind::Aside, "b"},
                                                            {Kind::Times, "c"},
                                                            {Kind::Swap, "d"},
                                                            {Kind::Aside, "e"}};
    std::vector<SwitchEntry> entries(kinds.size());
    QList<QByteArray> before;
    for (size_t i = 0; i < kinds.size(); ++i) {
        QVERIFY(prepare(flash, kinds[i].first, kinds[i].second, int(i + 1), &entries[i]));
        before << installed(flash, entries[i], kinds[i].second);
    }
    // The fourth entry's staged file is gone: its exchange fails after three are switched.
    QVERIFY(QFile::remove(flash.host(entries[3].staged)));
    SwitchFailure failed{{}, 0};
    QCOMPARE(switchAll(*flash.work, entries, true, nullptr, &failed), SwitchResult::RolledBack);
    QCOMPARE(failed, SwitchFailure("Corvane/d", ENOENT));
    for (size_t i = 0; i < kinds.size(); ++i)
        QCOMPARE(installed(flash, entries[i], kinds[i].second), before[int(i)]);
    QCOMPARE(flash.workLeft(), QStringList());
}

void TestSwitchover::linkOnTheWayRefusesAll()
{
    Flash flash;
    QVERIFY(flash.open());
    QVERIFY(QDir().mkpath(flash.outside()));
    QVERIFY(QFile::link(flash.outside(), flash.host("Corvane/link")));
    SwitchEntry first, second;
    QVERIFY(prepare(flash, Kind::New, "a", 1, &first));
    QVERIFY(prepare(flash, Kind::New, "link/x", 2, &second));
    SwitchFailure failed{{}, 0};
    QCOMPARE(switchAll(*flash.work, {first, second}, true, nullptr, &failed),
             SwitchResult::Refused);
    QCOMPARE(failed, SwitchFailure("Corvane/link/x", ELOOP));
    QCOMPARE(installed(flash, first, "a"), QByteArray("missing")); // the first is not done
    QCOMPARE(get(flash.host(first.staged)), QByteArray("new a"));
    QCOMPARE(QDir(flash.outside()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(rollBack(*flash.work, {first, second}, &failed), SwitchResult::Refused);
    QCOMPARE(get(flash.host(first.staged)), QByteArray("new a"));
}

void TestSwitchover::unflushedEndKeepsOldEntries()
{
    // The journal's removal may not have reached the disk: a cut could bring the journal
    // back, and its replay must still find the entries it moved aside.
    Flash flash;
    QVERIFY(flash.open());
    SwitchEntry e;
    QVERIFY(prepare(flash, Kind::Aside, "a", 1, &e));
    struct stat st;
    QCOMPARE(::fstat(flash.work->fd(), &st), 0);
    g_failWorkFlush = st.st_ino;
    SwitchFailure failed{{}, 0};
    const SwitchResult result = switchAll(*flash.work, {e}, true, nullptr, &failed);
    g_failWorkFlush = 0;
    QCOMPARE(result, SwitchResult::Done);
    QCOMPARE(installed(flash, e, "a"), QByteArray("new"));
    QCOMPARE(get(flash.host(e.old)), QByteArray("old a"));
}

QTEST_MAIN(TestSwitchover)
#include "tst_switchover.moc"
