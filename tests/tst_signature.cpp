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
    void refused_data();
    void refused();
    void minisign_data();
    void minisign();
    void trustedKeys_data();
    void trustedKeys();
    void foldersOnTheWay_data();
    void foldersOnTheWay();
    void reading_data();
    void reading();

private:
    QTemporaryDir m_keys;
    QString m_minisign;
};

void TestSignature::initTestCase()
{
    m_minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    // Two throw-away key pairs without password: A is trusted, B is not.
    if (!m_minisign.isEmpty())
        QCOMPARE(shell(m_keys.path(),
                       "minisign -G -W -p a.pub -s a.key >/dev/null"
                       " && minisign -G -W -p b.pub -s b.key >/dev/null"),
                 0);
}

void TestSignature::refused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("isKey");
    QTest::addColumn<QString>("error");

    const QByteArray line2 = kKey.mid(kKey.indexOf('\n') + 1);
    QTest::addRow("key: no final LF")
        << kKey.chopped(1) << true << "line 2: no line feed at its end";
    QTest::addRow("key: CR LF") << QByteArray(kKey).replace("\n", "\r\n") << true
                                << "line 1: carriage return";
    QTest::addRow("key: three lines") << kKey + "\n" << true << "3 lines where 2 are expected";
    QTest::addRow("key: no comment")
        << line2 + line2 << true << "line 1: does not begin with \"untrusted";
    QTest::addRow("key: long comment") << "untrusted comment: " + QByteArray(1025, 'c') + "\n"
            + line2 << true << "line 1: comment longer than 1024 bytes";
    QTest::addRow("key: not base64") << QByteArray(kKey).replace(line2.left(4), "R*Q=") << true
                                     << "line 2: not the base64 of a public key (42 bytes)";
    QTest::addRow("key: short key") << keyFile("Ed" + kId + QByteArray(31, 'k')) << true
                                    << "line 2: not the base64 of a public key";
    QTest::addRow("key: signature algorithm")
        << keyFile("ED" + kId + QByteArray(32, 'k')) << true << "line 2: not an Ed25519 key";
    QTest::addRow("key: too large") << QByteArray(4097, 'x') << true << "larger than 4096 bytes";

    QByteArray slack = kSignature;
    const qsizetype pad = slack.indexOf('=');
    slack[pad - 1] = char(slack[pad - 1] + 1); // the same bytes, with a stray bit set
    QTest::addRow("signature: empty") << QByteArray() << false << "0 lines where 4 are expected";
    QTest::addRow("signature: legacy") << signatureFile("Ed" + kId + QByteArray(64, 's')) << false
                                       << "line 2: a legacy signature of the whole file";
    QTest::addRow("signature: unknown algorithm") << signatureFile("XY" + kId + QByteArray(64, 's'))
                                                  << false << "line 2: unknown signature algorithm";
    QTest::addRow("signature: short signature")
        << signatureFile("ED" + kId + QByteArray(63, 's')) << false
        << "line 2: not the base64 of a signature (74 bytes)";
    QTest::addRow("signature: base64 not canonical")
        << slack << false << "line 2: not the base64 of a signature";
    QTest::addRow("signature: blank in base64")
        << QByteArray(kSignature).insert(kSignature.indexOf('\n') + 9, ' ') << false
        << "line 2: not the base64";
    QTest::addRow("signature: no trusted comment")
        << QByteArray(kSignature).replace("\ntrusted comment: ", "\n") << false
        << "line 3: does not begin with \"trusted comment: \"";
    QTest::addRow("signature: long trusted comment")
        << signatureFile("ED" + kId + QByteArray(64, 's'), QByteArray(8193, 'c')) << false
        << "line 3: comment longer than 8192 bytes";
    QTest::addRow("signature: NUL in trusted comment")
        << signatureFile("ED" + kId + QByteArray(64, 's'), QByteArray("a\0b", 3)) << false
        << "line 3: NUL byte";
    QTest::addRow("signature: short comment signature")
        << signatureFile("ED" + kId + QByteArray(64, 's'), kComment, QByteArray(63, 'g')) << false
        << "line 4: not the base64 of a comment signature (64 bytes)";
    QTest::addRow("signature: line missing")
        << kSignature.left(kSignature.lastIndexOf('\n', -2) + 1) << false
        << "3 lines where 4 are expected";
    QTest::addRow("signature: too large")
        << kSignature + QByteArray(16384, '\n') << false << "larger than 16384 bytes";
}

void TestSignature::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, isKey);
    QFETCH(QString, error);
    PublicKey key;
    Signature signature;
    QString found;
    QVERIFY(parsePublicKey(kKey, &key, &found) && parseSignature(kSignature, &signature, &found));
    QCOMPARE(keyIdText(key.id), QStringLiteral("88791BE109A62EA2"));
    QCOMPARE(signature.trustedComment, kComment);
    QVERIFY(isKey ? !parsePublicKey(text, &key, &found)
                  : !parseSignature(text, &signature, &found));
    QVERIFY2(found.contains(error), qPrintable(found));
}

void TestSignature::minisign_data()
{
    QTest::addColumn<QByteArray>("script"); // signs update.manifest with "sign KEY", tampers
    QTest::addColumn<QString>("trusted");   // a, a-id-with-b-key or none
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("detail");

    QTest::addRow("valid") << QByteArray("sign a") << "a" << int(Outcome::Valid)
                           << "signed with key {a}, trusted comment: \"corvane test\\x09ok\"";
    QTest::addRow("changed byte in the list")
        << QByteArray("sign a; sed -i s/2.4.1/2.4.2/ update.manifest") << "a"
        << int(Outcome::BadSignature) << "the signature with key {a} does not match";
    QTest::addRow("edited trusted comment")
        << QByteArray("sign a; sed -i 's/^trusted comment: corvane/&X/' update.manifest.minisig")
        << "a" << int(Outcome::BadTrustedCommentSignature)
        << "the trusted comment's signature with key {a}";
    QTest::addRow("truncated signature")
        << QByteArray("sign a; truncate -s -10 update.manifest.minisig") << "a"
        << int(Outcome::MalformedSignature) << "update.manifest.minisig\": line 4: no line feed";
    QTest::addRow("unknown key") << QByteArray("sign b") << "a" << int(Outcome::UnknownKey)
                                 << "signed with key {b}, which is not trusted";
    QTest::addRow("wrong key under the id") << QByteArray("sign a") << "a-id-with-b-key"
                                            << int(Outcome::BadSignature) << "does not match";
    QTest::addRow("no trusted key")
        << QByteArray("sign a") << "none" << int(Outcome::UnknownKey) << "{a}";
    QTest::addRow("legacy signature")
        << QByteArray("sign a -l") << "a" << int(Outcome::MalformedSignature) << "line 2: a legacy";
}

void TestSignature::minisign()
{
    QFETCH(QByteArray, script);
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
    if (trusted == "a")
        trustedKeys.push_back(keys["a"]);
    if (trusted == "a-id-with-b-key")
        trustedKeys.push_back(PublicKey{keys["a"].id, keys["b"].key, {}});

    QTemporaryDir dir;
    const QByteArray content = "corvane-update-manifest 1\nversion 2.4.1\n";
    QCOMPARE(shell(dir.path(),
                   "printf 'corvane-update-manifest 1\\nversion 2.4.1\\n' > update.manifest;"
                   " sign() { key=$1; shift; minisign -S -s '"
                       + QFile::encodeName(m_keys.path())
                       + "'/$key.key -m update.manifest"
                         " -t \"$(printf 'corvane test\\tok')\" \"$@\" >/dev/null; }; "
                       + script),
             0);
    const QString list = dir.filePath(QStringLiteral("update.manifest"));
    const SignedFile result = readSignedFile(list, list + ".minisig", trustedKeys, 1024);
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

void TestSignature::foldersOnTheWay_data()
{
    QTest::addColumn<QByteArray>("script"); // lays out "etc/keys/a.pub" and what is around it
    QTest::addColumn<QString>("folder");    // the keys folder, relative to the test's folder
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("problem");

    const int loaded = int(TrustedKeys::State::Loaded);
    const int broken = int(TrustedKeys::State::Broken);
    const QByteArray keys = "mkdir -p etc/keys; printf %s \"$KEY\" > etc/keys/a.pub; ";
    QTest::addRow("root's") << keys << "etc/keys" << loaded << QString();
    QTest::addRow("parent others may write")
        << keys + "chmod 777 etc"
        << "etc/keys" << broken
        << "/etc\" can be changed by other users (mode 0777), on the way to";
    QTest::addRow("parent of a user") << keys + "chown 65534 etc"
                                      << "etc/keys" << broken << "/etc\" belongs to user 65534";
    QTest::addRow("grandparent others may write") << keys + "chmod 777 ."
                                                  << "etc/keys" << broken << "(mode 0777)";
    // A user may add names to a sticky folder, but not rename root's.
    QTest::addRow("sticky parent") << keys + "chmod 1777 etc"
                                   << "etc/keys" << loaded << QString();
    QTest::addRow("root's link on the way") << keys + "ln -s etc conf"
                                            << "conf/keys" << loaded << QString();
    QTest::addRow("user's link on the way")
        << keys + "chmod 1777 .; ln -s etc conf; chown -h 65534 conf"
        << "conf/keys" << broken << "/conf\" is a link of user 65534";
    // Where a user could put the keys' folder, its absence proves nothing either.
    QTest::addRow("missing below a folder others may write")
        << QByteArray("mkdir etc; chmod 777 etc") << "etc/keys" << broken << "(mode 0777)";
}

void TestSignature::foldersOnTheWay()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, folder);
    QFETCH(int, state);
    QFETCH(QString, problem);
    if (::geteuid() != 0)
        QSKIP("only root can give a file to another user");
    QTemporaryDir dir;
    QCOMPARE(shell(dir.path(), script), 0);
    const TrustedKeys keys = loadTrustedKeys(dir.filePath(folder));
    QCOMPARE(int(keys.state), state);
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
