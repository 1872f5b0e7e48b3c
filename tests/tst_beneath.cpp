// Names resolved below an open folder: a link anywhere on the way or at the end, "..",
// an absolute name or an empty component is refused with the same errno whether openat2
// or the walk that stands in for it (under emulation, older kernels) resolves it, nothing
// outside the folder is reached or made, and no descriptor is left open.

#include "beneath.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {

enum class Call { Open, Folder, Create, Read, Parent };

bool kernelHasOpenat2()
{
#ifdef SYS_openat2
    open_how how = {};
    how.flags = O_RDONLY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    const int fd = int(::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how));
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
#else
    return false;
#endif
}

// Whether two entries are one (same device and inode).
bool same(int fd, const QString &path)
{
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::lstat(QFile::encodeName(path).constData(), &b) == 0
        && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

class TestBeneath : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { forceWalkForTests(false); }
    void resolves_data();
    void resolves();

private:
    QTemporaryDir m_dir;
    QString m_base;
};

void TestBeneath::initTestCase()
{
    // base/ is the folder names are resolved below; outside/ lies beside it.
    m_base = m_dir.filePath("base");
    const QString outside = m_dir.filePath("outside");
    QVERIFY(put(outside + "/secret", "outside"));
    QVERIFY(put(m_base + "/dir/file", "inside"));
    QVERIFY(put(m_base + "/dir/sub/deep", "deep"));
    QVERIFY(QFile::link("dir", m_base + "/linkdir"));
    QVERIFY(QFile::link("sub", m_base + "/dir/linksub"));
    QVERIFY(QFile::link("file", m_base + "/dir/linkfile"));
    QVERIFY(QFile::link(outside, m_base + "/outlink"));
    QVERIFY(QFile::link(outside + "/secret", m_base + "/dir/outfile"));
    QVERIFY(QFile::link(outside + "/made", m_base + "/dangling"));
    QCOMPARE(::mkfifo(QFile::encodeName(m_base + "/dir/fifo").constData(), 0600), 0);
}

void TestBeneath::resolves_data()
{
    QTest::addColumn<bool>("walk");
    QTest::addColumn<Call>("call");
    QTest::addColumn<QByteArray>("relative");
    QTest::addColumn<int>("error");       // 0: resolved
    QTest::addColumn<QString>("entry");   // what was opened (below base), or for Parent
    QTest::addColumn<QByteArray>("name"); // Parent: the entry's name in it
    const struct
    {
        const char *row;
        Call call;
        const char *relative;
        int error;
        const char *entry;
        const char *name;
    } rows[] = {
        {"a file", Call::Open, "dir/file", 0, "dir/file", ""},
        {"two folders down", Call::Read, "dir/sub/deep", 0, "dir/sub/deep", ""},
        {"the folder itself", Call::Folder, "", 0, "", ""},
        {"a folder", Call::Folder, "dir/sub", 0, "dir/sub", ""},
        {"a pipe is opened without blocking", Call::Read, "dir/fifo", 0, "dir/fifo", ""},
        {"link as first component", Call::Open, "linkdir/file", ELOOP, "", ""},
        {"link in the middle", Call::Read, "dir/linksub/deep", ELOOP, "", ""},
        {"link as last component", Call::Read, "dir/linkfile", ELOOP, "", ""},
        {"link opened as a folder", Call::Folder, "linkdir", ELOOP, "", ""},
        {"file opened as a folder", Call::Folder, "dir/file", ENOTDIR, "", ""},
        {"link to a folder outside", Call::Open, "outlink/secret", ELOOP, "", ""},
        {"link to a file outside", Call::Read, "dir/outfile", ELOOP, "", ""},
        {"dangling link read", Call::Read, "dangling", ELOOP, "", ""},
        {"dangling link created through", Call::Create, "dangling", ELOOP, "", ""},
        {"dot-dot out", Call::Open, "../outside/secret", EXDEV, "", ""},
        {"dot-dot back in", Call::Open, "dir/../dir/file", EXDEV, "", ""},
        {"dot-dot at the end", Call::Open, "dir/..", EXDEV, "", ""},
        {"dot", Call::Open, "./dir/file", EXDEV, "", ""},
        {"absolute name", Call::Read, "/etc/hostname", EXDEV, "", ""},
        {"doubled slash", Call::Open, "dir//file", EXDEV, "", ""},
        {"trailing slash", Call::Open, "dir/", EXDEV, "", ""},
        {"file on the way", Call::Open, "dir/file/x", ENOTDIR, "", ""},
        {"missing", Call::Read, "dir/none", ENOENT, "", ""},
        {"created below", Call::Create, "dir/sub/made", 0, "dir/sub/made", ""},
        {"parent of a file", Call::Parent, "dir/sub/deep", 0, "dir/sub", "deep"},
        {"parent of a top entry", Call::Parent, "top", 0, "", "top"},
        {"parent through a link", Call::Parent, "linkdir/sub/deep", ELOOP, "", ""},
        {"parent that is a link", Call::Parent, "dir/linksub/x", ELOOP, "", ""},
        {"parent of nothing", Call::Parent, "", EXDEV, "", ""},
        {"parent of dot-dot", Call::Parent, "dir/../x", EXDEV, "", ""},
    };
    for (const bool walk : {false, true}) {
        for (const auto &r : rows) {
            QTest::addRow("%s: %s", walk ? "walk" : "openat2", r.row)
                << walk << r.call << QByteArray(r.relative) << r.error << QString(r.entry)
                << QByteArray(r.name);
        }
    }
}

void TestBeneath::resolves()
{
    QFETCH(bool, walk);
    QFETCH(Call, call);
    QFETCH(QByteArray, relative);
    QFETCH(int, error);
    QFETCH(QString, entry);
    QFETCH(QByteArray, name);
    if (!walk && !kernelHasOpenat2())
        QSKIP("this kernel (or emulator) has no openat2: only the walk runs here");
    forceWalkForTests(walk);

    const UniqueFd base(::open(QFile::encodeName(m_base).constData(), O_RDONLY | O_DIRECTORY));
    QVERIFY(base.isValid());
    const int before = openDescriptorCount();
    const QString outsideMade = m_dir.filePath("outside/made");
    errno = 0;
    UniqueFd fd;
    QByteArray gotName;
    switch (call) {
    case Call::Open:
        fd.reset(openBeneath(base.get(), relative, O_RDONLY));
        break;
    case Call::Folder:
        fd.reset(openBeneath(base.get(), relative, O_RDONLY | O_DIRECTORY));
        break;
    case Call::Create:
        fd.reset(openBeneath(base.get(), relative, O_WRONLY | O_CREAT, 0600));
        break;
    case Call::Read:
        fd.reset(openForReadingBeneath(base.get(), relative));
        break;
    case Call::Parent:
        openParentBeneath(base.get(), relative, &fd, &gotName);
        break;
    }
    const int got = fd.isValid() ? 0 : errno;
    QCOMPARE(got, error);
    if (error == 0) {
        QVERIFY2(same(fd.get(), QDir(m_base).filePath(entry)), qPrintable(entry));
        QCOMPARE(gotName, name);
        if (call == Call::Create)
            QVERIFY(QFile::remove(QDir(m_base).filePath(entry)));
    }
    QVERIFY(!QFileInfo::exists(outsideMade)); // nothing made through the dangling link
    fd.reset();
    QCOMPARE(openDescriptorCount(), before);
}

QTEST_MAIN(TestBeneath)
#include "tst_beneath.moc"
