#include "journal.h"

#include "beneath.h"

#include <QCryptographicHash>
#include <QSet>

#include <climits>

namespace {

const QByteArray kMagic = "corvane-update-journal ";
constexpr qsizetype kMaxName = NAME_MAX;
constexpr qsizetype kMaxPath = PATH_MAX;

QByteArray encodePath(const QByteArray &path)
{
    return path.toPercentEncoding("/");
}

QByteArray encodeTime(const timespec &t)
{
    return QByteArray::number(qlonglong(t.tv_sec)) + '.'
        + QByteArray::number(qlonglong(t.tv_nsec)).rightJustified(9, '0');
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
    if (text.isEmpty() || text.size() > 20 || (text.size() > 1 && text.startsWith('0')))
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    bool ok = false;
    *value = text.toULongLong(&ok);
    return ok;
}

// <seconds>.<nine digits>, seconds possibly negative (before 1970).
bool parseTime(const QByteArray &text, timespec *t)
{
    const qsizetype dot = text.indexOf('.');
    const bool negative = text.startsWith('-');
    qulonglong seconds = 0;
    if (dot < 0 || text.size() - dot - 1 != 9
        || !parseNumber(text.mid(negative ? 1 : 0, dot - (negative ? 1 : 0)), &seconds)
        || seconds > qulonglong(LLONG_MAX) || (negative && seconds == 0))
        return false;
    for (const char c : text.mid(dot + 1)) {
        if (c < '0' || c > '9')
            return false;
    }
    t->tv_sec = time_t(negative ? -qlonglong(seconds) : qlonglong(seconds));
    t->tv_nsec = long(text.mid(dot + 1).toLong());
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

bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// One entry line into e; the places are checked by the caller.
JournalFault parseEntry(const QByteArray &line, int format, SwitchEntry *e)
{
    QList<QByteArray> fields = line.split(' ');
    if (format == 1) {
        // "<staged> <final> <old>": a new entry, or one set aside.
        if (fields.size() != 3)
            return JournalFault::Fields;
        e->kind = fields[2] == "-" ? SwitchEntry::Kind::New : SwitchEntry::Kind::Aside;
        if (e->kind == SwitchEntry::Kind::New)
            fields.removeLast();
        fields.prepend(e->kind == SwitchEntry::Kind::New ? "new" : "aside");
    }
    const QByteArray kind = fields.takeFirst();
    qsizetype paths = 0;
    if (kind == "new" && fields.size() == 2) {
        e->kind = SwitchEntry::Kind::New;
        paths = 2;
    } else if (kind == "swap" && fields.size() == 3) {
        e->kind = SwitchEntry::Kind::Swap;
        paths = 2;
        qulonglong inode = 0;
        if (!parseNumber(fields[2], &inode))
            return JournalFault::Encoding;
        e->inode = inode;
    } else if (kind == "aside" && fields.size() == 3) {
        e->kind = SwitchEntry::Kind::Aside;
        paths = 3;
    } else if (kind == "times" && fields.size() == 5) {
        e->kind = SwitchEntry::Kind::Times;
        timespec *order[] = {&e->times[0], &e->times[1], &e->oldTimes[0], &e->oldTimes[1]};
        for (int i = 0; i < 4; ++i) {
            if (!parseTime(fields[i + 1], order[i]))
                return JournalFault::Encoding;
        }
        QByteArray final;
        if (const JournalFault fault = decode(fields[0], &final); fault != JournalFault::None)
            return fault;
        e->final = final;
        return JournalFault::None;
    } else {
        return JournalFault::Fields;
    }
    QByteArray *targets[] = {&e->staged, &e->final, &e->old};
    for (qsizetype i = 0; i < paths; ++i) {
        if (const JournalFault fault = decode(fields[i], targets[i]); fault != JournalFault::None)
            return fault;
    }
    return JournalFault::None;
}

} // namespace

bool SwitchEntry::operator==(const SwitchEntry &other) const
{
    return kind == other.kind && staged == other.staged && final == other.final && old == other.old
        && inode == other.inode && sameTime(times[0], other.times[0])
        && sameTime(times[1], other.times[1]) && sameTime(oldTimes[0], other.oldTimes[0])
        && sameTime(oldTimes[1], other.oldTimes[1]);
}

QByteArray journalText(const std::vector<SwitchEntry> &entries)
{
    QByteArray body;
    for (const SwitchEntry &e : entries) {
        switch (e.kind) {
        case SwitchEntry::Kind::New:
            body += "new " + encodePath(e.staged) + ' ' + encodePath(e.final);
            break;
        case SwitchEntry::Kind::Swap:
            body += "swap " + encodePath(e.staged) + ' ' + encodePath(e.final) + ' '
                + QByteArray::number(e.inode);
            break;
        case SwitchEntry::Kind::Aside:
            body += "aside " + encodePath(e.staged) + ' ' + encodePath(e.final) + ' '
                + encodePath(e.old);
            break;
        case SwitchEntry::Kind::Times:
            body += "times " + encodePath(e.final) + ' ' + encodeTime(e.times[0]) + ' '
                + encodeTime(e.times[1]) + ' ' + encodeTime(e.oldTimes[0]) + ' '
                + encodeTime(e.oldTimes[1]);
            break;
        }
        body += '\n';
    }
    return kMagic + "2\n" + QByteArray::number(qulonglong(entries.size())) + '\n' + body + "end "
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
    const int format = lines.first() == kMagic + '1' ? 1 : lines.first() == kMagic + '2' ? 2 : 0;
    if (format == 0)
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
        SwitchEntry e;
        if (const JournalFault fault = parseEntry(lines.at(i), format, &e);
            fault != JournalFault::None)
            return fault;
        qulonglong n = 0, oldN = 0;
        const bool staged = e.kind != SwitchEntry::Kind::Times;
        if ((staged && !entryNumber(e.staged, stagingPrefix, &n)) || !isInstalled(e.final, targets)
            || (e.kind == SwitchEntry::Kind::Aside
                && (!entryNumber(e.old, oldPrefix, &oldN) || oldN != n)))
            return JournalFault::Place;
        if ((staged && seen.contains(e.staged)) || seen.contains(e.final))
            return JournalFault::Duplicate;
        if (staged)
            seen.insert(e.staged);
        seen.insert(e.final);
        parsed.push_back(e);
    }
    entries->insert(entries->end(), parsed.begin(), parsed.end());
    return JournalFault::None;
}

QByteArray journalTime(const timespec &t)
{
    return encodeTime(t);
}

bool parseJournalTime(const QByteArray &text, timespec *t)
{
    return parseTime(text, t);
}

QByteArray journalPath(const QByteArray &path)
{
    return encodePath(path);
}

bool parseJournalPath(const QByteArray &field, QByteArray *path)
{
    return decode(field, path) == JournalFault::None;
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
        return QStringLiteral("path or number not written as the installer writes them");
    case JournalFault::Path:
        return QStringLiteral("path leaves its folder or is too long");
    case JournalFault::Place:
        return QStringLiteral("path where the installer never puts one");
    case JournalFault::Duplicate:
        return QStringLiteral("an entry named twice");
    }
    return QString();
}
