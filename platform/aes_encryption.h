#pragma once
// The shared encryption of stored passwords. A password is stored as Base64 of a random
// 16-byte IV followed by the AES-256-CBC ciphertext (PKCS#7 padding) of its UTF-8 text;
// the key is the SHA-256 digest of a fixed text compiled into every program that shares
// the format. Decrypt turns a stored text back into the password, Encrypt makes one.
// Neither ever logs a password.

#include <QObject>
#include <QString>

class AES_Encryption : public QObject
{
    Q_OBJECT

public:
    explicit AES_Encryption(QObject *parent = nullptr);

    // The password of a stored text, or an empty string when the text is not a valid
    // stored password (bad Base64, wrong length, bad padding, not UTF-8). *ok, when
    // given, and lastDecryptFailed() tell such a failure from an empty password.
    QString Decrypt(const QString &stored);
    QString Decrypt(const QString &stored, bool *ok);
    bool lastDecryptFailed() const { return m_lastDecryptFailed; }

    // The stored text of a password, with a fresh random IV on every call; empty only
    // when no random IV could be had or the cipher failed.
    QString Encrypt(const QString &password);

private:
    bool m_lastDecryptFailed = false;
};
