// Existence checks and the folder removal that never follows a link.

#include "fileutils.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void removeDir_data();
    void removeDir();
    void existence();
};

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
