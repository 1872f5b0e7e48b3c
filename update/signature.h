#pragma once
// Signatures of the update's list in minisign's format, verified in-process with OpenSSL:
// Ed25519 over the BLAKE2b-512 hash of the signed file, plus a second signature over the
// trusted comment. A maker signs with "minisign -S"; anyone can check by hand with
// "minisign -V". The installer reads the list once (readSignedFile), verifies it against
// the trusted keys (loadTrustedKeys) and parses exactly the bytes it verified.
//
// A public key file, as "minisign -G" writes it: two lines, each ending in LF:
//   untrusted comment: <text>
//   <base64 of "Ed", the 8-byte key id and the 32-byte Ed25519 public key>
// A signature file, as "minisign -S" writes it: four lines, each ending in LF:
//   untrusted comment: <text>
//   <base64 of "ED", the key id and the 64-byte signature of the file's BLAKE2b-512 hash>
//   trusted comment: <text>
//   <base64 of the 64-byte signature of those 64 signature bytes followed by the text>
// Base64 is the standard alphabet with "=" padding, written its one canonical way.
// Comments hold no NUL or CR; an untrusted comment has at most 1024 bytes, a trusted one
// at most 8192. The legacy signature "Ed" (the file itself signed, not its hash) is
// refused: minisign writes "ED" unless told otherwise, and a form nobody needs is one
// way in fewer.
//
// Key ids are shown as minisign shows them: 16 uppercase hex digits of the id read as a
// little-endian number.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

#include <fcntl.h> // AT_FDCWD

namespace corvane::update {

inline constexpr qint64 maxSignatureBytes = qint64(16) * 1024;
inline constexpr qint64 maxPublicKeyBytes = qint64(4) * 1024;

struct PublicKey
{
    QByteArray id;  // 8 bytes
    QByteArray key; // 32 bytes
    QString file;   // where it was read, for the log
};

struct Signature
{
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes, over the BLAKE2b-512 hash of the file
    QByteArray trustedComment;  // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

// The parts of a public key or signature file, or false with what is wrong ("line 2: ...").
[[nodiscard]] bool parsePublicKey(const QByteArray &text, PublicKey *key, QString *error);
[[nodiscard]] bool parseSignature(const QByteArray &text, Signature *signature, QString *error);

// "88791BE109A62EA2" for the key id bytes A2 2E A6 09 E1 1B 79 88.
QString keyIdText(const QByteArray &id);

// The keys an update may be signed with. The folder holds one public key file per key
// and nothing else. Missing or empty: no keys, the caller installs unsigned (and logs it).
// Anything wrong in it (a file that is not a key, a link, a sub-folder, something other
// users may change, two different keys with one id) makes it Broken: updates are then
// refused, never installed unsigned.
struct TrustedKeys
{
    enum class State { None, Loaded, Broken };

    State state = State::None;
    std::vector<PublicKey> keys;
    QString problem; // Broken: what is wrong, naming the file
};

TrustedKeys loadTrustedKeys(const QString &folder);

struct Verification
{
    enum class Outcome {
        Valid,
        NoSignedFile,    // the signed file itself is missing
        NoSignatureFile, // the file is there, its signature is not
        MalformedSignature,
        UnknownKey, // keyId names a key that is not trusted
        BadSignature,
        BadTrustedCommentSignature,
        Unreadable, // either file could not be read (a link, too large, an I/O error)
    };

    Outcome outcome = Outcome::Unreadable;
    QString keyId;             // whenever the signature could be parsed
    QByteArray trustedComment; // Valid only
    QString detail;            // one line for the log
};

// Verifies the signature text of message against the keys.
Verification verifySignature(const QByteArray &message, const QByteArray &signatureText,
                             const std::vector<PublicKey> &keys);

struct SignedFile
{
    Verification verification;
    QByteArray content; // the verified bytes when Valid, else empty
};

// Reads a file (at most maxSize bytes) and its signature once each, never through a
// link, and verifies them: what is parsed afterwards is what was verified. With dirFd, both
// are the last components of their paths, read below that open folder (the paths name
// them in log lines).
SignedFile readSignedFile(const QString &path, const QString &signaturePath,
                          const std::vector<PublicKey> &keys, qint64 maxSize, int dirFd = AT_FDCWD);

enum class ReadStatus { Ok, Missing, Failed };

// A regular file's content, read without following a link in its place and refused
// when larger than maxSize; problem says why it was not read. dirFd as above.
ReadStatus readFileNoFollow(const QString &path, qint64 maxSize, QByteArray *content,
                            QString *problem, int dirFd = AT_FDCWD);

} // namespace corvane::update
