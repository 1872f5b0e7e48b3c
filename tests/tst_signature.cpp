// minisign signatures of the update's list: key and signature files refused with the
// reason the log shows, real signatures made by Debian's minisign and tampered with,
// the folder of trusted keys, and files that must not be read.

#include "signature.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace corvane::update;
using Outcome = Verification::Outcome;

namespace {

const QByteArray kId = QByteArray::fromHex("a22ea609e11b7988");
const QByteArray kComment = "timestamp:1\tfile:update.manifest\thashed";

QByteArray keyFile(const QByteArray &raw)
{
    return "untrusted comment: minisign public key\n" + raw.toBase64() + "\n";
}

QByteArray signatureFile(const QByteArray &raw, const QByteArray &comment = kComment,
                         const QByteArray &global = QByteArray(64, 'g'))
{
    return "untrusted comment: signature from minisign secret key\n" + raw.toBase64()
        + "\ntrusted comment: " + comment + "\n" + global.toBase64() + "\n";
}

const QByteArray kKey = keyFile("Ed" + kId + QByteArray(32, 'k'));
const QByteArray kSignature = signatureFile("ED" + kId + QByteArray(64, 's'));

// Runs minisign quietly (it tells a person what it did).
int runQuietly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, arguments);
    return process.waitForFinished() ? process.exitCode() : -1;
}

// Runs a shell script in folder with the hand-made key and signature texts at hand.
int shell(const QString &folder, const QByteArray &script)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KEY"), QString::fromLatin1(kKey));
    environment.insert(QStringLiteral("OTHER"),
                       QString::fromLatin1(keyFile("Ed" + kId + QByteArray(32, 'o'))));
    environment.insert(QStringLiteral("SIG"), QString::fromLatin1(kSignature));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("sh"), {QStringLiteral("-ec"), QString::fromLatin1(script)});
    return process.waitForFinished() ? process.exitCode() : -1;
}

} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void publicKeyRefused_data();
    void publicKeyRefused();
    void signatureRefused_data();
    void signatureRefused();
    void minisign_data();
    void minisign();
    void trustedKeys_data();
    void trustedKeys();
    void reading_data();
    void reading();

private:
    QTemporaryDir m_keys;
    QString m_minisign;
};

void TestSignature::initTestCase()
{
    m_minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (m_minisign.isEmpty())
        return;
    // Two throw-away key pairs without password: A is trusted, B is not.
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")}) {
        QCOMPARE(runQuietly(m_minisign,
                            {"-G", "-W", "-p", m_keys.filePath(name + ".pub"), "-s",
                             m_keys.filePath(name + ".key")}),
                 0);
    }
}

void TestSignature::publicKeyRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    const QByteArray line2 = kKey.mid(kKey.indexOf('\n') + 1);
    QTest::addRow("no final LF") << kKey.chopped(1) << "line 2: no line feed at its end";
    QTest::addRow("CR LF") << QByteArray(kKey).replace("\n", "\r\n") << "line 1: carriage return";
    QTest::addRow("three lines") << kKey + "\n"
                                 << "3 lines where 2 are expected";
    QTest::addRow("no comment") << line2 + line2 << "line 1: does not begin with \"untrusted";
    QTest::addRow("long comment") << "untrusted comment: " + QByteArray(1025, 'c') + "\n" + line2
                                  << "line 1: comment longer than 1024 bytes";
    QTest::addRow("not base64") << QByteArray(kKey).replace(line2.left(4), "R*Q=")
                                << "line 2: not the base64 of a public key (42 bytes)";
    QTest::addRow("short key") << keyFile("Ed" + kId + QByteArray(31, 'k'))
                               << "line 2: not the base64 of a public key";
    QTest::addRow("signature algorithm")
        << keyFile("ED" + kId + QByteArray(32, 'k')) << "line 2: not an Ed25519 key";
    QTest::addRow("too large") << QByteArray(4097, 'x') << "larger than 4096 bytes";
}

void TestSignature::publicKeyRefused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    PublicKey key;
    QString found;
    QVERIFY(parsePublicKey(kKey, &key, &found));
    QCOMPARE(keyIdText(key.id), QStringLiteral("88791BE109A62EA2"));
    QVERIFY(!parsePublicKey(text, &key, &found));
    QVERIFY2(found.contains(error), qPrintable(found));
}

void TestSignature::signatureRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    QByteArray slack = kSignature;
    const qsizetype pad = slack.indexOf('=');
    slack[pad - 1] = char(slack[pad - 1] + 1); // the same bytes, with a stray bit set
    QTest::addRow("empty") << QByteArray() << "0 lines where 4 are expected";
    QTest::addRow("legacy") << signatureFile("Ed" + kId + QByteArray(64, 's'))
                            << "line 2: a legacy signature of the whole file";
    QTest::addRow("unknown algorithm")
        << signatureFile("XY" + kId + QByteArray(64, 's')) << "line 2: unknown signature algorithm";
    QTest::addRow("short signature") << signatureFile("ED" + kId + QByteArray(63, 's'))
                                     << "line 2: not the base64 of a signature (74 bytes)";
    QTest::addRow("base64 not canonical") << slack << "line 2: not the base64 of a signature";
    QTest::addRow("blank in base64")
        << QByteArray(kSignature).insert(kSignature.indexOf('\n') + 9, ' ')
        << "line 2: not the base64";
    QTest::addRow("no trusted comment")
        << QByteArray(kSignature).replace("\ntrusted comment: ", "\n")
        << "line 3: does not begin with \"trusted comment: \"";
    QTest::addRow("long trusted comment")
        << signatureFile("ED" + kId + QByteArray(64, 's'), QByteArray(8193, 'c'))
        << "line 3: comment longer than 8192 bytes";
    QTest::addRow("NUL in trusted comment")
        << signatureFile("ED" + kId + QByteArray(64, 's'), QByteArray("a\0b", 3))
        << "line 3: NUL byte";
    QTest::addRow("short comment signature")
        << signatureFile("ED" + kId + QByteArray(64, 's'), kComment, QByteArray(63, 'g'))
        << "line 4: not the base64 of a comment signature (64 bytes)";
    QTest::addRow("line missing") << kSignature.left(kSignature.lastIndexOf('\n', -2) + 1)
                                  << "3 lines where 4 are expected";
    QTest::addRow("too large") << kSignature + QByteArray(16384, '\n') << "larger than 16384 bytes";
}

void TestSignature::signatureRefused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    Signature signature;
    QString found;
    QVERIFY(parseSignature(kSignature, &signature, &found));
    QCOMPARE(signature.trustedComment, kComment);
    QVERIFY(!parseSignature(text, &signature, &found));
    QVERIFY2(found.contains(error), qPrintable(found));
}

void TestSignature::minisign_data()
{
    QTest::addColumn<QString>("signer");    // a, b, or a-legacy
    QTest::addColumn<QByteArray>("tamper"); // what is changed after signing
    QTest::addColumn<QString>("trusted");   // a, b, a-id-with-b-key, none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("detail");

    QTest::addRow("valid") << "a" << QByteArray() << "a" << int(Outcome::Valid)
                           << "signed with key {a}, trusted comment: \"corvane test\\x09ok\"";
    QTest::addRow("changed byte in the list")
        << "a" << QByteArray("list") << "a" << int(Outcome::BadSignature)
        << "the signature with key {a} does not match";
    QTest::addRow("edited trusted comment")
        << "a" << QByteArray("comment") << "a" << int(Outcome::BadTrustedCommentSignature)
        << "the trusted comment's signature with key {a}";
    QTest::addRow("truncated signature")
        << "a" << QByteArray("truncate") << "a" << int(Outcome::MalformedSignature)
        << "update.manifest.minisig\": line 4: no line feed";
    QTest::addRow("unknown key") << "b" << QByteArray() << "a" << int(Outcome::UnknownKey)
                                 << "signed with key {b}, which is not trusted";
    QTest::addRow("wrong key under the id") << "a" << QByteArray() << "a-id-with-b-key"
                                            << int(Outcome::BadSignature) << "does not match";
    QTest::addRow("no trusted key")
        << "a" << QByteArray() << "none" << int(Outcome::UnknownKey) << "{a}";
    QTest::addRow("legacy signature") << "a-legacy" << QByteArray() << "a"
                                      << int(Outcome::MalformedSignature) << "line 2: a legacy";
}

void TestSignature::minisign()
{
    QFETCH(QString, signer);
    QFETCH(QByteArray, tamper);
    QFETCH(QString, trusted);
    QFETCH(int, outcome);
    QFETCH(QString, detail);
    if (m_minisign.isEmpty())
        QSKIP("minisign is not installed: real signatures are not checked");

    QMap<QString, PublicKey> keys;
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")}) {
        QFile file(m_keys.filePath(name + ".pub"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QString error;
        QVERIFY2(parsePublicKey(text, &keys[name], &error), qPrintable(error));
        // Shown as minisign shows it in the key's comment.
        QVERIFY(text.startsWith("untrusted comment: minisign public key "
                                + keyIdText(keys[name].id).toLatin1() + "\n"));
        detail.replace("{" + name + "}", keyIdText(keys[name].id));
    }
    std::vector<PublicKey> trustedKeys;
    if (trusted == "a" || trusted == "b")
        trustedKeys.push_back(keys[trusted]);
    if (trusted == "a-id-with-b-key")
        trustedKeys.push_back(PublicKey{keys["a"].id, keys["b"].key, {}});

    QTemporaryDir dir;
    const QString list = dir.filePath(QStringLiteral("update.manifest"));
    const QString signature = list + QStringLiteral(".minisig");
    const QByteArray content = "corvane-update-manifest 1\nversion 2.4.1\n";
    QFile out(list);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(content) == content.size());
    out.close();
    QStringList arguments{
        "-S", "-s", m_keys.filePath(signer.left(1) + ".key"), "-m", list, "-t", "corvane test\tok"};
    if (signer.endsWith("-legacy"))
        arguments << "-l";
    QCOMPARE(runQuietly(m_minisign, arguments), 0);
    const QHash<QByteArray, QByteArray> scripts{
        {"list", "printf 'corvane-update-manifest 1\\nversion 2.4.2\\n' > update.manifest"},
        {"comment",
         "sed -i 's/^trusted comment: corvane test/trusted comment: corvane tesT/' "
         "update.manifest.minisig"},
        {"truncate", "truncate -s -10 update.manifest.minisig"}};
    if (!tamper.isEmpty())
        QCOMPARE(shell(dir.path(), scripts.value(tamper)), 0);

    const SignedFile result = readSignedFile(list, signature, trustedKeys, 1024);
    QCOMPARE(int(result.verification.outcome), outcome);
    QVERIFY2(result.verification.detail.contains(detail), qPrintable(result.verification.detail));
    QCOMPARE(result.content, outcome == int(Outcome::Valid) ? content : QByteArray());
}

void TestSignature::trustedKeys_data()
{
    QTest::addColumn<QByteArray>("script"); // lays out "keys" in an empty folder
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("problem");

    const int none = int(TrustedKeys::State::None);
    const int loaded = int(TrustedKeys::State::Loaded);
    const int broken = int(TrustedKeys::State::Broken);
    QTest::addRow("missing") << QByteArray("true") << none << QString();
    QTest::addRow("empty") << QByteArray("mkdir keys") << none << QString();
    QTest::addRow("one key") << QByteArray("mkdir keys; printf %s \"$KEY\" > keys/a.pub") << loaded
                             << QString();
    QTest::addRow("one key twice")
        << QByteArray("mkdir keys; printf %s \"$KEY\" > keys/a.pub; cp keys/a.pub keys/b.pub")
        << loaded << QString();
    QTest::addRow("two keys, one id")
        << QByteArray("mkdir keys; printf %s \"$KEY\" > keys/a.pub; printf %s \"$OTHER\" > keys/b")
        << broken << "hold different keys with the id 88791BE109A62EA2";
    QTest::addRow("not a key") << QByteArray("mkdir keys; printf %s \"$KEY\" > keys/a.pub; "
                                             "echo hello > keys/notes.txt")
                               << broken << "/keys/notes.txt\" is not a public key: 1 lines";
    QTest::addRow("key through a link")
        << QByteArray("mkdir keys; printf %s \"$KEY\" > a.pub; ln -s ../a.pub keys/a.pub") << broken
        << "/keys/a.pub\" is a link, not read";
    QTest::addRow("folder is a link")
        << QByteArray("mkdir k; ln -s k keys") << broken << "/keys\" is a link, not read";
    QTest::addRow("sub-folder") << QByteArray("mkdir -p keys/old") << broken
                                << "/keys/old\" is not a regular file";
    QTest::addRow("key others may change")
        << QByteArray("mkdir keys; printf %s \"$KEY\" > keys/a.pub; chmod 666 keys/a.pub") << broken
        << "/keys/a.pub\" can be changed by other users (mode 0666)";
    QTest::addRow("folder others may change")
        << QByteArray("mkdir keys; chmod 1777 keys") << broken
        << "/keys\" can be changed by other users (mode 1777)";
    QTest::addRow("key of another user")
        << QByteArray("mkdir keys; printf %s \"$KEY\" > keys/a.pub; chown 65534 keys/a.pub")
        << broken << "/keys/a.pub\" belongs to user 65534";
}

void TestSignature::trustedKeys()
{
    QFETCH(QByteArray, script);
    QFETCH(int, state);
    QFETCH(QString, problem);
    if (script.contains("chown") && ::geteuid() != 0)
        QSKIP("only root can give a file to another user");
    QTemporaryDir dir;
    QCOMPARE(shell(dir.path(), script), 0);
    const TrustedKeys keys = loadTrustedKeys(dir.filePath(QStringLiteral("keys")));
    QCOMPARE(int(keys.state), state);
    QCOMPARE(keys.keys.size(), size_t(state == int(TrustedKeys::State::Loaded) ? 1 : 0));
    QVERIFY2(keys.problem.contains(problem), qPrintable(keys.problem));
    QCOMPARE(keys.problem.isEmpty(), problem.isEmpty());
}

void TestSignature::reading_data()
{
    QTest::addColumn<QByteArray>("script"); // lays out "list" and "list.minisig"
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("detail");

    const QByteArray signature = "printf %s \"$SIG\" > list.minisig; ";
    QTest::addRow("both read") << signature + "printf 1234567890 > list" << int(Outcome::UnknownKey)
                               << "which is not trusted";
    QTest::addRow("list missing") << signature << int(Outcome::NoSignedFile)
                                  << "/list\" does not exist";
    QTest::addRow("signature missing") << QByteArray("touch list") << int(Outcome::NoSignatureFile)
                                       << "/list.minisig\" does not exist";
    QTest::addRow("list too large") << signature + "printf 12345678901 > list"
                                    << int(Outcome::Unreadable) << "is larger than 10 bytes";
    QTest::addRow("list a link") << signature + "touch real; ln -s real list"
                                 << int(Outcome::Unreadable) << "/list\" is a link, not read";
    QTest::addRow("signature a link")
        << QByteArray("touch list; printf %s \"$SIG\" > s; ln -s s list.minisig")
        << int(Outcome::Unreadable) << "/list.minisig\" is a link, not read";
    QTest::addRow("list a pipe") << signature + "mkfifo list" << int(Outcome::Unreadable)
                                 << "/list\" is not a regular file";
}

void TestSignature::reading()
{
    QFETCH(QByteArray, script);
    QFETCH(int, outcome);
    QFETCH(QString, detail);
    QTemporaryDir dir;
    QCOMPARE(shell(dir.path(), script), 0);
    const SignedFile result = readSignedFile(dir.filePath(QStringLiteral("list")),
                                             dir.filePath(QStringLiteral("list.minisig")), {}, 10);
    QCOMPARE(int(result.verification.outcome), outcome);
    QVERIFY2(result.verification.detail.contains(detail), qPrintable(result.verification.detail));
}

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
