// corvane-encrypt: prints the stored text of a password, for laying out the
// administrator settings database of a device. The password is one line of UTF-8 on
// standard input (the line feed is not part of it); the stored text goes to standard
// output. Nothing about the password is written anywhere else.

#include "aes_encryption.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char *argv[])
{
    if (argc > 1) {
        std::fprintf(
            stderr,
            "usage: %s < password-line\n"
            "Reads a password (one UTF-8 line) on standard input and prints its stored text.\n",
            argv[0]);
        return 2;
    }
    std::string line;
    // getline fails only when not even an empty line could be read.
    if (!std::getline(std::cin, line)) {
        std::fprintf(stderr, "corvane-encrypt: no password on standard input\n");
        return 1;
    }
    // A line typed on Windows ends in CR LF; the keyboard of the device cannot enter a
    // carriage return, so it is never part of a password.
    if (!line.empty() && line.back() == '\r')
        line.pop_back();

    QStringDecoder toUtf16(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless
                               | QStringDecoder::Flag::ConvertInitialBom);
    const QString password = toUtf16.decode(QByteArray::fromStdString(line));
    if (toUtf16.hasError()) {
        std::fprintf(stderr, "corvane-encrypt: the password is not UTF-8 text\n");
        return 1;
    }
    AES_Encryption aes;
    const QString stored = aes.Encrypt(password);
    if (stored.isEmpty()) {
        std::fprintf(stderr, "corvane-encrypt: encryption failed\n");
        return 1;
    }
    std::cout << stored.toStdString() << '\n';
    return std::cout.flush() ? 0 : 1;
}
