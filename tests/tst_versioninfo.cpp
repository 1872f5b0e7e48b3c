// Version resources read from real PE files made at test time, from mutilated copies
// of them, and through the installer's readProductVersion with its log lines.

#include "fileinstaller.h"
#include "testsupport.h"
#include "versioninfo.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/resource.h>
#include <sys/stat.h>

#include <vector>

using namespace winver;

namespace {

const QString kCantObtain
    = QStringLiteral("Can't obtain ProductName and ProductVersion from resources\n");

QString sizeFailed(int error)
{
    return QStringLiteral("GetFileVersionInfoSize failed with error %1\n").arg(error);
}

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

quint32 le32(const QByteArray &data, qint64 at)
{
    return qFromLittleEndian<quint32>(data.constData() + at);
}

quint16 le16(const QByteArray &data, qint64 at)
{
    return qFromLittleEndian<quint16>(data.constData() + at);
}

// Where the structures of a well-formed test executable lie in its file, found the
// plain way (the files come from our own tool, so no checks are needed here).
struct PeMap
{
    explicit PeMap(const QByteArray &pe)
    {
        peHeader = le32(pe, 0x3c);
        optional = peHeader + 24;
        directories = optional + (le16(pe, optional) == 0x20b ? 112 : 96);
        const quint32 resourceRva = le32(pe, directories + 16);
        const qint64 table = optional + le16(pe, peHeader + 20);
        for (int i = 0; i < le16(pe, peHeader + 6); ++i) {
            const qint64 header = table + qint64(40) * i;
            const quint32 va = le32(pe, header + 12);
            if (resourceRva >= va && resourceRva < va + le32(pe, header + 16)) {
                resourceSection = header;
                delta = qint64(le32(pe, header + 20)) - va;
            }
        }
        root = resourceRva + delta;
        const int count = le16(pe, root + 12) + le16(pe, root + 14);
        for (int i = 0; i < count; ++i) {
            if (le32(pe, root + 16 + qint64(8) * i) == 16)
                typeEntry = root + 16 + qint64(8) * i;
        }
        nameDir = root + (le32(pe, typeEntry + 4) & 0x7fffffff);
        langDir = root + (le32(pe, nameDir + 16 + 4) & 0x7fffffff);
        dataEntry = root + le32(pe, langDir + 16 + 4);
        block = le32(pe, dataEntry) + delta;
        blockEnd = block + le16(pe, block);
    }

    qint64 peHeader = 0;
    qint64 optional = 0;
    qint64 directories = 0;
    qint64 resourceSection = 0;
    qint64 delta = 0;
    qint64 root = 0;
    qint64 typeEntry = 0;
    qint64 nameDir = 0;
    qint64 langDir = 0;
    qint64 dataEntry = 0;
    qint64 block = 0;
    qint64 blockEnd = 0;
};

// File offset of the version node with the given key.
qint64 nodeOf(const QByteArray &pe, const QString &key)
{
    QByteArray utf16(reinterpret_cast<const char *>(key.utf16()), key.size() * 2);
    utf16.append(2, '\0');
    const qint64 at = pe.indexOf(utf16);
    return at < 6 ? -1 : at - 6;
}

} // namespace

class TestVersionInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void productVersionMatchesPefile_data();
    void productVersionMatchesPefile();
    void missingStrings_data();
    void missingStrings();
    void queries_data();
    void queries();
    void fixedInfoAndTranslation();
    void blockSizeAndCopy();
    void openErrors_data();
    void openErrors();
    void readProductVersionPaths_data();
    void readProductVersionPaths();
    void moduleFileName();
    void corruptedFields_data();
    void corruptedFields();
    void truncatedFiles_data();
    void truncatedFiles();
    void flippedHeaderBytes();
    void hugeSparseFile();
    void garbageFiles_data();
    void garbageFiles();

private:
    QString file(const QString &name) const { return m_dir.filePath(name); }
    QString writeFile(const QString &name, const QByteArray &content) const;
    QByteArray readFile(const QString &name) const;
    QString readWithCapture(const QString &path, QStringList *messages) const;

    QTemporaryDir m_dir;
};

void TestVersionInfo::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString data = QStringLiteral(CORVANE_SOURCE_DIR "/tests/data/");
    const QList<QPair<QString, QStringList>> builds = {
        {QStringLiteral("x86.exe"), {"--machine", "x86", "--version", "2.4.1"}},
        {QStringLiteral("x64.exe"), {"--machine", "x64", "--version", "10.0.3-rc2"}},
        {QStringLiteral("arm.exe"), {"--machine", "arm", "--version", "4.0.12 beta"}},
        {QStringLiteral("english.exe"), {"--lang-cp", "040904b0"}},
        {QStringLiteral("noname.exe"), {"--no-product-name"}},
        {QStringLiteral("tables.exe"), {"--rc", data + "versioninfo_tables.rc"}},
        {QStringLiteral("none.exe"), {"--rc", data + "versioninfo_none.rc"}},
    };
    for (const auto &build : builds)
        QVERIFY2(makePe(file(build.first), build.second), qPrintable(build.first));
}

QString TestVersionInfo::writeFile(const QString &name, const QByteArray &content) const
{
    QFile out(file(name));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(content) != content.size())
        return QString();
    return out.fileName();
}

QByteArray TestVersionInfo::readFile(const QString &name) const
{
    QFile in(file(name));
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

QString TestVersionInfo::readWithCapture(const QString &path, QStringList *messages) const
{
    MessageLog capture;
    QString version = FileInstaller::readProductVersion(path);
    *messages = capture.lines();
    return version;
}

// The sample executables of the three machines and the versions they carry.
static void addSampleRows()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::newRow("x86") << "x86.exe"
                         << "2.4.1";
    QTest::newRow("x64") << "x64.exe"
                         << "10.0.3-rc2";
    QTest::newRow("arm") << "arm.exe"
                         << "4.0.12 beta";
}

void TestVersionInfo::productVersionMatchesPefile_data()
{
    addSampleRows();
    QTest::newRow("two tables, no explicit terminators") << "tables.exe"
                                                         << "5.6.7.8-ch";
}

void TestVersionInfo::productVersionMatchesPefile()
{
    QFETCH(QString, name);
    QFETCH(QString, version);

    const QString python = QStringLiteral(CORVANE_PYTHON3);
    if (python.isEmpty())
        QSKIP("no /usr/bin/python3 to read the file with pefile");
    // The same rule as the installer: the 080704b0 table must hold both strings.
    const QString script = QStringLiteral(
        "import sys, pefile\n"
        "pe = pefile.PE(sys.argv[1])\n"
        "for info in getattr(pe, 'FileInfo', []):\n"
        "    for entry in info:\n"
        "        for table in getattr(entry, 'StringTable', []):\n"
        "            if table.LangID in (b'080704b0', '080704b0') and b'ProductName' in "
        "table.entries:\n"
        "                sys.stdout.buffer.write(table.entries[b'ProductVersion'])\n"
        "                sys.exit(0)\n"
        "sys.exit(3)\n");
    QProcess process;
    process.start(python, {QStringLiteral("-c"), script, file(name)});
    QVERIFY(process.waitForFinished(60000));
    const QByteArray errors = process.readAllStandardError();
    if (errors.contains("No module named 'pefile'"))
        QSKIP("pefile is not installed for /usr/bin/python3");
    QVERIFY2(process.exitCode() == 0, errors.constData());
    const QString expected = QString::fromUtf8(process.readAllStandardOutput());

    QStringList messages;
    const QString read = readWithCapture(file(name), &messages);
    QCOMPARE(read, expected);
    QCOMPARE(read, version);
    QCOMPARE(messages, QStringList());
}

void TestVersionInfo::missingStrings_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("other language and code page") << "english.exe";
    QTest::newRow("ProductVersion without ProductName") << "noname.exe";
}

void TestVersionInfo::missingStrings()
{
    QFETCH(QString, name);
    QStringList messages;
    const QString read = readWithCapture(file(name), &messages);
    QVERIFY(read.isNull());
    QCOMPARE(messages, QStringList{kCantObtain});
}

void TestVersionInfo::queries_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("text");
    QTest::newRow("Swiss version")
        << "\\StringFileInfo\\080704b0\\ProductVersion" << true << "5.6.7.8-ch";
    QTest::newRow("English version")
        << "\\StringFileInfo\\040904b0\\ProductVersion" << true << "5.6-en";
    QTest::newRow("keys ignore case") << "\\stringfileinfo\\080704B0\\PRODUCTNAME" << true
                                      << QStringLiteral("Corvane Z\u00fcrich");
    QTest::newRow("empty value") << "\\StringFileInfo\\080704b0\\Comments" << true << "";
    QTest::newRow("doubled and trailing backslashes")
        << "\\\\StringFileInfo\\080704b0\\\\ProductVersion\\" << true << "5.6.7.8-ch";
    QTest::newRow("missing value") << "\\StringFileInfo\\080704b0\\CompanyName" << false << "";
    QTest::newRow("partial table name") << "\\StringFileInfo\\0807\\ProductVersion" << false << "";
    QTest::newRow("below a value")
        << "\\StringFileInfo\\080704b0\\ProductVersion\\x" << false << "";
    QTest::newRow("key prefix") << "\\StringFileInfo\\080704b0\\Product" << false << "";
}

void TestVersionInfo::queries()
{
    QFETCH(QString, path);
    QFETCH(bool, found);
    QFETCH(QString, text);

    const std::wstring name = wide(file("tables.exe"));
    const DWORD size = GetFileVersionInfoSize(name.c_str(), nullptr);
    QVERIFY(size > 0);
    std::vector<unsigned char> block(size);
    QVERIFY(GetFileVersionInfo(name.c_str(), 0, size, block.data()));

    void *value = nullptr;
    UINT length = 0;
    const BOOL ok = VerQueryValue(block.data(), wide(path).c_str(), &value, &length);
    QCOMPARE(bool(ok), found);
    if (!found)
        return;
    const auto *chars = static_cast<const char16_t *>(value);
    QVERIFY(static_cast<const void *>(chars) >= block.data());
    QVERIFY(reinterpret_cast<const unsigned char *>(chars + length) <= block.data() + block.size());
    QCOMPARE(length, UINT(text.size() + 1));
    QVERIFY(chars[length - 1] == 0);
    QCOMPARE(QString::fromUtf16(chars, length - 1), text);
}

void TestVersionInfo::fixedInfoAndTranslation()
{
    const QByteArray pe = readFile("tables.exe");
    std::vector<unsigned char> block(GetFileVersionInfoSizeFromImage(pe.constData(), pe.size()));
    QVERIFY(!block.empty());
    QVERIFY(
        GetFileVersionInfoFromImage(pe.constData(), pe.size(), DWORD(block.size()), block.data()));

    void *value = nullptr;
    UINT length = 0;
    QVERIFY(VerQueryValue(block.data(), L"\\", &value, &length));
    QCOMPARE(length, 52u);
    const auto *fixed = static_cast<const unsigned char *>(value);
    QCOMPARE(qFromLittleEndian<quint32>(fixed), 0xfeef04bdu);
    QCOMPARE(qFromLittleEndian<quint32>(fixed + 16), 0x00050006u); // product version 5.6
    QCOMPARE(qFromLittleEndian<quint32>(fixed + 20), 0x00070008u); // .7.8

    QVERIFY(VerQueryValue(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
    QCOMPARE(length, 8u);
    const auto *words = static_cast<const unsigned char *>(value);
    const quint16 expected[] = {0x0409, 0x04b0, 0x0807, 0x04b0};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(qFromLittleEndian<quint16>(words + std::ptrdiff_t(2) * i), expected[i]);
}

void TestVersionInfo::blockSizeAndCopy()
{
    const std::wstring name = wide(file("x64.exe"));
    const PeMap map(readFile("x64.exe"));
    DWORD handle = 77;
    const DWORD size = GetFileVersionInfoSize(name.c_str(), &handle);
    QCOMPARE(handle, DWORD(0));
    QCOMPARE(qint64(size), map.blockEnd - map.block);

    // Too small a buffer is refused and left alone; a larger one is zero-filled behind.
    std::vector<unsigned char> block(size + 16, 0xaa);
    SetLastError(0);
    QVERIFY(!GetFileVersionInfo(name.c_str(), 0, size - 1, block.data()));
    QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(int(block[0]), 0xaa);
    QVERIFY(GetFileVersionInfo(name.c_str(), 0, size + 16, block.data()));
    QCOMPARE(qFromLittleEndian<quint16>(block.data()), quint16(size));
    for (DWORD i = size; i < size + 16; ++i)
        QCOMPARE(int(block[i]), 0);
}

void TestVersionInfo::openErrors_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("error");
    QTest::newRow("missing file") << file("missing.exe") << int(ERROR_FILE_NOT_FOUND);
    QTest::newRow("missing folder") << file("nowhere/missing.exe") << int(ERROR_PATH_NOT_FOUND);
    QTest::newRow("file as folder") << file("x64.exe/inner.exe") << int(ERROR_PATH_NOT_FOUND);
    QTest::newRow("folder") << m_dir.path() << int(ERROR_ACCESS_DENIED);
    QTest::newRow("fifo") << file("fifo") << int(ERROR_ACCESS_DENIED);
    QTest::newRow("empty file") << file("empty.exe") << int(ERROR_BAD_EXE_FORMAT);
    QTest::newRow("text file") << file("text.exe") << int(ERROR_BAD_EXE_FORMAT);
    QTest::newRow("no RT_VERSION") << file("none.exe") << int(ERROR_RESOURCE_TYPE_NOT_FOUND);
    QTest::newRow("empty name") << QString() << int(ERROR_PATH_NOT_FOUND);
    QTest::newRow("name too long")
        << file(QString(5000, QLatin1Char('a'))) << int(ERROR_FILENAME_EXCED_RANGE);
}

void TestVersionInfo::openErrors()
{
    QFETCH(QString, path);
    QFETCH(int, error);
    QVERIFY(!writeFile("empty.exe", QByteArray()).isEmpty());
    QVERIFY(!writeFile("text.exe", "MZ is not enough to make an executable\n").isEmpty());
    if (!QFileInfo::exists(file("fifo")))
        QCOMPARE(::mkfifo(QFile::encodeName(file("fifo")).constData(), 0600), 0);

    const std::wstring name = wide(path);
    SetLastError(0);
    QCOMPARE(GetFileVersionInfoSize(name.c_str(), nullptr), DWORD(0));
    QCOMPARE(int(GetLastError()), error);
    unsigned char block[64];
    SetLastError(0);
    QVERIFY(!GetFileVersionInfo(name.c_str(), 0, sizeof block, block));
    QCOMPARE(int(GetLastError()), error);
}

void TestVersionInfo::readProductVersionPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing file") << file("missing.exe") << sizeFailed(ERROR_FILE_NOT_FOUND);
    QTest::newRow("longer than 260 characters")
        << file(QString(300, QLatin1Char('x'))) << sizeFailed(ERROR_FILENAME_EXCED_RANGE);
    // The running program: the test itself, an ELF file here.
    QTest::newRow("empty path") << QString() << sizeFailed(ERROR_BAD_EXE_FORMAT);
}

void TestVersionInfo::readProductVersionPaths()
{
    QFETCH(QString, path);
    QFETCH(QString, message);
    QStringList messages;
    QVERIFY(readWithCapture(path, &messages).isNull());
    QCOMPARE(messages, QStringList{message});
}

void TestVersionInfo::moduleFileName()
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    wchar_t name[4096] = {};
    const DWORD length = GetModuleFileName(nullptr, name, 4096);
    QCOMPARE(QString::fromWCharArray(name, int(length)), self);
    QVERIFY(name[length] == 0);

    // Too small: cut to the size including the zero, the size returned, error set.
    wchar_t small[5] = {L'#', L'#', L'#', L'#', L'#'};
    SetLastError(0);
    QCOMPARE(GetModuleFileName(nullptr, small, 5), DWORD(5));
    QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(QString::fromWCharArray(small), self.left(4));

    SetLastError(0);
    QCOMPARE(GetModuleFileName(nullptr, small, 0), DWORD(0));
    QCOMPARE(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    QCOMPARE(GetModuleFileName(small, small, 5), DWORD(0));
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// Fields of a good executable overwritten with hostile values. Each row names the
// field, the value (little-endian, width bytes) and what the installer then reads.
void TestVersionInfo::corruptedFields_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("message");

    const QString good = QStringLiteral("10.0.3-rc2");
    const QString bad = sizeFailed(ERROR_BAD_EXE_FORMAT);
    const QString invalid = sizeFailed(ERROR_INVALID_DATA);
    auto row = [](const char *name, const char *field, qint64 value, int width,
                  const QString &version, const QString &message) {
        QTest::newRow(name) << QString::fromLatin1(field) << value << width << version << message;
    };
    row("e_lfanew huge", "e_lfanew", 0xffffffff, 4, {}, bad);
    row("e_lfanew at the DOS header", "e_lfanew", 0, 4, {}, bad);
    row("PE signature", "signature", 0x00004551, 4, {}, bad);
    row("optional header magic", "magic", 0x10c, 2, {}, bad);
    row("optional header size 0", "sizeOfOptionalHeader", 0, 2, {}, bad);
    row("optional header size huge", "sizeOfOptionalHeader", 0xffff, 2, {}, bad);
    row("no sections", "numberOfSections", 0, 2, {}, bad);
    row("65535 sections", "numberOfSections", 0xffff, 2, {}, bad);
    row("two data directories", "numberOfRvaAndSizes", 2, 4, {},
        sizeFailed(ERROR_RESOURCE_DATA_NOT_FOUND));
    row("resource address 0", "resourceRva", 0, 4, {}, sizeFailed(ERROR_RESOURCE_DATA_NOT_FOUND));
    row("resource size 0", "resourceSize", 0, 4, {}, sizeFailed(ERROR_RESOURCE_DATA_NOT_FOUND));
    row("resource address huge", "resourceRva", 0xfffffff0, 4, {}, bad);
    row("section address huge", "sectionAddress", 0xfffff000, 4, {}, bad);
    row("section raw data past the file", "sectionRawPointer", 0xffffffff, 4, {}, bad);
    row("section virtual size too small", "sectionVirtualSize", 0x10, 4, {}, bad);
    // The virtual size bounds the section, so a huge raw size is harmless.
    row("section raw size huge", "sectionRawSize", 0xffffffff, 4, good, {});
    row("resource types 65535", "rootIdCount", 0xffff, 2, {}, bad);
    row("no resource types", "rootIdCount", 0, 2, {}, sizeFailed(ERROR_RESOURCE_TYPE_NOT_FOUND));
    row("type is not RT_VERSION", "typeId", 17, 4, {}, sizeFailed(ERROR_RESOURCE_TYPE_NOT_FOUND));
    row("type points at the root", "typeOffset", 0x80000000, 4, {}, bad);
    row("type points at data", "typeOffset", 0x10, 4, {}, bad);
    row("type directory far away", "typeOffset", 0xffffffff, 4, {}, bad);
    row("name points at the root", "nameOffset", 0x80000000, 4, {}, bad);
    row("no names", "nameCount", 0, 2, {}, sizeFailed(ERROR_RESOURCE_NAME_NOT_FOUND));
    row("language is a directory", "langOffset", 0x80000000, 4, {}, bad);
    row("no languages", "langCount", 0, 2, {}, sizeFailed(ERROR_RESOURCE_LANG_NOT_FOUND));
    row("data address huge", "dataRva", 0xffffffff, 4, {}, bad);
    row("data at the DOS header", "dataRva", 0, 4, {}, invalid);
    row("data size 0", "dataSize", 0, 4, {}, invalid);
    row("data size below the block", "dataSize", 0x40, 4, {}, invalid);
    row("data size huge", "dataSize", 0xffffffff, 4, good, {});
    row("root length 0", "rootLength", 0, 2, {}, invalid);
    row("root length huge", "rootLength", 0xffff, 2, {}, invalid);
    row("root cut before the strings", "rootLength", 0x60, 2, {}, kCantObtain);
    row("StringFileInfo length 0", "StringFileInfo", 0, 2, {}, kCantObtain);
    row("StringFileInfo length huge", "StringFileInfo", 0xffff, 2, good, {});
    row("string table cut short", "080704b0", 0x20, 2, {}, kCantObtain);
    row("ProductVersion length 0", "ProductVersion", 0, 2, {}, kCantObtain);
    row("ProductVersion length huge", "ProductVersion", 0xffff, 2, good, {});
    row("value length huge", "valueLength", 0xffff, 2, good, {});
    row("value length counts bytes", "valueLength", 2 * (good.size() + 1), 2, good, {});
    row("value without terminator", "valueLength", good.size(), 2, good, {});
    row("value length 0 is the empty text", "valueLength", 0, 2, QStringLiteral(""), {});
    row("text runs to the node's end", "terminator", 'x', 2, {}, kCantObtain);
}

void TestVersionInfo::corruptedFields()
{
    QFETCH(QString, field);
    QFETCH(qint64, value);
    QFETCH(int, width);
    QFETCH(QString, version);
    QFETCH(QString, message);

    QByteArray pe = readFile("x64.exe");
    const PeMap map(pe);
    const qint64 productVersion = nodeOf(pe, QStringLiteral("ProductVersion"));
    const QHash<QString, qint64> offsets = {
        {"e_lfanew", 0x3c},
        {"signature", map.peHeader},
        {"numberOfSections", map.peHeader + 6},
        {"sizeOfOptionalHeader", map.peHeader + 20},
        {"magic", map.optional},
        {"numberOfRvaAndSizes", map.directories - 4},
        {"resourceRva", map.directories + 16},
        {"resourceSize", map.directories + 20},
        {"sectionVirtualSize", map.resourceSection + 8},
        {"sectionAddress", map.resourceSection + 12},
        {"sectionRawSize", map.resourceSection + 16},
        {"sectionRawPointer", map.resourceSection + 20},
        {"rootIdCount", map.root + 14},
        {"typeId", map.typeEntry},
        {"typeOffset", map.typeEntry + 4},
        {"nameCount", map.nameDir + 14},
        {"nameOffset", map.nameDir + 16 + 4},
        {"langCount", map.langDir + 14},
        {"langOffset", map.langDir + 16 + 4},
        {"dataRva", map.dataEntry},
        {"dataSize", map.dataEntry + 4},
        {"rootLength", map.block},
        {"StringFileInfo", nodeOf(pe, QStringLiteral("StringFileInfo"))},
        {"080704b0", nodeOf(pe, QStringLiteral("080704b0"))},
        {"ProductVersion", productVersion},
        {"valueLength", productVersion + 2},
        // Value after the 6-byte header and the 30-byte key, then 10 characters.
        {"terminator", productVersion + 36 + qint64(2) * 10},
    };
    const qint64 at = offsets.value(field, -1);
    QVERIFY2(at > 0 && at + width <= pe.size(), qPrintable(field));
    if (field == QLatin1String("terminator"))
        QCOMPARE(pe.mid(at - 2, 4), QByteArray("2\0\0\0", 4)); // right after the text
    for (int i = 0; i < width; ++i)
        pe[at + i] = char((value >> (8 * i)) & 0xff);

    QStringList messages;
    const QString read = readWithCapture(writeFile("mutated.exe", pe), &messages);
    QCOMPARE(read.isNull(), version.isNull());
    QCOMPARE(read, version);
    QCOMPARE(messages, message.isNull() ? QStringList() : QStringList{message});
}

void TestVersionInfo::truncatedFiles_data()
{
    addSampleRows();
}

// Every prefix of a real file: until the whole version block is there the read
// fails with a size message; from then on the version is found.
void TestVersionInfo::truncatedFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    const QByteArray pe = readFile(name);
    const PeMap map(pe);
    QVERIFY(map.blockEnd > map.block && map.blockEnd <= pe.size());

    const QString path = file("truncated.exe");
    for (qint64 length = 0; length <= pe.size(); ++length) {
        QVERIFY(!writeFile("truncated.exe", pe.left(length)).isEmpty());
        QStringList messages;
        const QString read = readWithCapture(path, &messages);
        if (length >= map.blockEnd) {
            QVERIFY2(read == version, qPrintable(QString::number(length)));
            QCOMPARE(messages, QStringList());
            continue;
        }
        QVERIFY2(read.isNull(), qPrintable(QString::number(length)));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(
            messages.first().startsWith(QLatin1String("GetFileVersionInfoSize failed with error ")),
            qPrintable(messages.first()));
    }
}

// Random bytes changed anywhere outside the version block: the version is either read
// exactly or not at all.
void TestVersionInfo::flippedHeaderBytes()
{
    const QByteArray pe = readFile("x86.exe");
    const PeMap map(pe);
    QRandomGenerator random(20240611);
    const QString path = file("flipped.exe");
    int found = 0;
    for (int round = 0; round < 1500; ++round) {
        QByteArray mutated = pe;
        const int flips = 1 + random.bounded(4);
        for (int i = 0; i < flips; ++i) {
            qint64 at = random.bounded(int(map.block));
            mutated[at] = char(random.bounded(256));
        }
        QVERIFY(!writeFile("flipped.exe", mutated).isEmpty());
        QStringList messages;
        const QString read = readWithCapture(path, &messages);
        QVERIFY2(read.isNull() || read == QLatin1String("2.4.1"), qPrintable(read));
        QCOMPARE(messages.size(), read.isNull() ? 1 : 0);
        found += read.isNull() ? 0 : 1;
    }
    // Most single-byte changes hit fields the reader does not use.
    QVERIFY(found > 0);
}

// A 3 GiB file (sparse: it costs no disk) with a good executable at its start: the
// reader looks only at what it needs, so memory stays small, and offsets past 2 GiB
// are handled.
void TestVersionInfo::hugeSparseFile()
{
    QByteArray pe = readFile("x64.exe");
    const QString path = writeFile("huge.exe", pe);
    QVERIFY(!path.isEmpty());
    QVERIFY(QFile::resize(path, qint64(3) << 30));

    rusage before = {};
    getrusage(RUSAGE_SELF, &before);
    QStringList messages;
    QCOMPARE(readWithCapture(path, &messages), QStringLiteral("10.0.3-rc2"));

    // The PE header moved to 2.5 GiB, where the file holds only zeros.
    pe[0x3c] = 0;
    pe[0x3d] = 0;
    pe[0x3e] = 0;
    pe[0x3f] = char(0xa0);
    QFile out(path);
    QVERIFY(out.open(QIODevice::ReadWrite));
    QCOMPARE(out.write(pe.left(64)), qint64(64));
    out.close();
    QVERIFY(readWithCapture(path, &messages).isNull());
    QCOMPARE(messages, QStringList{sizeFailed(ERROR_BAD_EXE_FORMAT)});

    rusage after = {};
    getrusage(RUSAGE_SELF, &after);
    QVERIFY2(
        after.ru_maxrss - before.ru_maxrss < 64L * 1024,
        qPrintable(
            QStringLiteral("peak memory grew by %1 KiB").arg(after.ru_maxrss - before.ru_maxrss)));
    QFile::remove(path);
}

void TestVersionInfo::garbageFiles_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("message");
    QByteArray peAt64("MZ");
    peAt64.append(0x3a, '\0');
    peAt64.append("\x40\0\0\0PE\0\0", 8);
    QTest::newRow("random") << QByteArray() << 4096 << sizeFailed(ERROR_BAD_EXE_FORMAT);
    QTest::newRow("MZ and random") << QByteArray("MZ") << 4096 << QString();
    QTest::newRow("PE headers and random") << peAt64 << 8192 << QString();
    QTest::newRow("DOS header only") << peAt64.left(64) << 64 << sizeFailed(ERROR_BAD_EXE_FORMAT);
    QTest::newRow("zeros behind PE")
        << peAt64 + QByteArray(4096, '\0') << 4096 << sizeFailed(ERROR_BAD_EXE_FORMAT);
}

void TestVersionInfo::garbageFiles()
{
    QFETCH(QByteArray, prefix);
    QFETCH(int, size);
    QFETCH(QString, message);
    QRandomGenerator random(4711);
    const QString path = file("garbage.exe");
    for (int round = 0; round < 200; ++round) {
        QByteArray content = prefix.left(size);
        while (content.size() < size)
            content.append(char(random.bounded(256)));
        QVERIFY(!writeFile("garbage.exe", content).isEmpty());
        QStringList messages;
        QVERIFY(readWithCapture(path, &messages).isNull());
        QCOMPARE(messages.size(), 1);
        if (message.isNull())
            QVERIFY2(messages.first().startsWith(
                         QLatin1String("GetFileVersionInfoSize failed with error ")),
                     qPrintable(messages.first()));
        else
            QCOMPARE(messages.first(), message);
    }
}

QTEST_GUILESS_MAIN(TestVersionInfo)
#include "tst_versioninfo.moc"
