// libFuzzer target for the minisign parsers and the verification: the input is read
// whole as a public key and as a signature, and split into a key (two lines), a
// signature (four lines) and the signed message (the rest), which is verified. A valid
// signature must name the key it was checked with and must not survive a changed byte.

#include "signature.h"

#include <cstddef>
#include <cstdint>

using namespace corvane::update;

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// The end of the first count lines of text from start, or -1.
qsizetype afterLines(const QByteArray &text, qsizetype start, int count)
{
    for (; count > 0 && start >= 0; --count) {
        start = text.indexOf('\n', start);
        start = start < 0 ? -1 : start + 1;
    }
    return start;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    PublicKey key;
    Signature signature;
    QString error;
    if (parsePublicKey(input, &key, &error))
        check(key.id.size() == 8 && key.key.size() == 32);
    if (parseSignature(input, &signature, &error))
        check(signature.signature.size() == 64 && signature.globalSignature.size() == 64);

    const qsizetype keyEnd = afterLines(input, 0, 2);
    const qsizetype signatureEnd = afterLines(input, keyEnd, 4);
    if (signatureEnd < 0 || !parsePublicKey(input.left(keyEnd), &key, &error))
        return 0;
    const QByteArray signatureText = input.mid(keyEnd, signatureEnd - keyEnd);
    const QByteArray message = input.mid(signatureEnd);
    const Verification unknown = verifySignature(message, signatureText, {});
    check(unknown.outcome != Verification::Outcome::Valid);
    const Verification result = verifySignature(message, signatureText, {key});
    if (result.outcome == Verification::Outcome::Valid) {
        check(result.keyId == keyIdText(key.id));
        QByteArray changed = message;
        changed.append('\n');
        check(verifySignature(changed, signatureText, {key}).outcome
              == Verification::Outcome::BadSignature);
    }
    return 0;
}
