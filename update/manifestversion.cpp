// Versions of updates: their grammar and their order (see manifest.h).

#include "manifest.h"

#include <optional>
#include <vector>

namespace corvane::update {

namespace {

// Simple numbers of the version grammar: "0" or up to 9 digits without leading zero.
bool parseVersionNumber(const QByteArray &text, qsizetype *at, quint32 *value)
{
    qsizetype i = *at;
    quint32 number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - *at < 10) {
        number = number * 10 + quint32(text[i] - '0');
        ++i;
    }
    const qsizetype digits = i - *at;
    if (digits == 0 || digits > 9 || (digits > 1 && text[*at] == '0'))
        return false;
    *at = i;
    *value = number;
    return true;
}

struct ParsedVersion
{
    std::vector<quint32> numbers;
    bool hasSuffix = false;
    QByteArray letters;
    bool hasSuffixNumber = false;
    quint32 suffixNumber = 0;
};

std::optional<ParsedVersion> parseVersion(const QByteArray &text)
{
    ParsedVersion version;
    qsizetype i = 0;
    for (;;) {
        quint32 number = 0;
        if (version.numbers.size() == 4 || !parseVersionNumber(text, &i, &number))
            return std::nullopt;
        version.numbers.push_back(number);
        if (i < text.size() && text[i] == '.') {
            ++i;
            continue;
        }
        break;
    }
    if (i == text.size())
        return version;
    if (text[i] != '-')
        return std::nullopt;
    version.hasSuffix = true;
    for (++i; i < text.size() && text[i] >= 'a' && text[i] <= 'z'; ++i)
        version.letters += text[i];
    if (version.letters.isEmpty() || version.letters.size() > 16)
        return std::nullopt;
    if (i < text.size()) {
        version.hasSuffixNumber = true;
        if (!parseVersionNumber(text, &i, &version.suffixNumber) || i != text.size())
            return std::nullopt;
    }
    return version;
}

template <typename T>
int threeWay(const T &a, const T &b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

bool isValidVersion(const QByteArray &version)
{
    return parseVersion(version).has_value();
}

std::optional<int> compareVersions(const QByteArray &a, const QByteArray &b)
{
    const std::optional<ParsedVersion> x = parseVersion(a);
    const std::optional<ParsedVersion> y = parseVersion(b);
    if (!x || !y)
        return std::nullopt;
    for (size_t k = 0; k < std::max(x->numbers.size(), y->numbers.size()); ++k) {
        const quint32 p = k < x->numbers.size() ? x->numbers[k] : 0;
        const quint32 q = k < y->numbers.size() ? y->numbers[k] : 0;
        if (p != q)
            return threeWay(p, q);
    }
    if (x->hasSuffix != y->hasSuffix)
        return x->hasSuffix ? -1 : 1;
    if (const int letters = threeWay(x->letters, y->letters))
        return letters;
    if (x->hasSuffixNumber != y->hasSuffixNumber)
        return x->hasSuffixNumber ? 1 : -1;
    return threeWay(x->suffixNumber, y->suffixNumber);
}

} // namespace corvane::update
