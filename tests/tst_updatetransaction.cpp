// An update as one transaction: what a run leaves in the target, and how an interrupted
// one is recovered from its journal.

#include "testsupport.h"
#include "updatetransaction.h"
#include "workfolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Puts the tree below source over target as one transaction, with the work folder beside
// the target (removed again when the run leaves nothing in it).
bool install(const QString &source, const QString &target,
             const UpdateTransaction::ProgressCallback &progress = {})
{
    const QString work = QFileInfo(target).absolutePath() + QStringLiteral("/work");
    WorkFolder folder(work);
    if (!folder.open())
        return false;
    UpdateTransaction update(folder);
    update.addTree(source, target, UpdateTransaction::Source::Copy);
    const bool ok = update.run(progress);
    QDir().rmdir(work);
    return ok;
}

// A journal as an interrupted switch leaves it: one line per entry (staged, final, old).
QByteArray journal(const QByteArray &body, bool damaged = false)
{
    const QByteArray sum = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    return "corvane-update-journal 1\n" + QByteArray::number(body.count('\n')) + "\n" + body
        + "end " + (damaged ? sum.left(10) : sum) + "\n";
}

} // namespace

class TestUpdateTransaction : public QObject
{
    Q_OBJECT

private slots:
    void copyReplacesAddsAndKeeps();
    void copyKeepsPermissionsAndLinks();
    void copyKeepsNamesThatLookTemporary();
    void copyFailures_data();
    void copyFailures();
    void copyProgress_data();
    void copyProgress();
    void recovery_data();
    void recovery();
    void refusedJournalChangesNothing_data();
    void refusedJournalChangesNothing();
    void stuckSwitchIsSettledAtTheNextStart();
    void installedFilesBelongToTheInstaller_data();
    void installedFilesBelongToTheInstaller();
    void unchangedEntriesAreNotRewritten_data();
    void unchangedEntriesAreNotRewritten();
    void manyFoldersUnderALowDescriptorLimit_data();
    void manyFoldersUnderALowDescriptorLimit();
};

void TestUpdateTransaction::copyReplacesAddsAndKeeps()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    QVERIFY(put(src + "/a.txt", "new a"));
    QVERIFY(put(src + "/sub/deep/b.bin", QByteArray(3 * 1024 * 1024 + 17, 'b')));
    QVERIFY(put(src + "/empty.txt", ""));
    QVERIFY(QDir().mkpath(src + "/emptyfolder"));
    QVERIFY(put(src + "/name with spaces ä.txt", "unicode"));
    QVERIFY(put(dst + "/a.txt", "old a, longer than the new one"));
    QVERIFY(put(dst + "/keep.txt", "kept"));

    QVERIFY(install(src, dst));

    QCOMPARE(get(dst + "/a.txt"), QByteArray("new a"));
    QCOMPARE(get(dst + "/sub/deep/b.bin"), QByteArray(3 * 1024 * 1024 + 17, 'b'));
    QCOMPARE(get(dst + "/empty.txt"), QByteArray());
    QVERIFY(QFileInfo(dst + "/emptyfolder").isDir());
    QCOMPARE(get(dst + "/name with spaces ä.txt"), QByteArray("unicode"));
    QCOMPARE(get(dst + "/keep.txt"), QByteArray("kept"));
    QCOMPARE(get(src + "/a.txt"), QByteArray("new a")); // the source is left alone
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"dst", "src"})); // nothing staged is left beside the target
}

void TestUpdateTransaction::copyKeepsPermissionsAndLinks()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    const QString outside = dir.filePath("outside");
    QVERIFY(put(outside + "/secret.txt", "outside the update"));
    QVERIFY(put(src + "/run.sh", "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(src + "/run.sh",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup));
    QVERIFY(QFile::link("run.sh", src + "/current"));
    QVERIFY(QFile::link(outside, src + "/escape"));
    QVERIFY(QFile::link("loop", src + "/loop"));
    QVERIFY(put(dst + "/current", "a file where the link goes"));

    QVERIFY(install(src, dst));

    QCOMPARE(QFileInfo(dst + "/run.sh").permissions() & 0x0FFF,
             QFileInfo(src + "/run.sh").permissions() & 0x0FFF);
    QVERIFY(QFileInfo(dst + "/run.sh").isExecutable());
    QCOMPARE(QFileInfo(dst + "/current").symLinkTarget(),
             QFileInfo(dst + "/run.sh").absoluteFilePath());
    QVERIFY(QFileInfo(dst + "/escape").isSymLink());
    QVERIFY(QFileInfo(dst + "/loop").isSymLink());
    // The link is copied, not the tree it points to.
    QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{"secret.txt"});
    QVERIFY(!QFileInfo::exists(dst + "/escape/secret.txt")
            || QFileInfo(dst + "/escape").isSymLink());
}

void TestUpdateTransaction::copyKeepsNamesThatLookTemporary()
{
    // Only what the copy staged itself is ever cleared away, whatever other names look like.
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    QVERIFY(put(src + "/sub/.corvane-tmp-1234-1", "part of the update"));
    QVERIFY(put(dst + "/sub/.corvane-tmp-99-3", "installed, not ours"));
    QVERIFY(install(src, dst));
    QCOMPARE(get(dst + "/sub/.corvane-tmp-1234-1"), QByteArray("part of the update"));
    QCOMPARE(get(dst + "/sub/.corvane-tmp-99-3"), QByteArray("installed, not ours"));
}

void TestUpdateTransaction::copyFailures_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("expectedLog");
    QTest::newRow("missing source") << "missing-source"
                                    << "reading of update folder";
    QTest::newRow("folder where a file goes") << "folder-over-file"
                                              << "a folder, where the update puts a file";
    QTest::newRow("file where a folder goes") << "file-over-folder"
                                              << "not a folder, where the update puts one";
    QTest::newRow("immutable target file") << "immutable"
                                           << "the switch failed and was undone";
}

void TestUpdateTransaction::copyFailures()
{
    QFETCH(QString, situation);
    QFETCH(QString, expectedLog);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    if (situation != "missing-source") {
        QVERIFY(put(src + "/a.txt", "a"));
        QVERIFY(put(src + "/sub/b.txt", "b"));
        QVERIFY(put(src + "/z.txt", "z"));
    }
    QVERIFY(put(dst + "/y.txt", "y"));
    if (situation == "folder-over-file")
        QVERIFY(QDir().mkpath(dst + "/a.txt/inner"));
    if (situation == "file-over-folder")
        QVERIFY(put(dst + "/sub", "a file"));
    if (situation == "immutable") {
        QVERIFY(put(dst + "/z.txt", "old"));
        if (!setImmutable(dst + "/z.txt", true))
            QSKIP("the file system does not support the immutable attribute");
    }

    LogToDevice log;
    const bool ok = install(src, dst);
    if (situation == "immutable")
        setImmutable(dst + "/z.txt", false);

    QVERIFY(!ok);
    QVERIFY2(LogToDevice::messages().join('\n').contains(expectedLog),
             qPrintable(LogToDevice::messages().join('\n')));
    // All or nothing: the target is as it was, with nothing staged left beside it.
    QCOMPARE(QFileInfo(dst + "/a.txt").isDir(), situation == "folder-over-file");
    QCOMPARE(QFileInfo::exists(dst + "/a.txt"), situation == "folder-over-file");
    QCOMPARE(get(dst + "/z.txt"),
             situation == "immutable" ? QByteArray("old") : QByteArray("<missing>"));
    QCOMPARE(get(dst + "/y.txt"), QByteArray("y"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             situation == "missing-source" ? QStringList({"dst"}) : QStringList({"dst", "src"}));
}

void TestUpdateTransaction::copyProgress_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("fileSize");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("one large file") << 1 << 9 * 1024 * 1024;
    QTest::newRow("many small files") << 300 << 1500;
}

void TestUpdateTransaction::copyProgress()
{
    QFETCH(int, files);
    QFETCH(int, fileSize);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    QVERIFY(QDir().mkpath(src));
    for (int i = 0; i < files; ++i)
        QVERIFY(put(QStringLiteral("%1/d%2/f%3").arg(src).arg(i % 7).arg(i),
                    QByteArray(fileSize, 'x')));

    QList<UpdateProgress> reports;
    QVERIFY(install(src, dst, [&](const UpdateProgress &p) { reports << p; }));
    QVERIFY(reports.size() >= 2);
    const qint64 total = qint64(files) * fileSize;
    QCOMPARE(reports.first().bytesDone, 0);
    int atTotal = 0;
    for (int i = 0; i < reports.size(); ++i) {
        QCOMPARE(reports[i].bytesTotal, total);
        QCOMPARE(reports[i].filesTotal, qint64(files));
        if (i > 0) {
            QVERIFY(reports[i].bytesDone >= reports[i - 1].bytesDone);
            QVERIFY(reports[i].filesDone >= reports[i - 1].filesDone);
        }
        QVERIFY(reports[i].bytesDone <= total);
    }
    QCOMPARE(reports.last().bytesDone, total);
    QCOMPARE(reports.last().filesDone, qint64(files));
    for (const auto &p : reports)
        atTotal += p.bytesDone == total && p.filesDone == files ? 1 : 0;
    QVERIFY(atTotal >= 1);
    if (fileSize > 8 * 1024 * 1024) // a large file reports while it is copied
        QVERIFY(reports.size() >= 4);
}

void TestUpdateTransaction::recovery_data()
{
    QTest::addColumn<QByteArray>("journalText");
    QTest::addColumn<bool>("switched"); // the entry was switched before the cut
    QTest::addColumn<bool>("rollbackMark");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("content"); // of dst/a.txt afterwards
    const QByteArray entry = "work/staging/1 dst/a.txt work/old/1\n";
    using R = UpdateTransaction::Recovery;
    QTest::newRow("cut before the entry")
        << journal(entry) << false << false << int(R::Completed) << QByteArray("new");
    QTest::newRow("cut after the entry")
        << journal(entry) << true << false << int(R::Completed) << QByteArray("new");
    QTest::newRow("cut while undoing")
        << journal(entry) << true << true << int(R::RolledBack) << QByteArray("old");
    QTest::newRow("damaged journal")
        << journal(entry, true) << false << false << int(R::Failed) << QByteArray("old");
    QTest::newRow("journal pointing outside")
        << journal("work/staging/1 work/../../outside/a.txt -\n") << false << false
        << int(R::Failed) << QByteArray("old");
}

void TestUpdateTransaction::recovery()
{
    QFETCH(QByteArray, journalText);
    QFETCH(bool, switched);
    QFETCH(bool, rollbackMark);
    QFETCH(int, result);
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString work = dir.filePath("work");
    QVERIFY(put(work + "/journal", journalText));
    QVERIFY(put(switched ? work + "/old/1" : dir.filePath("dst/a.txt"), "old"));
    QVERIFY(put(switched ? dir.filePath("dst/a.txt") : work + "/staging/1", "new"));
    if (rollbackMark)
        QVERIFY(put(work + "/rollback", "rollback\n"));

    LogToDevice log;
    WorkFolder folder(work);
    QVERIFY(folder.open());
    QCOMPARE(int(UpdateTransaction::recover(folder, {dir.filePath("dst")})), result);
    QCOMPARE(get(dir.filePath("dst/a.txt")), content);
    const bool settled = result != int(UpdateTransaction::Recovery::Failed);
    QCOMPARE(installLeftovers(work).isEmpty(), settled); // a journal that cannot be followed stays
    QVERIFY(!QFileInfo::exists(dir.filePath("outside")));
}

void TestUpdateTransaction::refusedJournalChangesNothing_data()
{
    QTest::addColumn<QByteArray>("attack");
    QTest::addColumn<QString>("expectedLog");
    // Each journal's first entry is sound; the whole journal is refused all the same.
    QTest::newRow("through a link in an installed folder")
        << QByteArray("work/staging/2 dst/lnk/a.txt -\n") << "cannot be reached";
    QTest::newRow("a file beside the installed folders")
        << QByteArray("work/staging/2 settings.db -\n") << "refused";
    QTest::newRow("staging made a link") << QByteArray("staging") << "cannot be reached";
    QTest::newRow("old made a link") << QByteArray("old") << "cannot be reached";
}

void TestUpdateTransaction::refusedJournalChangesNothing()
{
    QFETCH(QByteArray, attack);
    QFETCH(QString, expectedLog);
    QTemporaryDir dir, outside;
    const QString work = dir.filePath("work");
    QVERIFY(put(dir.filePath("dst/a.txt"), "old"));
    QVERIFY(put(dir.filePath("settings.db"), "settings"));
    QVERIFY(put(outside.filePath("a.txt"), "outside"));
    QVERIFY(QFile::link(outside.path(), dir.filePath("dst/lnk")));
    QByteArray body = "work/staging/1 dst/a.txt work/old/1\n";
    QVERIFY(put(work + "/staging/1", "new"));
    QVERIFY(put(work + "/staging/2", "planted"));
    if (attack == "staging" || attack == "old") {
        // Only the installer can make them so; they are still not followed.
        QVERIFY(QDir(work).removeRecursively());
        QVERIFY(QDir().mkpath(work));
        QVERIFY(QFile::link(outside.path(), work + "/" + attack));
    } else {
        body += attack;
    }
    QVERIFY(put(work + "/journal", journal(body)));
    const auto before = fingerprint(dir.path());
    const auto sentinel = fingerprint(outside.path());

    LogToDevice log;
    WorkFolder folder(work);
    QVERIFY(folder.open());
    QCOMPARE(UpdateTransaction::recover(folder, {dir.filePath("dst")}),
             UpdateTransaction::Recovery::Failed);
    QVERIFY2(LogToDevice::messages().join('\n').contains(expectedLog),
             qPrintable(LogToDevice::messages().join('\n')));
    QCOMPARE(fingerprint(outside.path()), sentinel);
    auto after = fingerprint(dir.path());
    after.remove("work/staging"); // made again where a link stood: nothing in it
    after.remove("work/old");
    QCOMPARE(after.value("dst/a.txt"), before.value("dst/a.txt"));
    QCOMPARE(after.value("settings.db"), before.value("settings.db"));
    QVERIFY(after.contains("work/journal")); // kept for a look; never followed
}

// A switch whose journal cannot be removed is neither finished nor undone: the run says so,
// a start meanwhile says why, and one after it can go finishes the switch.
void TestUpdateTransaction::stuckSwitchIsSettledAtTheNextStart()
{
    QTemporaryDir dir;
    const QString dst = dir.filePath("dst"), journal = dir.filePath("work/journal");
    QVERIFY(put(dir.filePath("src/a.txt"), "new") && put(dst + "/a.txt", "old"));
    LogToDevice log;
    WorkFolder folder(dir.filePath("work"));
    QVERIFY(folder.open());
    UpdateTransaction update(folder);
    update.addTree(dir.filePath("src"), dst, UpdateTransaction::Source::Copy);
    bool locked = false;
    QVERIFY(!update.run([&](const UpdateProgress &p) {
        locked = locked || (p.committed && setImmutable(journal, true));
    }));
    if (!locked)
        QSKIP("the file system does not support the immutable attribute");
    QCOMPARE(update.failure().kind, UpdateTransaction::FailureKind::SwitchStuck);
    UpdateTransaction::Failure why;
    QCOMPARE(UpdateTransaction::recover(folder, {dst}, &why), UpdateTransaction::Recovery::Failed);
    QCOMPARE(why.kind, UpdateTransaction::FailureKind::Unrecovered);
    QCOMPARE(why.path + ' ' + QString::number(why.error),
             QStringLiteral("work/journal %1").arg(EPERM));
    setImmutable(journal, false);
    QCOMPARE(UpdateTransaction::recover(folder, {dst}), UpdateTransaction::Recovery::Completed);
    QCOMPARE(get(dst + "/a.txt"), QByteArray("new"));
}

void TestUpdateTransaction::installedFilesBelongToTheInstaller_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("linked"); // the update's file itself became the installed one
    QTest::addColumn<int>("mode");
    // Where others could add a name to the file while it is linked: its own folder or
    // the update's top folder (mode, or "nobody" for another user's folder).
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("top");
    QTest::newRow("the installer's own file") << "own" << true << 0644 << ""
                                              << "";
    QTest::newRow("a hard link to a file outside") << "hard link" << false << 0644 << ""
                                                   << "";
    QTest::newRow("a file of another user") << "other user" << false << 0644 << ""
                                            << "";
    QTest::newRow("a file others may write") << "writable" << false << 0666 << ""
                                             << "";
    QTest::newRow("a set-user-ID file of another user") << "setuid" << false << 0755 << ""
                                                        << "";
    QTest::newRow("in a folder others may write") << "own" << false << 0644 << "0777"
                                                  << "";
    QTest::newRow("in a sticky folder others may write") << "own" << false << 0644 << "1777"
                                                         << "";
    QTest::newRow("in a folder its group may write") << "own" << false << 0644 << "0775"
                                                     << "";
    QTest::newRow("in a folder of another user") << "own" << false << 0644 << "nobody"
                                                 << "";
    QTest::newRow("below a top folder others may write") << "own" << false << 0644 << ""
                                                         << "0777";
    QTest::newRow("in closed folders of root's") << "own" << true << 0644 << "0755"
                                                 << "0700";
}

void TestUpdateTransaction::installedFilesBelongToTheInstaller()
{
    QFETCH(QString, kind);
    QFETCH(bool, linked);
    QFETCH(int, mode);
    QFETCH(QString, folder);
    QFETCH(QString, top);
    QTemporaryDir dir, outside;
    const QString src = dir.filePath("src/sub/f"), dst = dir.filePath("dst/sub/f");
    QVERIFY(put(src, "update"));
    QVERIFY(QDir().mkpath(dir.filePath("dst/sub")));
    for (const auto &[which, how] :
         {std::pair(dir.filePath("src/sub"), folder), std::pair(dir.filePath("src"), top)}) {
        const QByteArray path = QFile::encodeName(which);
        if (how == "nobody")
            QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
        else if (!how.isEmpty())
            QCOMPARE(::chmod(path.constData(), mode_t(how.toUInt(nullptr, 8))), 0);
    }
    const QByteArray path = QFile::encodeName(src);
    if (kind == "hard link") {
        QVERIFY(put(outside.filePath("f"), "update"));
        QVERIFY(QFile::remove(src));
        QCOMPARE(::link(QFile::encodeName(outside.filePath("f")).constData(), path.constData()), 0);
    }
    if (kind == "other user" || kind == "setuid")
        QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
    QCOMPARE(::chmod(path.constData(),
                     kind == "writable"     ? 0666
                         : kind == "setuid" ? 04755
                                            : 0644),
             0);
    struct stat source;
    QCOMPARE(::stat(path.constData(), &source), 0);

    LogToDevice log;
    WorkFolder work(dir.filePath("work"));
    QVERIFY(work.open());
    UpdateTransaction update(work);
    update.addTree(dir.filePath("src"), dir.filePath("dst"), UpdateTransaction::Source::Link);
    QVERIFY(update.run());

    struct stat installed;
    QCOMPARE(::lstat(QFile::encodeName(dst).constData(), &installed), 0);
    QCOMPARE(installed.st_ino == source.st_ino, linked);
    QCOMPARE(installed.st_uid, ::geteuid());
    QCOMPARE(installed.st_gid, ::getegid());
    QCOMPARE(int(installed.st_mode & 07777), mode);
    QCOMPARE(get(dst), QByteArray("update"));
    QCOMPARE(LogToDevice::messages().filter("set-user-ID").size(), kind == "setuid" ? 1 : 0);
    if (kind == "hard link") { // what others change outside is not what is installed
        QVERIFY(put(outside.filePath("f"), "changed outside"));
        QCOMPARE(get(dst), QByteArray("update"));
    }
}

void TestUpdateTransaction::unchangedEntriesAreNotRewritten_data()
{
    QTest::addColumn<bool>("switchFails");
    QTest::newRow("installed") << false;
    QTest::newRow("switch undone") << true;
}

void TestUpdateTransaction::unchangedEntriesAreNotRewritten()
{
    QFETCH(bool, switchFails);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    for (const QString &root : {src, dst}) {
        QVERIFY(put(root + "/same.bin", QByteArray(100000, 's')));
        QVERIFY(put(root + "/edge.bin", QByteArray(64 << 10, 'e'))); // one first read exactly
        QVERIFY(QFile::link("same.bin", root + "/link"));
    }
    QVERIFY(put(src + "/changed.bin", "new"));
    QVERIFY(put(dst + "/changed.bin", "old"));
    QVERIFY(put(src + "/zz.bin", "new"));
    QVERIFY(put(dst + "/zz.bin", "old"));
    // Large ones are compared chunk by chunk: only the last byte differs.
    QByteArray large(2 << 20, 'l');
    QVERIFY(put(dst + "/large.bin", large));
    QVERIFY(put(src + "/large.bin", large.replace(large.size() - 1, 1, "L")));
    // The update's copy is older: a copy would give the installed file its times.
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(src + "/same.bin").constData(), past, 0), 0);
    if (switchFails && !setImmutable(dst + "/zz.bin", true))
        QSKIP("the file system does not support the immutable attribute");
    struct stat same, link, edge;
    QCOMPARE(::stat(QFile::encodeName(dst + "/same.bin").constData(), &same), 0);
    QCOMPARE(::stat(QFile::encodeName(dst + "/edge.bin").constData(), &edge), 0);
    QCOMPARE(::lstat(QFile::encodeName(dst + "/link").constData(), &link), 0);
    const auto before = fingerprint(dst);

    const bool ok = install(src, dst);
    setImmutable(dst + "/zz.bin", false);

    QCOMPARE(ok, !switchFails);
    struct stat sameAfter, linkAfter, edgeAfter;
    QCOMPARE(::stat(QFile::encodeName(dst + "/same.bin").constData(), &sameAfter), 0);
    QCOMPARE(::stat(QFile::encodeName(dst + "/edge.bin").constData(), &edgeAfter), 0);
    QCOMPARE(::lstat(QFile::encodeName(dst + "/link").constData(), &linkAfter), 0);
    // Neither rewritten nor replaced: the very same file and link.
    QCOMPARE(sameAfter.st_ino, same.st_ino);
    QCOMPARE(linkAfter.st_ino, link.st_ino);
    QCOMPARE(edgeAfter.st_ino, edge.st_ino);
    if (switchFails) {
        QCOMPARE(fingerprint(dst), before); // its times back as they were, too
    } else {
        QCOMPARE(qint64(sameAfter.st_mtim.tv_sec), qint64(1000000000));
        QCOMPARE(get(dst + "/changed.bin"), QByteArray("new"));
        QCOMPARE(get(dst + "/large.bin"), large);
    }
}

void TestUpdateTransaction::manyFoldersUnderALowDescriptorLimit_data()
{
    QTest::addColumn<bool>("installed"); // the target holds every folder already
    QTest::addColumn<bool>("linked");
    // Descriptors the process may open beyond those open: for the whole run (when more
    // than the folders' count), or only from the switch on (a few, which must fail).
    QTest::addColumn<int>("more");
    QTest::newRow("new folders") << false << false << 64;
    QTest::newRow("replaced files") << true << false << 64;
    QTest::newRow("replaced files, linked") << true << true << 64;
    QTest::newRow("too few left for the switch") << true << false << 3;
}

void TestUpdateTransaction::manyFoldersUnderALowDescriptorLimit()
{
    QFETCH(bool, installed);
    QFETCH(bool, linked);
    QFETCH(int, more);
    constexpr int kFolders = 400;
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    const auto file = [](int i) { return QStringLiteral("/g%1/h%2/f").arg(i % 20).arg(i); };
    for (int i = 0; i < kFolders; ++i) {
        QVERIFY(put(src + file(i), QByteArray::number(i)));
        if (installed)
            QVERIFY(put(dst + file(i), "old"));
    }
    struct rlimit before;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &before), 0);
    const auto lower = [&] {
        struct rlimit low = before;
        low.rlim_cur = rlim_t(QDir(QStringLiteral("/proc/self/fd")).count()) + rlim_t(more);
        return ::setrlimit(RLIMIT_NOFILE, &low) == 0;
    };
    const bool wholeRun = more > 8;
    LogToDevice log;
    WorkFolder folder(dir.filePath("work"));
    QVERIFY(folder.open());
    UpdateTransaction update(folder);
    update.addTree(src, dst,
                   linked ? UpdateTransaction::Source::Link : UpdateTransaction::Source::Copy);
    bool ok = (!wholeRun || lower()) && update.prepare();
    ok = ok && (wholeRun || lower()) && update.commit();
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &before), 0);

    const QStringList lines = LogToDevice::messages();
    QCOMPARE(ok, wholeRun);
    for (int i = 0; i < kFolders; ++i)
        QCOMPARE(get(dst + file(i)), wholeRun ? QByteArray::number(i) : QByteArray("old"));
    if (!wholeRun) { // the reason as it is, not a link
        QCOMPARE(update.failure().error, EMFILE);
        QVERIFY2(!lines.filter("Too many open files").isEmpty(), qPrintable(lines.join('\n')));
        QVERIFY(lines.filter("link").isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestUpdateTransaction)
#include "tst_updatetransaction.moc"
