#include "journal.h"

#include "beneath.h"

#include <QCryptographicHash>
#include <QSet>

#include <climits>

namespace {

const QByteArray kMagic = "corvane-update-journal 1";
constexpr qsizetype kMaxName = NAME_MAX;
constexpr qsizetype kMaxPath = PATH_MAX;

QByteArray encodePath(const QByteArray &path)
{
    return path.isEmpty() ? QByteArray("-") : path.toPercentEncoding("/");
}

QByteArray checksum(const QByteArray &body)
{
    return QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
}

// A relative path that stays below the folder it is relative to, and that the file
// system can hold.
bool isSoundPath(const QByteArray &path)
{
    if (path.size() > kMaxPath || !corvane::fs::isPlainRelative(path))
        return false;
    for (const QByteArray &part : path.split('/')) {
        if (part.size() > kMaxName)
            return false;
    }
    return true;
}

// A decimal number written the one way: digits only, no leading zero.
bool parseNumber(const QByteArray &text, qulonglong *value)
{
    if (text.isEmpty() || text.size() > 18 || (text.size() > 1 && text.startsWith('0')))
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    *value = text.toULongLong();
    return true;
}

// The number n of a path "<prefix><n>", or false.
bool entryNumber(const QByteArray &path, const QByteArray &prefix, qulonglong *n)
{
    return path.startsWith(prefix) && parseNumber(path.mid(prefix.size()), n);
}

// One of the installed folders, or below one.
bool isInstalled(const QByteArray &path, const QList<QByteArray> &targets)
{
    for (const QByteArray &target : targets) {
        if (path == target || path.startsWith(target + '/'))
            return true;
    }
    return false;
}

JournalFault decode(const QByteArray &field, QByteArray *path)
{
    *path = QByteArray::fromPercentEncoding(field);
    if (path->toPercentEncoding("/") != field)
        return JournalFault::Encoding;
    return isSoundPath(*path) ? JournalFault::None : JournalFault::Path;
}

} // namespace

QByteArray journalText(const std::vector<SwitchEntry> &entries)
{
    QByteArray body;
    for (const SwitchEntry &e : entries)
        body += encodePath(e.staged) + ' ' + encodePath(e.final) + ' ' + encodePath(e.old) + '\n';
    return kMagic + '\n' + QByteArray::number(qulonglong(entries.size())) + '\n' + body + "end "
        + checksum(body) + '\n';
}

JournalFault parseJournal(const QByteArray &text, const QByteArray &workName,
                          const QList<QByteArray> &targets, std::vector<SwitchEntry> *entries)
{
    if (text.isEmpty())
        return JournalFault::Empty;
    if (!text.endsWith('\n'))
        return JournalFault::Truncated;
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast(); // after the last line feed
    if (lines.first() != kMagic)
        return JournalFault::Header;
    if (lines.size() < 3 || !lines.last().startsWith("end "))
        return JournalFault::Truncated;
    qulonglong count = 0;
    if (!parseNumber(lines.at(1), &count) || count != qulonglong(lines.size() - 3))
        return JournalFault::Count;
    QByteArray body;
    for (qsizetype i = 2; i < lines.size() - 1; ++i)
        body += lines.at(i) + '\n';
    if (lines.last() != "end " + checksum(body))
        return JournalFault::Checksum;

    const QByteArray stagingPrefix = workName + "/staging/";
    const QByteArray oldPrefix = workName + "/old/";
    std::vector<SwitchEntry> parsed;
    QSet<QByteArray> seen;
    for (qsizetype i = 2; i < lines.size() - 1; ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        if (fields.size() != 3)
            return JournalFault::Fields;
        QByteArray staged, final, old;
        for (const auto &[field, path] : {std::pair{fields[0], &staged}, {fields[1], &final}}) {
            if (const JournalFault fault = decode(field, path); fault != JournalFault::None)
                return fault;
        }
        if (fields[2] != "-") {
            if (const JournalFault fault = decode(fields[2], &old); fault != JournalFault::None)
                return fault;
        }
        qulonglong n = 0, oldN = 0;
        if (!entryNumber(staged, stagingPrefix, &n) || !isInstalled(final, targets)
            || (!old.isEmpty() && (!entryNumber(old, oldPrefix, &oldN) || oldN != n)))
            return JournalFault::Place;
        if (seen.contains(staged) || seen.contains(final))
            return JournalFault::Duplicate;
        seen.insert(staged);
        seen.insert(final);
        parsed.push_back({staged, final, old});
    }
    entries->insert(entries->end(), parsed.begin(), parsed.end());
    return JournalFault::None;
}

QString journalFaultText(JournalFault fault)
{
    switch (fault) {
    case JournalFault::None:
        return QStringLiteral("sound");
    case JournalFault::Empty:
        return QStringLiteral("empty");
    case JournalFault::Header:
        return QStringLiteral("not a journal of this installer");
    case JournalFault::Count:
        return QStringLiteral("wrong number of entries");
    case JournalFault::Truncated:
        return QStringLiteral("cut short");
    case JournalFault::Checksum:
        return QStringLiteral("checksum does not match");
    case JournalFault::Fields:
        return QStringLiteral("malformed entry");
    case JournalFault::Encoding:
        return QStringLiteral("path not written as the installer writes paths");
    case JournalFault::Path:
        return QStringLiteral("path leaves its folder or is too long");
    case JournalFault::Place:
        return QStringLiteral("path where the installer never puts one");
    case JournalFault::Duplicate:
        return QStringLiteral("an entry named twice");
    }
    return QString();
}
