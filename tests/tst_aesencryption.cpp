// The shared password encryption: round trips, the interchange format checked against
// the openssl command line, clean failures on corrupt stored texts, and the
// corvane-encrypt tool.

#include "aes_encryption.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include "testsupport.h"

namespace {

QByteArray keyHex()
{
    return QCryptographicHash::hash("corvane-installer-shared-key-v1", QCryptographicHash::Sha256)
        .toHex();
}

// Runs a program with the given standard input; returns its standard output.
QByteArray run(const QString &program, const QStringList &arguments, const QByteArray &input,
               int *exitCode)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted()) {
        *exitCode = -1;
        return QByteArray();
    }
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(30000);
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    return process.readAllStandardOutput();
}

// openssl enc with the shared key and the given IV (hex); extra options such as -d or -nopad.
QByteArray openssl(const QByteArray &input, const QByteArray &ivHex, const QStringList &extra,
                   int *exitCode)
{
    QStringList arguments{"enc", "-aes-256-cbc",
                          "-K",  QString::fromLatin1(keyHex()),
                          "-iv", QString::fromLatin1(ivHex)};
    return run(QStringLiteral("openssl"), arguments + extra, input, exitCode);
}

QString encryptToolPath()
{
    QString fromEnvironment = qEnvironmentVariable("CORVANE_ENCRYPT_EXE");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/corvane-encrypt");
}

const QByteArray fixedIvHex = "000102030405060708090a0b0c0d0e0f";

} // namespace

class TestAesEncryption : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void decryptsOpensslOutput_data();
    void decryptsOpensslOutput();
    void corruptInputFails_data();
    void corruptInputFails();
    void freshIvEveryTime();
    void encryptTool_data();
    void encryptTool();
    void encryptToolRejectsBadInput_data();
    void encryptToolRejectsBadInput();

private:
    QString makeStored(const QByteArray &plain, const QStringList &extra = {});
};

QString TestAesEncryption::makeStored(const QByteArray &plain, const QStringList &extra)
{
    int code = 0;
    const QByteArray cipher = openssl(plain, fixedIvHex, extra, &code);
    if (code != 0)
        return QString();
    return QString::fromLatin1((QByteArray::fromHex(fixedIvHex) + cipher).toBase64());
}

void TestAesEncryption::roundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("empty") << QString();
    QTest::newRow("one char") << "a";
    QTest::newRow("15 bytes") << "abcdefghijklmno";
    QTest::newRow("16 bytes") << "abcdefghijklmnop";
    QTest::newRow("17 bytes") << "abcdefghijklmnopq";
    QTest::newRow("spaces kept") << " pass word ";
    QTest::newRow("umlauts") << QStringLiteral("P\u00e4ssw\u00f6rd\u00df\u00c9");
    QTest::newRow("euro and cjk") << QStringLiteral("\u20ac\u65e5\u672c\u8a9e");
    QTest::newRow("outside bmp") << QStringLiteral("key\U0001F511");
    QTest::newRow("leading bom char") << QStringLiteral("\ufeffx");
    QTest::newRow("50 chars") << QString(50, QLatin1Char('Z'));
    QTest::newRow("symbols") << "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
}

void TestAesEncryption::roundTrip()
{
    QFETCH(QString, password);
    MessageLog log;
    AES_Encryption aes;
    const QString stored = aes.Encrypt(password);
    QVERIFY(!stored.isEmpty());
    bool ok = false;
    QCOMPARE(aes.Decrypt(stored, &ok), password);
    QVERIFY(ok);
    QVERIFY(!aes.lastDecryptFailed());
    // Another object (another program) with the same build reads it too.
    AES_Encryption other;
    QCOMPARE(other.Decrypt(stored), password);
    QVERIFY(!other.lastDecryptFailed());

    // The format as the openssl command line sees it: IV, then the ciphertext.
    const QByteArray bytes = QByteArray::fromBase64(stored.toLatin1());
    int code = 0;
    const QByteArray plain = openssl(bytes.mid(16), bytes.left(16).toHex(), {"-d"}, &code);
    QCOMPARE(code, 0);
    QCOMPARE(plain, password.toUtf8());
    QCOMPARE(log.lines(), QStringList());
}

void TestAesEncryption::decryptsOpensslOutput_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("ascii") << QByteArray("Admin1234");
    QTest::newRow("utf-8") << QStringLiteral("S\u00fc\u00dfes \u20ac").toUtf8();
    QTest::newRow("block long") << QByteArray("0123456789abcdef");
    QTest::newRow("empty") << QByteArray();
}

void TestAesEncryption::decryptsOpensslOutput()
{
    QFETCH(QByteArray, plain);
    const QString stored = makeStored(plain);
    QVERIFY(!stored.isEmpty());
    AES_Encryption aes;
    bool ok = false;
    QCOMPARE(aes.Decrypt(stored, &ok), QString::fromUtf8(plain));
    QVERIFY(ok);
}

void TestAesEncryption::corruptInputFails_data()
{
    QTest::addColumn<QString>("stored");
    const QString good = makeStored("secret");
    QVERIFY(!good.isEmpty());
    const QByteArray goodBytes = QByteArray::fromBase64(good.toLatin1());

    QTest::newRow("empty") << QString();
    QTest::newRow("not base64") << "this is not base64!";
    QTest::newRow("base64 with line feed") << good + "\n";
    QTest::newRow("base64 with space inside") << good.left(8) + " " + good.mid(8);
    QTest::newRow("url alphabet") << QString(good).replace('+', '-').replace('/', '_') + "-_";
    QTest::newRow("non-latin1 char") << good.left(10) + QStringLiteral("\u20ac") + good.mid(11);
    QTest::newRow("only iv") << QString::fromLatin1(goodBytes.left(16).toBase64());
    QTest::newRow("iv and 15 bytes") << QString::fromLatin1(goodBytes.left(31).toBase64());
    QTest::newRow("one byte too many") << QString::fromLatin1((goodBytes + 'x').toBase64());
    // A final block whose last byte is 0x11 cannot be PKCS#7 padding.
    QTest::newRow("padding byte too big") << makeStored(QByteArray(15, 'a') + '\x11', {"-nopad"});
    QTest::newRow("padding byte zero") << makeStored(QByteArray(15, 'a') + '\x00', {"-nopad"});
    QTest::newRow("inconsistent padding")
        << makeStored(QByteArray(13, 'a') + "\x01\x03\x03", {"-nopad"});
    QTest::newRow("not utf-8") << makeStored("\xff\xfe\xfd");
    QTest::newRow("cut utf-8 sequence") << makeStored("ab\xc3");
    QTest::newRow("other key") << [] {
        int code = 0;
        const QByteArray cipher = run(QStringLiteral("openssl"),
                                      {"enc", "-aes-256-cbc", "-K", QString(64, QLatin1Char('1')),
                                       "-iv", QString::fromLatin1(fixedIvHex)},
                                      QByteArray(15, 'a') + "\x11" + QByteArray(16, 'b'), &code);
        // Under the shared key this fixed text decrypts to bytes without valid padding.
        return QString::fromLatin1((QByteArray::fromHex(fixedIvHex) + cipher).toBase64());
    }();
}

void TestAesEncryption::corruptInputFails()
{
    QFETCH(QString, stored);
    MessageLog log;
    AES_Encryption aes;
    // A good decryption first, so that the failure must reset the state.
    QCOMPARE(aes.Decrypt(aes.Encrypt(QStringLiteral("before"))), QStringLiteral("before"));
    QVERIFY(!aes.lastDecryptFailed());

    bool ok = true;
    QCOMPARE(aes.Decrypt(stored, &ok), QString());
    QVERIFY(!ok);
    QVERIFY(aes.lastDecryptFailed());
    QCOMPARE(aes.Decrypt(stored), QString());
    QVERIFY(aes.lastDecryptFailed());

    // One clear line per failed call, never the stored text or a password.
    QCOMPARE(log.lines().size(), 2);
    for (const QString &line : log.lines()) {
        QVERIFY2(line.startsWith(QLatin1String("AES_Encryption: ")), qPrintable(line));
        QVERIFY2(stored.size() < 8 || !line.contains(stored), qPrintable(line));
        QVERIFY2(!line.contains(QLatin1String("before")), qPrintable(line));
    }
}

void TestAesEncryption::freshIvEveryTime()
{
    AES_Encryption aes;
    QSet<QString> seen;
    for (int i = 0; i < 20; ++i) {
        const QString stored = aes.Encrypt(QStringLiteral("same password"));
        QVERIFY(!seen.contains(stored));
        seen.insert(stored);
        QCOMPARE(aes.Decrypt(stored), QStringLiteral("same password"));
    }
}

void TestAesEncryption::encryptTool_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("password");
    QTest::newRow("line") << QByteArray("secret\n") << "secret";
    QTest::newRow("no line feed") << QByteArray("secret") << "secret";
    QTest::newRow("crlf") << QByteArray("secret\r\n") << "secret";
    QTest::newRow("second line ignored") << QByteArray("first\nsecond\n") << "first";
    QTest::newRow("spaces kept") << QByteArray("  a b  \n") << "  a b  ";
    QTest::newRow("utf-8") << QStringLiteral("Pa\u00df\u20ac\n").toUtf8()
                           << QStringLiteral("Pa\u00df\u20ac");
    QTest::newRow("empty line") << QByteArray("\n") << QString();
}

void TestAesEncryption::encryptTool()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, password);
    QVERIFY2(QFileInfo(encryptToolPath()).isExecutable(),
             qPrintable(encryptToolPath() + " is not built"));
    int code = 0;
    const QByteArray output = run(encryptToolPath(), {}, input, &code);
    QCOMPARE(code, 0);
    QVERIFY(output.endsWith('\n'));
    QCOMPARE(output.count('\n'), 1);
    AES_Encryption aes;
    bool ok = false;
    QCOMPARE(aes.Decrypt(QString::fromLatin1(output.trimmed()), &ok), password);
    QVERIFY(ok);
}

void TestAesEncryption::encryptToolRejectsBadInput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no input") << QByteArray() << QStringList();
    QTest::newRow("not utf-8") << QByteArray("pass\xff\n") << QStringList();
    QTest::newRow("argument") << QByteArray("secret\n") << QStringList{"secret"};
}

void TestAesEncryption::encryptToolRejectsBadInput()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, arguments);
    QVERIFY2(QFileInfo(encryptToolPath()).isExecutable(),
             qPrintable(encryptToolPath() + " is not built"));
    int code = 0;
    const QByteArray output = run(encryptToolPath(), arguments, input, &code);
    QVERIFY(code > 0);
    QCOMPARE(output, QByteArray());
}

QTEST_GUILESS_MAIN(TestAesEncryption)
#include "tst_aesencryption.moc"
