// The copy that puts an update in place, and the folder removal around it.

#include "fileutils.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

bool put(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

QByteArray get(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void copyReplacesAddsAndKeeps();
    void copyKeepsPermissionsAndLinks();
    void copyCleansUpInterruptedTemporaries();
    void copyFailures_data();
    void copyFailures();
    void copyProgress_data();
    void copyProgress();
    void removeDir_data();
    void removeDir();
    void existence();
};

void TestFileUtils::copyReplacesAddsAndKeeps()
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

    FileUtils utils;
    QVERIFY(utils.CopyRecursivelyOverwrite(src, dst, QStringList()));

    QCOMPARE(get(dst + "/a.txt"), QByteArray("new a"));
    QCOMPARE(get(dst + "/sub/deep/b.bin"), QByteArray(3 * 1024 * 1024 + 17, 'b'));
    QCOMPARE(get(dst + "/empty.txt"), QByteArray());
    QVERIFY(QFileInfo(dst + "/emptyfolder").isDir());
    QCOMPARE(get(dst + "/name with spaces ä.txt"), QByteArray("unicode"));
    QCOMPARE(get(dst + "/keep.txt"), QByteArray("kept"));
    QCOMPARE(get(src + "/a.txt"), QByteArray("new a")); // the source is left alone
    QVERIFY(temporariesBelow(dst).isEmpty());
}

void TestFileUtils::copyKeepsPermissionsAndLinks()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    const QString outside = dir.filePath("outside");
    QVERIFY(put(outside + "/secret.txt", "outside the update"));
    QVERIFY(put(src + "/run.sh", "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(src + "/run.sh", QFile::ReadOwner | QFile::WriteOwner
                                                       | QFile::ExeOwner | QFile::ReadGroup
                                                       | QFile::ExeGroup));
    QVERIFY(QFile::link("run.sh", src + "/current"));
    QVERIFY(QFile::link(outside, src + "/escape"));
    QVERIFY(QFile::link("loop", src + "/loop"));
    QVERIFY(put(dst + "/current", "a file where the link goes"));

    FileUtils utils;
    QVERIFY(utils.CopyRecursivelyOverwrite(src, dst, QStringList()));

    QCOMPARE(QFileInfo(dst + "/run.sh").permissions() & 0x0FFF,
             QFileInfo(src + "/run.sh").permissions() & 0x0FFF);
    QVERIFY(QFileInfo(dst + "/run.sh").isExecutable());
    QCOMPARE(QFileInfo(dst + "/current").symLinkTarget(), QFileInfo(dst + "/run.sh").absoluteFilePath());
    QVERIFY(QFileInfo(dst + "/escape").isSymLink());
    QVERIFY(QFileInfo(dst + "/loop").isSymLink());
    // The link is copied, not the tree it points to.
    QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{"secret.txt"});
    QVERIFY(!QFileInfo::exists(dst + "/escape/secret.txt") || QFileInfo(dst + "/escape").isSymLink());
}

void TestFileUtils::copyCleansUpInterruptedTemporaries()
{
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    QVERIFY(put(src + "/sub/a.txt", "a"));
    const QString stale = dst + "/sub/" + FileUtils::temporaryPrefix() + "1234-1";
    QVERIFY(put(stale, "half written by a run that lost power"));

    LogToDevice log;
    FileUtils utils;
    QVERIFY(utils.CopyRecursivelyOverwrite(src, dst, QStringList()));
    QVERIFY(!QFileInfo::exists(stale));
    QVERIFY(temporariesBelow(dst).isEmpty());
    QVERIFY(LogToDevice::messages().join('\n').contains("removed unfinished temporary file"));
}

void TestFileUtils::copyFailures_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("expectedLog");
    QTest::newRow("missing source") << "missing-source" << "reading of source folder";
    QTest::newRow("folder where a file goes") << "folder-over-file" << "replacement of";
    QTest::newRow("file where a folder goes") << "file-over-folder" << "is not a folder";
    QTest::newRow("immutable target file") << "immutable" << "replacement of";
}

void TestFileUtils::copyFailures()
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
    if (situation == "folder-over-file")
        QVERIFY(QDir().mkpath(dst + "/a.txt/inner"));
    if (situation == "file-over-folder")
        QVERIFY(put(dst + "/sub", "a file"));
    if (situation == "immutable") {
        QVERIFY(put(dst + "/a.txt", "old"));
        if (!setImmutable(dst + "/a.txt", true))
            QSKIP("the file system does not support the immutable attribute");
    }

    LogToDevice log;
    FileUtils utils;
    const bool ok = utils.CopyRecursivelyOverwrite(src, dst, QStringList());
    if (situation == "immutable")
        setImmutable(dst + "/a.txt", false);

    QVERIFY(!ok);
    QVERIFY2(LogToDevice::messages().join('\n').contains(expectedLog),
             qPrintable(LogToDevice::messages().join('\n')));
    if (situation != "missing-source") {
        // The failure of one entry does not stop the others.
        QCOMPARE(get(dst + "/z.txt"), QByteArray("z"));
        QVERIFY(temporariesBelow(dst).isEmpty());
    }
    if (situation == "immutable")
        QCOMPARE(get(dst + "/a.txt"), QByteArray("old"));
}

void TestFileUtils::copyProgress_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("fileSize");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("one large file") << 1 << 9 * 1024 * 1024;
    QTest::newRow("many small files") << 300 << 1500;
}

void TestFileUtils::copyProgress()
{
    QFETCH(int, files);
    QFETCH(int, fileSize);
    QTemporaryDir dir;
    const QString src = dir.filePath("src"), dst = dir.filePath("dst");
    QVERIFY(QDir().mkpath(src));
    for (int i = 0; i < files; ++i)
        QVERIFY(put(QStringLiteral("%1/d%2/f%3").arg(src).arg(i % 7).arg(i), QByteArray(fileSize, 'x')));

    QList<FileUtils::CopyProgress> reports;
    FileUtils utils;
    QVERIFY(utils.CopyRecursivelyOverwrite(src, dst, QStringList(),
                                           [&](const FileUtils::CopyProgress &p) { reports << p; }));
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

void TestFileUtils::removeDir_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<bool>("expected");
    QTest::newRow("missing folder") << "missing" << true;
    QTest::newRow("nested tree") << "tree" << true;
    QTest::newRow("link to outside") << "link" << true;
    // Removed as a link; what it leads to stays.
    QTest::newRow("link in place of the folder") << "root link" << true;
    QTest::newRow("a file, not a folder") << "file" << false;
    QTest::newRow("immutable entry") << "immutable" << false;
}

void TestFileUtils::removeDir()
{
    QFETCH(QString, situation);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    const QString target = dir.filePath("list");
    const QString outside = dir.filePath("outside/keep.txt");
    QVERIFY(put(outside, "keep"));
    if (situation == "tree" || situation == "link" || situation == "immutable") {
        QVERIFY(put(target + "/a/b/c.xml", "c"));
        QVERIFY(put(target + "/.hidden", "h"));
    }
    if (situation == "link")
        QVERIFY(QFile::link(dir.filePath("outside"), target + "/a/out"));
    if (situation == "file")
        QVERIFY(put(target, "file"));
    if (situation == "root link")
        QVERIFY(QFile::link(dir.filePath("outside"), target));
    if (situation == "immutable" && !setImmutable(target + "/a/b/c.xml", true))
        QSKIP("the file system does not support the immutable attribute");

    FileUtils utils;
    const bool result = utils.removeDir(target);
    if (situation == "immutable")
        setImmutable(target + "/a/b/c.xml", false);
    QCOMPARE(result, expected);
    if (expected)
        QVERIFY(!QFileInfo::exists(target) && !QFileInfo(target).isSymLink());
    QCOMPARE(get(outside), QByteArray("keep"));
    if (situation == "immutable") // what could go is gone
        QVERIFY(!QFileInfo::exists(target + "/.hidden"));
}

void TestFileUtils::existence()
{
    QTemporaryDir dir;
    QVERIFY(put(dir.filePath("f"), "x"));
    QVERIFY(QFile::link(dir.filePath("f"), dir.filePath("lf")));
    FileUtils utils;
    QVERIFY(utils.dirExists(dir.path()));
    QVERIFY(!utils.dirExists(dir.filePath("f")));
    QVERIFY(!utils.dirExists(dir.filePath("none")));
    QVERIFY(utils.fileExists(dir.filePath("f")));
    QVERIFY(utils.fileExists(dir.filePath("lf")));
    QVERIFY(!utils.fileExists(dir.path()));
    QVERIFY(!utils.fileExists(dir.filePath("none")));
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
