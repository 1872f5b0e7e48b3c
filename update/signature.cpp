#include "signature.h"

#include "beneath.h"
#include "opensslfree.h"
#include "posixfs.h"

#include <QList>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::update {

namespace {

constexpr qsizetype keyIdBytes = 8;
constexpr qsizetype publicKeyBytes = 32;
constexpr qsizetype signatureBytes = 64;
constexpr qsizetype hashBytes = 64;
constexpr qsizetype maxUntrustedComment = 1024;
constexpr qsizetype maxTrustedComment = 8192;
constexpr char untrustedPrefix[] = "untrusted comment: ";
constexpr char trustedPrefix[] = "trusted comment: ";
constexpr char keyAlgorithm[] = "Ed";
constexpr char prehashedAlgorithm[] = "ED";

QString lineError(int line, const QString &what)
{
    return QStringLiteral("line %1: %2").arg(line).arg(what);
}

// The lines of a text in which every line ends in LF, or false with what is wrong.
bool splitLines(const QByteArray &text, qsizetype count, QList<QByteArray> *lines, QString *error)
{
    if (!text.isEmpty() && !text.endsWith('\n')) {
        *error = lineError(int(text.count('\n')) + 1, QStringLiteral("no line feed at its end"));
        return false;
    }
    *lines = text.split('\n');
    lines->removeLast(); // after the final LF
    for (qsizetype i = 0; i < lines->size(); ++i) {
        if (lines->at(i).contains('\r')) {
            *error = lineError(int(i) + 1, QStringLiteral("carriage return (lines end in LF)"));
            return false;
        }
        if (lines->at(i).contains('\0')) {
            *error = lineError(int(i) + 1, QStringLiteral("NUL byte"));
            return false;
        }
    }
    if (lines->size() != count) {
        *error = QStringLiteral("%1 lines where %2 are expected").arg(lines->size()).arg(count);
        return false;
    }
    return true;
}

bool checkComment(const QByteArray &line, const char *prefix, qsizetype maxBytes, int number,
                  QByteArray *comment, QString *error)
{
    if (!line.startsWith(prefix)) {
        *error = lineError(number,
                           QStringLiteral("does not begin with \"%1\"").arg(QLatin1String(prefix)));
        return false;
    }
    *comment = line.mid(qsizetype(qstrlen(prefix)));
    if (comment->size() > maxBytes) {
        *error = lineError(number, QStringLiteral("comment longer than %1 bytes").arg(maxBytes));
        return false;
    }
    return true;
}

// Exactly bytes bytes in canonical base64, or false.
bool decodeBase64(const QByteArray &text, qsizetype bytes, QByteArray *decoded)
{
    const QByteArray::FromBase64Result result
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != bytes || result.decoded.toBase64() != text)
        return false;
    *decoded = result.decoded;
    return true;
}

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

bool ed25519Verify(const QByteArray &publicKey, const QByteArray &message,
                   const QByteArray &signature)
{
    const corvane::ssl::Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, bytesOf(publicKey), size_t(publicKey.size())));
    const corvane::ssl::DigestContext ctx(EVP_MD_CTX_new());
    const bool ok = key && ctx
        && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1
        && EVP_DigestVerify(ctx.get(), bytesOf(signature), size_t(signature.size()),
                            bytesOf(message), size_t(message.size()))
            == 1;
    // A refused signature leaves its reason queued; nothing else should find it there.
    ERR_clear_error();
    return ok;
}

bool blake2b512(const QByteArray &data, QByteArray *digest)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.constData(), size_t(data.size()), out, &length, EVP_blake2b512(), nullptr)
            != 1
        || length != hashBytes) {
        ERR_clear_error();
        return false;
    }
    *digest = QByteArray(reinterpret_cast<const char *>(out), hashBytes);
    return true;
}

QString openProblem(const QByteArray &path, int error)
{
    if (error == ELOOP)
        return QStringLiteral("%1 is a link, not read").arg(quotedForLog(path));
    return fs::failureText("opening of", path, error);
}

Verification outcome(Verification::Outcome kind, const QString &detail, const QString &keyId = {})
{
    Verification verification;
    verification.outcome = kind;
    verification.detail = detail;
    verification.keyId = keyId;
    return verification;
}

} // namespace

bool parsePublicKey(const QByteArray &text, PublicKey *key, QString *error)
{
    if (text.size() > maxPublicKeyBytes) {
        *error = QStringLiteral("larger than %1 bytes").arg(maxPublicKeyBytes);
        return false;
    }
    QList<QByteArray> lines;
    QByteArray comment;
    if (!splitLines(text, 2, &lines, error)
        || !checkComment(lines[0], untrustedPrefix, maxUntrustedComment, 1, &comment, error))
        return false;
    QByteArray decoded;
    if (!decodeBase64(lines[1], 2 + keyIdBytes + publicKeyBytes, &decoded)) {
        *error = lineError(2,
                           QStringLiteral("not the base64 of a public key (%1 bytes)")
                               .arg(2 + keyIdBytes + publicKeyBytes));
        return false;
    }
    if (!decoded.startsWith(keyAlgorithm)) {
        *error = lineError(2, QStringLiteral("not an Ed25519 key (\"Ed\")"));
        return false;
    }
    key->id = decoded.mid(2, keyIdBytes);
    key->key = decoded.mid(2 + keyIdBytes);
    return true;
}

bool parseSignature(const QByteArray &text, Signature *signature, QString *error)
{
    if (text.size() > maxSignatureBytes) {
        *error = QStringLiteral("larger than %1 bytes").arg(maxSignatureBytes);
        return false;
    }
    QList<QByteArray> lines;
    QByteArray comment;
    if (!splitLines(text, 4, &lines, error)
        || !checkComment(lines[0], untrustedPrefix, maxUntrustedComment, 1, &comment, error))
        return false;
    QByteArray decoded;
    if (!decodeBase64(lines[1], 2 + keyIdBytes + signatureBytes, &decoded)) {
        *error = lineError(2,
                           QStringLiteral("not the base64 of a signature (%1 bytes)")
                               .arg(2 + keyIdBytes + signatureBytes));
        return false;
    }
    if (decoded.startsWith(keyAlgorithm)) {
        *error = lineError(2,
                           QStringLiteral("a legacy signature of the whole file (\"Ed\"); "
                                          "sign with minisign's default (\"ED\")"));
        return false;
    }
    if (!decoded.startsWith(prehashedAlgorithm)) {
        *error = lineError(2, QStringLiteral("unknown signature algorithm"));
        return false;
    }
    QByteArray global;
    if (!checkComment(lines[2], trustedPrefix, maxTrustedComment, 3, &comment, error))
        return false;
    if (!decodeBase64(lines[3], signatureBytes, &global)) {
        *error = lineError(
            4,
            QStringLiteral("not the base64 of a comment signature (%1 bytes)").arg(signatureBytes));
        return false;
    }
    signature->keyId = decoded.mid(2, keyIdBytes);
    signature->signature = decoded.mid(2 + keyIdBytes);
    signature->trustedComment = comment;
    signature->globalSignature = global;
    return true;
}

QString keyIdText(const QByteArray &id)
{
    // As minisign shows it: the little-endian number in upper-case hex, no leading zeros.
    QByteArray reversed(id);
    std::reverse(reversed.begin(), reversed.end());
    QByteArray hex = reversed.toHex().toUpper();
    while (hex.size() > 1 && hex.startsWith('0'))
        hex.remove(0, 1);
    return QString::fromLatin1(hex);
}

TrustedKeys loadTrustedKeys(const QString &folder)
{
    TrustedKeys trusted;
    const auto broken = [&trusted](const QString &problem) {
        trusted.state = TrustedKeys::State::Broken;
        trusted.keys.clear();
        trusted.problem = problem;
        return trusted;
    };
    const QByteArray path = fs::enc(folder);
    // Whoever may change a folder on the way could move the keys aside (no keys: updates go
    // in unsigned) or put others there: such a folder makes the keys as damaged as one of
    // their own files would.
    QString problem;
    const corvane::fs::UniqueFd dir(
        fs::openOwnedPath(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, &problem));
    if (dir.get() < 0) {
        const int error = errno;
        if (error == ENOENT)
            return trusted;
        if (!problem.isEmpty())
            return broken(QStringLiteral("%1, on the way to %2").arg(problem, quotedForLog(path)));
        // A link in the folder's place is refused as ENOTDIR or ELOOP; say which it is.
        struct stat st;
        if (error == ENOTDIR && ::lstat(path.constData(), &st) == 0 && !S_ISLNK(st.st_mode))
            return broken(QStringLiteral("%1 is not a folder").arg(quotedForLog(path)));
        return broken(openProblem(path, error == ENOTDIR ? ELOOP : error));
    }
    struct stat st;
    if (::fstat(dir.get(), &st) != 0)
        return broken(fs::failureText("stat of", path, errno));
    problem = fs::othersMayChange(st);
    if (!problem.isEmpty())
        return broken(QStringLiteral("%1 %2").arg(quotedForLog(path), problem));
    std::vector<QByteArray> names;
    if (!fs::listFolder(dir.get(), &names))
        return broken(fs::failureText("listing of", path, errno));
    std::sort(names.begin(), names.end());

    for (const QByteArray &name : names) {
        const QByteArray file = fs::join(path, name);
        QByteArray text;
        if (!fs::readSmallFileAt(dir.get(), name, maxPublicKeyBytes, &text, &st))
            return broken(fs::smallFileProblem(file, errno, maxPublicKeyBytes));
        problem = fs::othersMayChange(st);
        if (!problem.isEmpty())
            return broken(QStringLiteral("%1 %2").arg(quotedForLog(file), problem));
        PublicKey key;
        if (!parsePublicKey(text, &key, &problem))
            return broken(
                QStringLiteral("%1 is not a public key: %2").arg(quotedForLog(file), problem));
        key.file = fs::dec(file);
        const auto same
            = std::find_if(trusted.keys.begin(), trusted.keys.end(),
                           [&key](const PublicKey &other) { return other.id == key.id; });
        if (same == trusted.keys.end()) {
            trusted.keys.push_back(std::move(key));
        } else if (same->key != key.key) {
            return broken(
                QStringLiteral("%1 and %2 hold different keys with the id %3")
                    .arg(quotedForLog(fs::enc(same->file)), quotedForLog(file), keyIdText(key.id)));
        }
    }
    trusted.state = trusted.keys.empty() ? TrustedKeys::State::None : TrustedKeys::State::Loaded;
    return trusted;
}

Verification verifySignature(const QByteArray &message, const QByteArray &signatureText,
                             const std::vector<PublicKey> &keys)
{
    using Outcome = Verification::Outcome;
    Signature signature;
    QString error;
    if (!parseSignature(signatureText, &signature, &error))
        return outcome(Outcome::MalformedSignature, error);
    const QString id = keyIdText(signature.keyId);
    const auto key = std::find_if(keys.begin(), keys.end(), [&signature](const PublicKey &k) {
        return k.id == signature.keyId;
    });
    if (key == keys.end())
        return outcome(Outcome::UnknownKey,
                       QStringLiteral("signed with key %1, which is not trusted").arg(id), id);
    QByteArray digest;
    if (!blake2b512(message, &digest) || !ed25519Verify(key->key, digest, signature.signature))
        return outcome(Outcome::BadSignature,
                       QStringLiteral("the signature with key %1 does not match the file").arg(id),
                       id);
    if (!ed25519Verify(key->key, signature.signature + signature.trustedComment,
                       signature.globalSignature))
        return outcome(
            Outcome::BadTrustedCommentSignature,
            QStringLiteral("the trusted comment's signature with key %1 is not valid").arg(id), id);
    Verification valid = outcome(Outcome::Valid,
                                 QStringLiteral("signed with key %1, trusted comment: %2")
                                     .arg(id, quotedForLog(signature.trustedComment)),
                                 id);
    valid.trustedComment = signature.trustedComment;
    return valid;
}

SignedFile readSignedFile(const QString &path, const QString &signaturePath,
                          const std::vector<PublicKey> &keys, qint64 maxSize, int dirFd)
{
    using Outcome = Verification::Outcome;
    SignedFile result;
    QByteArray content;
    QString problem;
    switch (readFileNoFollow(path, maxSize, &content, &problem, dirFd)) {
    case ReadStatus::Ok:
        break;
    case ReadStatus::Missing:
        result.verification = outcome(Outcome::NoSignedFile, problem);
        return result;
    case ReadStatus::Failed:
        result.verification = outcome(Outcome::Unreadable, problem);
        return result;
    }
    QByteArray signatureText;
    switch (readFileNoFollow(signaturePath, maxSignatureBytes, &signatureText, &problem, dirFd)) {
    case ReadStatus::Ok:
        break;
    case ReadStatus::Missing:
        result.verification = outcome(Outcome::NoSignatureFile, problem);
        return result;
    case ReadStatus::Failed:
        result.verification = outcome(Outcome::Unreadable, problem);
        return result;
    }
    result.verification = verifySignature(content, signatureText, keys);
    if (result.verification.outcome == Outcome::MalformedSignature)
        result.verification.detail = QStringLiteral("%1: %2").arg(
            quotedForLog(fs::enc(signaturePath)), result.verification.detail);
    if (result.verification.outcome == Outcome::Valid)
        result.content = std::move(content);
    return result;
}

ReadStatus readFileNoFollow(const QString &path, qint64 maxSize, QByteArray *content,
                            QString *problem, int dirFd)
{
    const QByteArray file = fs::enc(path);
    const QByteArray name = dirFd == AT_FDCWD ? file : file.mid(file.lastIndexOf('/') + 1);
    if (fs::readSmallFileAt(dirFd, name, maxSize, content))
        return ReadStatus::Ok;
    const int error = errno;
    *problem = fs::smallFileProblem(file, error, maxSize);
    return error == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
}

} // namespace corvane::update
