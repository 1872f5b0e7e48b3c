// The update's signed list: texts refused with the line and reason the log shows, round
// trips through the one canonical text, the list of a real folder, what a comparison
// with a changed folder reports, and versions.

#include "manifest.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace corvane::update;

namespace {

const QByteArray kHash = QByteArray(64, 'a');
const QByteArray kHeader = "corvane-update-manifest 1\nversion 2.4.1\n";

// A valid list with body between its two top folders.
QByteArray list(const QByteArray &body)
{
    return kHeader + "folder 0755 Corvane\n" + body + "folder 0755 System\n";
}

// An update folder with both trees, a link, a set-user-ID file and names that need
// escaping (a blank, a line feed, a byte that is not UTF-8). Removed with rm, which,
// unlike QDir, removes names that are not UTF-8.
class UpdateFolder
{
public:
    UpdateFolder()
    {
        m_dir.setAutoRemove(false);
        m_ok = change("mkdir -p 'Corvane/a b' System/sub && printf test > Corvane/Corvane.exe"
                      " && chmod 4755 Corvane/Corvane.exe && printf c > 'Corvane/a b/c.dll'"
                      " && ln -s 'a b/c.dll' Corvane/current && echo hello > 'System/My Notes.txt'"
                      " && : > \"System/$(printf 'n\\377\\nx')\"");
    }
    ~UpdateFolder() { QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), path()}); }
    UpdateFolder(const UpdateFolder &) = delete;
    UpdateFolder &operator=(const UpdateFolder &) = delete;

    bool ok() const { return m_ok; }
    QString path() const { return m_dir.path(); }
    // Changes the folder with a shell command run inside it.
    bool change(const QByteArray &command) const
    {
        return QProcess::execute(
                   QStringLiteral("sh"),
                   {QStringLiteral("-ec"),
                    QStringLiteral("umask 022; cd \"$0\"; ") + QString::fromLatin1(command),
                    path()})
            == 0;
    }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
};

QString sha(const QByteArray &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestManifest : public QObject
{
    Q_OBJECT

private slots:
    void refused_data();
    void refused();
    void roundTrip();
    void builtFromFolder();
    void buildRefuses_data();
    void buildRefuses();
    void compare_data();
    void compare();
    void versions_data();
    void versions();
};

void TestManifest::refused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");

    const QByteArray file = "file 0644 4 " + kHash + " Corvane/x\n";
    QTest::addRow("empty") << QByteArray() << 0 << "empty";
    QTest::addRow("no final LF") << list("").chopped(1) << 4 << "line 4: no line feed at its end";
    QTest::addRow("CR LF") << QByteArray(kHeader).replace("\n", "\r\n") << 1
                           << "line 1: carriage return";
    QTest::addRow("newer format") << QByteArray("corvane-update-manifest 2\nversion 1\n") << 1
                                  << "line 1: format number \"2\" is not supported";
    QTest::addRow("other text") << QByteArray("hello\n") << 1 << "line 1: not an update manifest";
    QTest::addRow("no version") << QByteArray("corvane-update-manifest 1\n") << 0
                                << "no version line";
    QTest::addRow("bad version") << QByteArray(kHeader).replace("2.4.1", "2.04") << 2
                                 << "line 2: \"2.04\" is not a version";
    QTest::addRow("UTF-8 byte") << list("folder 0755 Corvane/\xc3\xa4\n") << 4
                                << "line 4: byte 0xc3";
    QTest::addRow("empty line") << list("\n") << 4 << "line 4: empty line";
    QTest::addRow("unknown type") << list("dir 0755 Corvane/x\n") << 4 << "unknown entry \"dir\"";
    QTest::addRow("field missing") << list("file 0644 4 Corvane/x\n") << 4
                                   << "4 fields where \"file MODE SIZE SHA256 PATH\" has 5";
    QTest::addRow("two blanks") << list("folder  0755 Corvane/x\n") << 4
                                << "fields are separated by one space";
    QTest::addRow("mode not octal") << list("folder 0855 Corvane/x\n") << 4 << "mode \"0855\"";
    QTest::addRow("size with 0") << list(QByteArray(file).replace(" 4 ", " 04 ")) << 4
                                 << "size \"04\"";
    QTest::addRow("size too big") << list(QByteArray(file).replace(" 4 ", " 9223372036854775808 "))
                                  << 4 << "size \"9223372036854775808\"";
    QTest::addRow("hash in capitals") << list(QByteArray(file).replace(kHash, kHash.toUpper())) << 4
                                      << "is not 64 lowercase hex digits";
    QTest::addRow("..") << list("folder 0755 Corvane/..\n") << 4 << "component \"..\"";
    QTest::addRow("empty component") << list("folder 0755 Corvane//x\n") << 4 << "empty component";
    QTest::addRow("trailing slash") << list("folder 0755 Corvane/x/\n") << 4 << "empty component";
    QTest::addRow("absolute") << QByteArray(kHeader + "folder 0755 /Corvane\n") << 3
                              << "empty component";
    QTest::addRow("lowercase escape") << list("folder 0755 Corvane/a%2f\n") << 4
                                      << "\"%\" must be followed by two uppercase hex digits";
    QTest::addRow("needless escape")
        << list("folder 0755 Corvane/%41\n") << 4 << "path: \"%41\" must be written as \"A\"";
    QTest::addRow("escaped slash")
        << list("folder 0755 Corvane/a%2Fb\n") << 4 << "\"%2F\" must be written as \"/\"";
    QTest::addRow("raw #") << list("folder 0755 Corvane/a#\n") << 4
                           << "path: \"#\" must be written as %23";
    QTest::addRow("NUL") << list("folder 0755 Corvane/a%00\n") << 4 << "NUL byte";
    QTest::addRow("NUL in a target") << list("link Corvane/a %00\n") << 4 << "link target: a NUL";
    QTest::addRow("unsorted") << list("folder 0755 Corvane/b\nfolder 0755 Corvane/a\n") << 5
                              << "\"Corvane/a\" is out of order (it sorts before \"Corvane/b\")";
    QTest::addRow("slash sorts after dot")
        << list("folder 0755 Corvane/a\nfolder 0755 Corvane/a/b\nfolder 0755 Corvane/a.b\n") << 6
        << "out of order";
    QTest::addRow("twice") << list("folder 0755 Corvane/a\nfolder 0755 Corvane/a\n") << 5
                           << "\"Corvane/a\" listed twice";
    QTest::addRow("no parent") << list("folder 0755 Corvane/a/b\n") << 4
                               << "the folder that holds \"Corvane/a/b\" is not listed before it";
    QTest::addRow("parent is a file") << list(file + "folder 0755 Corvane/x/y\n") << 5
                                      << "the folder that holds \"Corvane/x/y\" is not listed";
    QTest::addRow("other top folder")
        << QByteArray(kHeader + "folder 0755 Other\n") << 3 << "\"Other\" at the top";
    QTest::addRow("top is a link")
        << QByteArray(kHeader + "link Corvane x\n") << 3 << "\"Corvane\" at the top";
    QTest::addRow("System missing")
        << QByteArray(kHeader + "folder 0755 Corvane\n") << 0 << "the folder System is not listed";
}

void TestManifest::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, message);
    Manifest manifest;
    ManifestError error;
    QVERIFY(!parseManifest(text, &manifest, &error));
    QCOMPARE(error.line, line);
    QVERIFY2(error.message.contains(message), qPrintable(error.message));
    // The installer's index refuses the same text with the same words.
    ManifestIndex index;
    ManifestError indexError;
    QVERIFY(!index.parse(text, &indexError));
    QCOMPARE(indexError.line, error.line);
    QCOMPARE(indexError.message, error.message);
    QCOMPARE(index.size(), 0);
}

void TestManifest::roundTrip()
{
    const QByteArray text
        = list(QByteArray("folder 1777 Corvane/%20%25%0A%FF\n"
                          "file 4755 9223372036854775807 H Corvane/%20%25%0A%FF/~a+b_c-d.e\n"
                          "file 0000 0 H Corvane/Z\n"
                          "link Corvane/l ../../%2A/x%20y\n")
                   .replace(" H ", " " + kHash + " "));
    Manifest manifest;
    ManifestError error;
    QVERIFY2(parseManifest(text, &manifest, &error), qPrintable(error.message));
    QCOMPARE(writeManifest(manifest), text);
    QCOMPARE(manifest.entries[1].path, QByteArray("Corvane/ %\n\xff"));
    QCOMPARE(manifest.entries[2].mode, 04755u);
    QCOMPARE(manifest.entries[4].target, QByteArray("../../*/x y"));
    // Every byte a name can hold is written the one way the reader takes.
    QByteArray every;
    for (int c = 1; c < 256; ++c)
        every += char(c);
    manifest.entries[4].target = every;
    Manifest reread;
    QVERIFY2(parseManifest(writeManifest(manifest), &reread, &error), qPrintable(error.message));
    QVERIFY(reread == manifest);

    // The installer's index holds the same entries, each found by its path's bytes.
    ManifestIndex index;
    QVERIFY2(index.parse(writeManifest(manifest), &error), qPrintable(error.message));
    QCOMPARE(index.version(), manifest.version);
    QCOMPARE(index.size(), qsizetype(manifest.entries.size()));
    for (qsizetype i = 0; i < index.size(); ++i) {
        QVERIFY(index.entry(i) == manifest.entries[size_t(i)]);
        QCOMPARE(index.find(manifest.entries[size_t(i)].path), i);
    }
    for (const QByteArray &absent :
         {QByteArray("Corvane/ %\n"), QByteArray("Corvane/ %\n\xff/"), QByteArray("Corvane/Y"),
          QByteArray("Corvane/ZZ"), QByteArray("A"), QByteArray("Zzz"), QByteArray()})
        QCOMPARE(index.find(absent), -1);
}

void TestManifest::builtFromFolder()
{
    const UpdateFolder dir;
    QVERIFY(dir.ok());
    Manifest manifest;
    QString error;
    QVERIFY2(buildManifest(dir.path(), "2.4.1", &manifest, &error), qPrintable(error));
    const QByteArray text = writeManifest(manifest);
    QVERIFY(text.startsWith(kHeader));
    const QStringList expected{
        "folder 0755 Corvane",
        "file 4755 4 " + sha("test") + " Corvane/Corvane.exe",
        "folder 0755 Corvane/a%20b",
        "file 0644 1 " + sha("c") + " Corvane/a%20b/c.dll",
        "link Corvane/current a%20b/c.dll",
        "folder 0755 System",
        "file 0644 6 " + sha("hello\n") + " System/My%20Notes.txt",
        "file 0644 0 " + sha("") + " System/n%FF%0Ax",
        "folder 0755 System/sub",
    };
    QCOMPARE(QString::fromLatin1(text.mid(kHeader.size())).split('\n', Qt::SkipEmptyParts),
             expected);
    Manifest reread;
    ManifestError parseError;
    QVERIFY(parseManifest(text, &reread, &parseError));
    QVERIFY(reread == manifest);
    QVERIFY(compareWithFolder(manifest, dir.path(), Stop::Never).empty());
}

void TestManifest::buildRefuses_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QString>("error");

    QTest::addRow("pipe") << QByteArray("mkfifo 'Corvane/a b/p'") << QByteArray("1.0")
                          << "/Corvane/a b/p\" is a special file";
    QTest::addRow("System missing") << QByteArray("rm -r System") << QByteArray("1.0")
                                    << "stat of \"<dir>/System\" failed: \"No such file";
    QTest::addRow("Corvane a link") << QByteArray("rm -r Corvane && ln -s System Corvane")
                                    << QByteArray("1.0") << "/Corvane\" is not a folder";
    // Deeper than a shell's cd can go: python's chdir takes the relative name.
    QTest::addRow("deeper than a path may be")
        << QByteArray("cd System/sub; python3 -c 'import os\nfor _ in range(21): os.mkdir(200 * "
                      "\"0\"); os.chdir(200 * \"0\")'")
        << QByteArray("1.0") << "failed: \"File name too long\"";
    QTest::addRow("bad version") << QByteArray("true") << QByteArray("v1")
                                 << "\"v1\" is not a version";
}

void TestManifest::buildRefuses()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, version);
    QFETCH(QString, error);
    const UpdateFolder dir;
    QVERIFY(dir.ok() && dir.change(command));
    Manifest manifest;
    QString text;
    QVERIFY(!buildManifest(dir.path(), version, &manifest, &text));
    QVERIFY2(text.contains(error.replace(QStringLiteral("<dir>"), dir.path())), qPrintable(text));
}

void TestManifest::compare_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QStringList>("expected");

    const QString notes = QStringLiteral("\"System/My Notes.txt\"");
    QTest::addRow("unchanged") << QByteArray("true") << QStringList();
    QTest::addRow("byte in a system file")
        << QByteArray("printf 'hellO\\n' > 'System/My Notes.txt'")
        << QStringList{notes + " has SHA-256 " + sha("hellO\n") + ", listed with "
                       + sha("hello\n")};
    QTest::addRow("byte in an application file")
        << QByteArray("printf tesT > Corvane/Corvane.exe")
        << QStringList{"\"Corvane/Corvane.exe\" has SHA-256 " + sha("tesT") + ", listed with "
                       + sha("test")};
    QTest::addRow("longer") << QByteArray("echo >> 'System/My Notes.txt'")
                            << QStringList{notes + " has 7 bytes, listed with 6"};
    QTest::addRow("extra file") << QByteArray("touch System/sub/new")
                                << QStringList{"\"System/sub/new\" is not listed"};
    QTest::addRow("missing file") << QByteArray("rm 'Corvane/a b/c.dll'")
                                  << QStringList{"\"Corvane/a b/c.dll\" is listed but missing"};
    QTest::addRow("renamed file") << QByteArray("mv Corvane/Corvane.exe Corvane/Corvane.ex_")
                                  << QStringList{"\"Corvane/Corvane.ex_\" is not listed",
                                                 "\"Corvane/Corvane.exe\" is listed but missing"};
    QTest::addRow("mode") << QByteArray("chmod 0755 Corvane/Corvane.exe")
                          << QStringList{"\"Corvane/Corvane.exe\" has mode 0755, listed with 4755"};
    QTest::addRow("folder mode") << QByteArray("chmod 0700 System/sub")
                                 << QStringList{"\"System/sub\" has mode 0700, listed with 0755"};
    QTest::addRow("link target") << QByteArray("ln -sfn /etc/passwd Corvane/current")
                                 << QStringList{"\"Corvane/current\" points to \"/etc/passwd\", "
                                                "listed pointing to \"a b/c.dll\""};
    QTest::addRow("folder gone, nothing below reported")
        << QByteArray("rm -r 'Corvane/a b'")
        << QStringList{"\"Corvane/a b\" is listed but missing"};
    QTest::addRow("file for a folder")
        << QByteArray("rm -r 'Corvane/a b' && touch 'Corvane/a b'")
        << QStringList{"\"Corvane/a b\" is a file, listed as a folder"};
    QTest::addRow("extra folder, nothing below reported")
        << QByteArray("mkdir -p System/new/deep && touch System/new/deep/x")
        << QStringList{"\"System/new\" is not listed"};
    QTest::addRow("pipe for a file")
        << QByteArray("rm 'System/My Notes.txt' && mkfifo 'System/My Notes.txt'")
        << QStringList{notes + " is a special file, listed as a file"};
    QTest::addRow("top folder a link") << QByteArray("mv System S2 && ln -s S2 System")
                                       << QStringList{"\"System\" is a link, listed as a folder"};
}

void TestManifest::compare()
{
    QFETCH(QByteArray, command);
    QFETCH(QStringList, expected);
    const UpdateFolder dir;
    QVERIFY(dir.ok());
    Manifest manifest;
    QString error;
    QVERIFY(buildManifest(dir.path(), "1.0", &manifest, &error));
    QVERIFY(dir.change(command));
    QStringList found;
    for (const Difference &difference : compareWithFolder(manifest, dir.path(), Stop::Never))
        found << difference.text();
    QCOMPARE(found, expected);
    const auto first = compareWithFolder(manifest, dir.path(), Stop::AtFirst);
    QCOMPARE(first.size(), size_t(expected.isEmpty() ? 0 : 1));
}

void TestManifest::versions_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<int>("order"); // -1, 0, 1; 2: not comparable

    QTest::addRow("patch") << QByteArray("2.4.1") << QByteArray("2.4.10") << -1;
    QTest::addRow("missing is 0") << QByteArray("2.4") << QByteArray("2.4.0.0") << 0;
    QTest::addRow("major") << QByteArray("10.0") << QByteArray("9.9.9.9") << 1;
    QTest::addRow("suffix first") << QByteArray("2.5.0-rc2") << QByteArray("2.5.0") << -1;
    QTest::addRow("suffix numbers") << QByteArray("2.5-rc2") << QByteArray("2.5-rc10") << -1;
    QTest::addRow("suffix letters") << QByteArray("2.5-beta3") << QByteArray("2.5-rc1") << -1;
    QTest::addRow("no suffix number first") << QByteArray("2.5-rc") << QByteArray("2.5-rc0") << -1;
    QTest::addRow("largest") << QByteArray("999999999") << QByteArray("999999998") << 1;
    for (const char *bad : {"", "2.", ".2", "02", "1..2", "1.2.3.4.5", "1-RC1", "1-rc01", "1-",
                            "1-rc1x", "1234567890", " 1", "1 ", "1.0-abcdefghijklmnopq", "v1"})
        QTest::addRow("invalid \"%s\"", bad) << QByteArray(bad) << QByteArray("1") << 2;
}

void TestManifest::versions()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(int, order);
    QCOMPARE(isValidVersion(a), order != 2);
    const std::optional<int> forward = compareVersions(a, b);
    const std::optional<int> backward = compareVersions(b, a);
    QCOMPARE(forward.has_value(), order != 2);
    if (order != 2) {
        QCOMPARE(*forward, order);
        QCOMPARE(*backward, -order);
    }
}

QTEST_GUILESS_MAIN(TestManifest)
#include "tst_manifest.moc"
