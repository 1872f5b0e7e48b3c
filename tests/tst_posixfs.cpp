// The shared small-file helpers: a small file is read whole or refused with a reason
// (a link, too big, not a regular file, changed while read), a state file is replaced
// so that only the old or the new content is ever under its name and nothing is written
// through a link, and a path goes into the log as one line of valid text.

#include "posixfs.h"
#include "testsupport.h"
#include "uniquefd.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {

enum class Change { None, Grows, Shrinks, Rewritten };

// Changes a file while a reader is between its fstat and its read: a fanotify permission
// event holds the reader's first read until the change is made, so "changed while read"
// is met every time, not by luck of a race.
class ChangeOnRead
{
public:
    ChangeOnRead(const QByteArray &path, Change change)
        : m_path(path)
        , m_change(change)
    {
        m_fan = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY);
        if (m_fan < 0 || ::pipe2(m_stop, O_CLOEXEC) != 0
            || ::fanotify_mark(m_fan, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.constData())
                != 0) {
            m_why = QStringLiteral("fanotify refused here: %1").arg(errorText(errno));
            return;
        }
        m_thread = std::thread([this] { listen(); });
    }
    ~ChangeOnRead()
    {
        if (m_thread.joinable()) {
            ::close(m_stop[1]);
            m_thread.join();
            ::close(m_stop[0]);
        }
        if (m_fan >= 0)
            ::close(m_fan); // every mark goes with it
    }
    QString whyNot() const { return m_why; }

private:
    void listen()
    {
        bool changed = false;
        pollfd fds[2] = {{m_fan, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) > 0 && (fds[1].revents == 0)) {
            alignas(fanotify_event_metadata) char buffer[4096];
            const ssize_t n = ::read(m_fan, buffer, sizeof buffer);
            auto *event = reinterpret_cast<fanotify_event_metadata *>(buffer);
            for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (!changed && (event->mask & FAN_ACCESS_PERM)) {
                    changed = true;
                    apply();
                }
                const fanotify_response allow{event->fd, FAN_ALLOW};
                [[maybe_unused]] const ssize_t written = ::write(m_fan, &allow, sizeof allow);
                ::close(event->fd);
            }
        }
    }
    void apply()
    {
        const UniqueFd fd(::open(m_path.constData(), O_WRONLY | O_CLOEXEC));
        struct stat st;
        if (!fd.isValid() || ::fstat(fd.get(), &st) != 0)
            return;
        // Whether the change went through shows in what the reader reports.
        const QByteArray other(int(st.st_size), 'X'); // as long as before
        if (m_change == Change::Grows)
            static_cast<void>(::pwrite(fd.get(), "more", 4, st.st_size));
        else if (m_change == Change::Shrinks)
            static_cast<void>(::ftruncate(fd.get(), st.st_size / 2));
        else if (m_change == Change::Rewritten)
            static_cast<void>(::pwrite(fd.get(), other.constData(), size_t(other.size()), 0));
    }

    QByteArray m_path;
    Change m_change;
    int m_fan = -1;
    int m_stop[2] = {-1, -1};
    QString m_why;
    std::thread m_thread;
};

QByteArray hostPath(const QTemporaryDir &dir, const char *name)
{
    return QFile::encodeName(dir.filePath(QString::fromUtf8(name)));
}

struct stat statOf(const QString &path)
{
    struct stat st = {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

} // namespace

class TestPosixFs : public QObject
{
    Q_OBJECT

private slots:
    void readSmallFile_data();
    void readSmallFile();
    void replaceFile_data();
    void replaceFile();
    void replaceFileOnAFullDisk();
    void quotedForLog_data();
    void quotedForLog();
    void folderListedTwiceThroughOneDescriptor();
};

void TestPosixFs::readSmallFile_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<Change>("change");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("words"); // in smallFileProblem's line
    QTest::newRow("whole") << QByteArray("ten") << Change::None << 0 << QString();
    QTest::newRow("empty") << QByteArray("empty") << Change::None << 0 << QString();
    QTest::newRow("one byte over") << QByteArray("eleven") << Change::None << int(EFBIG)
                                   << "\"eleven\" is larger than 10 bytes";
    QTest::newRow("link to a file")
        << QByteArray("link") << Change::None << int(ELOOP) << "\"link\" is a link, not read";
    QTest::newRow("dangling link")
        << QByteArray("dangling") << Change::None << int(ELOOP) << "is a link, not read";
    QTest::newRow("folder") << QByteArray("folder") << Change::None << int(EINVAL)
                            << "\"folder\" is not a regular file";
    QTest::newRow("pipe, not waited on")
        << QByteArray("fifo") << Change::None << int(EINVAL) << "is not a regular file";
    QTest::newRow("missing") << QByteArray("none") << Change::None << int(ENOENT)
                             << "\"none\" does not exist";
    QTest::newRow("grows while read") << QByteArray("ten") << Change::Grows << kChangedWhileRead
                                      << "\"ten\" changed while being read";
    QTest::newRow("shrinks while read")
        << QByteArray("ten") << Change::Shrinks << kChangedWhileRead << "changed while being read";
    QTest::newRow("rewritten while read, same size")
        << QByteArray("ten") << Change::Rewritten << kChangedWhileRead
        << "changed while being read";
}

void TestPosixFs::readSmallFile()
{
    QFETCH(QByteArray, name);
    QFETCH(Change, change);
    QFETCH(int, error);
    QFETCH(QString, words);
    QTemporaryDir dir;
    QVERIFY(put(dir.filePath("ten"), "0123456789"));
    QVERIFY(put(dir.filePath("eleven"), "0123456789A"));
    QVERIFY(put(dir.filePath("empty"), ""));
    QVERIFY(QDir().mkpath(dir.filePath("folder")));
    QVERIFY(QFile::link("ten", dir.filePath("link")));
    QVERIFY(QFile::link("none", dir.filePath("dangling")));
    QCOMPARE(::mkfifo(hostPath(dir, "fifo").constData(), 0600), 0);
    // Times of long ago: a rewrite now shows in them, however coarse the clock.
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, hostPath(dir, "ten").constData(), old, 0), 0);
    // (A pipe is never opened here: that would wait for a writer.)
    const QByteArray expected = error == 0 ? get(dir.filePath(QString::fromUtf8(name))) : "";

    const UniqueFd folder(
        ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY));
    const int descriptors = openDescriptorCount();
    std::unique_ptr<ChangeOnRead> changer;
    if (change != Change::None) {
        changer = std::make_unique<ChangeOnRead>(hostPath(dir, name.constData()), change);
        if (!changer->whyNot().isEmpty())
            QSKIP(qPrintable(changer->whyNot()));
    }
    QByteArray content = "untouched";
    struct stat st = {};
    errno = 0;
    const bool read = readSmallFileAt(folder.get(), name, 10, &content, &st);
    const int got = read ? 0 : errno;
    changer.reset();
    QCOMPARE(got, error);
    QCOMPARE(openDescriptorCount(), descriptors);
    if (error == 0) {
        QCOMPARE(content, expected);
        QCOMPARE(qint64(st.st_size), qint64(expected.size()));
        QVERIFY(S_ISREG(st.st_mode));
    } else {
        QCOMPARE(content, QByteArray("untouched"));
        const QString line = smallFileProblem(name, error, 10);
        QVERIFY2(line.contains(words), qPrintable(line));
    }
}

void TestPosixFs::replaceFile_data()
{
    QTest::addColumn<QString>("before"); // what lies under "state" and "state.new"
    QTest::addColumn<int>("error");
    QTest::addRow("nothing there") << "" << 0;
    QTest::addRow("an old file") << "state=old" << 0;
    QTest::addRow("a temporary a kill left") << "state=old state.new=half" << 0;
    QTest::addRow("temporary is a link outside") << "state=old state.new>secret" << 0;
    QTest::addRow("temporary is a dangling link") << "state.new>made" << 0;
    QTest::addRow("name is a link outside") << "state>secret" << 0;
    QTest::addRow("a folder in its place") << "state/" << int(EISDIR);
}

void TestPosixFs::replaceFile()
{
    QFETCH(QString, before);
    QFETCH(int, error);
    QTemporaryDir dir;
    const QString work = dir.filePath("work"), outside = dir.filePath("outside");
    QVERIFY(put(outside + "/secret", "outside"));
    QVERIFY(QDir().mkpath(work));
    for (const QString &item : before.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (item.endsWith(QLatin1Char('/'))) {
            QVERIFY(put(work + '/' + item + "inside", "kept"));
        } else if (const qsizetype arrow = item.indexOf(QLatin1Char('>')); arrow > 0) {
            QVERIFY(
                QFile::link(outside + '/' + item.mid(arrow + 1), work + '/' + item.left(arrow)));
        } else {
            const qsizetype equals = item.indexOf(QLatin1Char('='));
            QVERIFY(put(work + '/' + item.left(equals), item.mid(equals + 1).toUtf8()));
        }
    }
    const UniqueFd folder(::open(QFile::encodeName(work).constData(), O_RDONLY | O_DIRECTORY));
    const mode_t previousMask = ::umask(077);
    errno = 0;
    const bool replaced = replaceFileAt(folder.get(), "state", "new content", 0644);
    const int got = replaced ? 0 : errno;
    ::umask(previousMask);

    QCOMPARE(got, error);
    // Nothing outside is written or made, and no temporary stays.
    QCOMPARE(get(outside + "/secret"), QByteArray("outside"));
    QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{"secret"});
    QVERIFY(!QFileInfo::exists(work + "/state.new") && !QFileInfo(work + "/state.new").isSymLink());
    if (error == 0) {
        const struct stat st = statOf(work + "/state");
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(st.st_mode & 07777, mode_t(0644)); // as asked, whatever the umask
        QCOMPARE(get(work + "/state"), QByteArray("new content"));
    } else {
        QCOMPARE(get(work + "/state/inside"), QByteArray("kept"));
    }
}

void TestPosixFs::replaceFileOnAFullDisk()
{
    QTemporaryDir dir;
    const QByteArray disk = QFile::encodeName(dir.path());
    if (::mount("tmpfs", disk.constData(), "tmpfs", 0, "size=8k") != 0)
        QSKIP(qPrintable(QStringLiteral("no tmpfs can be mounted here: %1").arg(errorText(errno))));
    const auto unmount = qScopeGuard([&] { ::umount(disk.constData()); });
    QVERIFY(put(dir.filePath("state"), "old"));
    const UniqueFd folder(::open(disk.constData(), O_RDONLY | O_DIRECTORY));
    errno = 0;
    QVERIFY(!replaceFileAt(folder.get(), "state", QByteArray(qsizetype{64} * 1024, 'n')));
    QCOMPARE(errno, ENOSPC);
    QCOMPARE(get(dir.filePath("state")), QByteArray("old"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"state"});
}

void TestPosixFs::quotedForLog_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("logged");
    QTest::newRow("plain") << QByteArray("/FlashDisk/a b.txt") << "\"/FlashDisk/a b.txt\"";
    QTest::newRow("UTF-8 kept") << QByteArray("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80")
                                << QString::fromUtf8("\"Grüß € \xF0\x9F\x98\x80\"");
    QTest::newRow("line feed and tab") << QByteArray("a\nb\tc") << "\"a\\x0Ab\\x09c\"";
    QTest::newRow("DEL and C1 control") << QByteArray("a\x7F\xC2\x85") << "\"a\\x7F\\xC2\\x85\"";
    QTest::newRow("not UTF-8") << QByteArray("a\xFF\xFE") << "\"a\\xFF\\xFE\"";
    QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << "\"\\xC0\\xAF\"";
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x80\xAF") << "\"\\xE0\\x80\\xAF\"";
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << "\"\\xED\\xA0\\x80\"";
    QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << "\"\\xF4\\x90\\x80\\x80\"";
    QTest::newRow("cut short at the end") << QByteArray("x\xE2\x82") << "\"x\\xE2\\x82\"";
}

void TestPosixFs::quotedForLog()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, logged);
    QCOMPARE(corvane::quotedForLog(path), logged);
}

// A descriptor and its copies share their position: every listing starts from the first
// entry, whoever listed the folder before.
void TestPosixFs::folderListedTwiceThroughOneDescriptor()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *name : {"a", "b", "c"})
        QVERIFY(put(dir.filePath(name), "x"));
    const UniqueFd fd(::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY));
    const UniqueFd copy(::dup(fd.get()));
    std::vector<QByteArray> first, second;
    QVERIFY(listFolder(fd.get(), &first));
    QVERIFY(listFolder(copy.get(), &second));
    std::sort(second.begin(), second.end());
    QCOMPARE(second, (std::vector<QByteArray>{"a", "b", "c"}));
    QCOMPARE(first.size(), second.size());
}

QTEST_MAIN(TestPosixFs)
#include "tst_posixfs.moc"
