#include "aes_encryption.h"

#include "opensslfree.h"

#include <QByteArray>
#include <QDebug>
#include <QStringDecoder>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace {

constexpr int ivSize = 16;
constexpr int blockSize = 16;
constexpr int keySize = 32;
const char keyText[] = "corvane-installer-shared-key-v1";

using corvane::ssl::CipherContext;

// Wipes the bytes of plain text before the memory is handed back.
struct Wipe
{
    QByteArray &bytes;
    ~Wipe()
    {
        if (!bytes.isEmpty())
            OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
    }
};

bool sharedKey(unsigned char (&key)[keySize])
{
    unsigned int length = 0;
    return EVP_Digest(keyText, sizeof(keyText) - 1, key, &length, EVP_sha256(), nullptr) == 1
        && length == keySize;
}

// Runs the cipher over input in one go. Padding errors show as a failed final step.
bool runCipher(bool encrypt, const unsigned char *iv, const QByteArray &input, QByteArray &output)
{
    unsigned char key[keySize];
    const bool haveKey = sharedKey(key);
    const CipherContext ctx(EVP_CIPHER_CTX_new());
    bool ok = haveKey && ctx
        && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv, encrypt ? 1 : 0) == 1;
    OPENSSL_cleanse(key, sizeof(key));
    if (!ok)
        return false;
    output.resize(input.size() + blockSize);
    int written = 0;
    int finalWritten = 0;
    auto *out = reinterpret_cast<unsigned char *>(output.data());
    ok = EVP_CipherUpdate(ctx.get(), out, &written,
                          reinterpret_cast<const unsigned char *>(input.constData()),
                          int(input.size()))
            == 1
        && EVP_CipherFinal_ex(ctx.get(), out + written, &finalWritten) == 1;
    if (!ok) {
        OPENSSL_cleanse(output.data(), size_t(output.size()));
        output.clear();
        return false;
    }
    output.resize(written + finalWritten);
    return true;
}

} // namespace

AES_Encryption::AES_Encryption(QObject *parent)
    : QObject(parent)
{
}

QString AES_Encryption::Decrypt(const QString &stored)
{
    return Decrypt(stored, nullptr);
}

QString AES_Encryption::Decrypt(const QString &stored, bool *ok)
{
    m_lastDecryptFailed = true;
    if (ok)
        *ok = false;

    const auto decoded = QByteArray::fromBase64Encoding(
        stored.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    // toLatin1 turns any character outside Latin-1 into '?', which Base64 rejects.
    if (!decoded) {
        qDebug() << "AES_Encryption: stored password is not valid Base64.";
        return QString();
    }
    const QByteArray &bytes = *decoded;
    if (bytes.size() < ivSize + blockSize || (bytes.size() - ivSize) % blockSize != 0) {
        qDebug() << "AES_Encryption: stored password has a wrong length:" << bytes.size();
        return QString();
    }

    QByteArray plain;
    const Wipe wipePlain{plain};
    if (!runCipher(false, reinterpret_cast<const unsigned char *>(bytes.constData()),
                   bytes.mid(ivSize), plain)) {
        qDebug() << "AES_Encryption: stored password does not decrypt (wrong key or bad padding).";
        return QString();
    }
    // A leading U+FEFF is part of the password, not a byte order mark.
    QStringDecoder toUtf16(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless
                               | QStringDecoder::Flag::ConvertInitialBom);
    QString password = toUtf16.decode(plain);
    if (toUtf16.hasError()) {
        password.fill(QChar(0));
        qDebug() << "AES_Encryption: stored password is not UTF-8 text.";
        return QString();
    }
    m_lastDecryptFailed = false;
    if (ok)
        *ok = true;
    return password;
}

QString AES_Encryption::Encrypt(const QString &password)
{
    unsigned char iv[ivSize];
    if (RAND_bytes(iv, ivSize) != 1) {
        qDebug() << "AES_Encryption: no random IV available.";
        return QString();
    }
    QByteArray plain = password.toUtf8();
    const Wipe wipePlain{plain};
    QByteArray cipher;
    if (!runCipher(true, iv, plain, cipher)) {
        qDebug() << "AES_Encryption: encryption failed.";
        return QString();
    }
    const QByteArray stored = QByteArray(reinterpret_cast<const char *>(iv), ivSize) + cipher;
    return QString::fromLatin1(stored.toBase64());
}
