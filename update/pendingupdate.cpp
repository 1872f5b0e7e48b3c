#include "pendingupdate.h"

#include "beneath.h"
#include "devicefiles.h"
#include "journal.h"
#include "leftovers.h"
#include "places.h"
#include "posixfs.h"
#include "treeremoval.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace corvane::update {

namespace {

constexpr char kLog[] = "Update:";
const QByteArray kMagic = "corvane-pending 1";
constexpr qint64 kMaxRecord = qint64(1024) * 1024;
constexpr qint64 kMaxHistory = qint64(256) * 1024;
constexpr int kHistoryLines = 200;
constexpr qint64 kMaxJournal = qint64(64) * 1024 * 1024;
// Below cleared/: entries moved as a whole, under their percent-encoded path, and files
// moved out of folders that stay, under their own path.
constexpr char kWhole[] = "whole";
constexpr char kFiles[] = "files";

const char *stateName(PendingRecord::State state)
{
    switch (state) {
    case PendingRecord::State::Held:
        return "held";
    case PendingRecord::State::Confirmed:
        return "confirmed";
    case PendingRecord::State::FallingBack:
        return "fallback";
    }
    return "";
}

const char *versionRecordName(PendingRecord::VersionRecord kind)
{
    switch (kind) {
    case PendingRecord::VersionRecord::Kept:
        return "kept";
    case PendingRecord::VersionRecord::Held:
        return "held";
    case PendingRecord::VersionRecord::None:
        return "none";
    }
    return "";
}

// A text field: "-" for empty, else percent-encoded (no blanks, no line feeds).
QByteArray field(const QByteArray &text)
{
    return text.isEmpty() ? QByteArray("-") : text.toPercentEncoding();
}

bool parseField(const QByteArray &text, QByteArray *out)
{
    if (text == "-") {
        out->clear();
        return true;
    }
    *out = QByteArray::fromPercentEncoding(text);
    return !out->isEmpty() && out->toPercentEncoding() == text;
}

bool parseCount(const QByteArray &text, qint64 *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && QByteArray::number(*value) == text;
}

bool exists(int dirFd, const char *name)
{
    struct stat st;
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The mark a decision's steps share: flushed folder after a rename or removal in it.
bool flushed(int dirFd)
{
    return ::fsync(dirFd) == 0;
}

// Opens (making it when missing) the folder `path` below dirFd, one level at a time,
// never through a link; -1 with errno set.
int makeFolders(int dirFd, const QByteArray &path)
{
    UniqueFd current(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (path.isEmpty())
        return current.release();
    for (const QByteArray &part : path.split('/')) {
        if (::mkdirat(current.get(), part.constData(), 0700) != 0 && errno != EEXIST)
            return -1;
        const int next = ::openat(current.get(), part.constData(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return -1;
        current.reset(next);
    }
    return current.release();
}

QString historyStamp()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

// Lines of the history, each "<n> <text>".
QList<QByteArray> historyLines(const WorkFolder &w)
{
    QByteArray text;
    if (!readSmallFileAt(w.fd(), kHistoryName, kMaxHistory, &text))
        return {};
    QList<QByteArray> lines = text.split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

qint64 numberOf(const QByteArray &line)
{
    qint64 n = 0;
    return parseCount(line.left(line.indexOf(' ')), &n) ? n : 0;
}

bool restoreVersionRecord(const WorkFolder &w, PendingRecord::VersionRecord kind)
{
    using corvane::device::installedVersionName;
    if (kind == PendingRecord::VersionRecord::Kept)
        return true;
    bool ok = true;
    if (kind == PendingRecord::VersionRecord::Held) {
        // Gone already: put back by a start that a cut interrupted afterwards.
        if (::renameat(w.fd(), kHeldVersionName, w.fd(), installedVersionName) != 0
            && errno != ENOENT)
            ok = false;
    } else if (::unlinkat(w.fd(), installedVersionName, 0) != 0 && errno != ENOENT) {
        ok = false;
    }
    if (ok && flushed(w.fd()))
        return true;
    logFailure(kLog, "restoring of the installed version in", w.work, errno);
    return false;
}

void restoreFolderTimes(const WorkFolder &w, const std::vector<FolderTimes> &folders)
{
    Places places(w.baseFd());
    QByteArray name;
    for (const FolderTimes &f : folders) {
        int at = w.baseFd();
        const char *entry = ".";
        if (!f.path.isEmpty()) {
            at = places.parent(f.path, &name);
            entry = name.constData();
        }
        // A folder that is gone or cannot be reached keeps whatever times it has.
        if (at >= 0 && ::utimensat(at, entry, f.times, AT_SYMLINK_NOFOLLOW) != 0 && errno != ENOENT)
            logFailure(kLog, "restoring the times of", join(w.base, f.path), errno);
    }
}

// The entries of the held switch, or of the journal a fallback made of it.
bool readSwitch(const WorkFolder &w, const char *name, const QStringList &targets,
                std::vector<SwitchEntry> *entries)
{
    QByteArray text;
    if (!readSmallFileAt(w.fd(), name, kMaxJournal, &text)) {
        logFailure(kLog, "reading of", join(w.work, name), errno);
        return false;
    }
    QList<QByteArray> places;
    for (const QString &target : targets)
        places << w.relative(enc(target));
    if (const JournalFault fault = parseJournal(text, w.name, places, entries);
        fault != JournalFault::None) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the record of the held-back files %1 is refused "
                                             "(%2); nothing of it is done.")
                                  .arg(corvane::quotedForLog(join(w.work, name)),
                                       journalFaultText(fault));
        return false;
    }
    return true;
}

// Appends the decision's line once: a start that repeats a decision a cut interrupted
// finds it there already.
bool tell(const WorkFolder &w, const QString &text)
{
    const QList<QByteArray> lines = historyLines(w);
    if (!lines.isEmpty() && lines.last().endsWith(": " + text.toUtf8()))
        return true;
    return appendHistory(w, text);
}

bool removeRecord(const WorkFolder &w)
{
    if (::unlinkat(w.fd(), kPendingName, 0) == 0 || errno == ENOENT)
        return true;
    logFailure(kLog, "removal of", join(w.work, kPendingName), errno);
    return false;
}

} // namespace

QByteArray pendingText(const PendingRecord &r)
{
    QByteArray body = "state " + QByteArray(stateName(r.state)) + '\n';
    body += "since " + QByteArray::number(r.since) + '\n';
    body += "starts " + QByteArray::number(r.starts) + '\n';
    body += "from " + field(r.from) + '\n';
    body += "to " + field(r.to) + '\n';
    body += "version-record " + QByteArray(versionRecordName(r.versionRecord)) + '\n';
    body += "reason " + field(r.reason.toUtf8()) + '\n';
    for (const FolderTimes &f : r.folders)
        body += "folder " + field(journalPath(f.path)) + ' ' + journalTime(f.times[0]) + ' '
            + journalTime(f.times[1]) + '\n';
    return kMagic + '\n' + body + "end "
        + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
}

bool parsePending(const QByteArray &text, PendingRecord *out)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 3 || !lines.last().isEmpty() || lines.first() != kMagic)
        return false;
    lines.removeLast();
    const QByteArray end = lines.takeLast();
    lines.removeFirst();
    QByteArray body;
    for (const QByteArray &line : lines)
        body += line + '\n';
    if (end != "end " + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex())
        return false;
    PendingRecord r;
    const QByteArrayList keys
        = {"state", "since", "starts", "from", "to", "version-record", "reason"};
    if (lines.size() < keys.size())
        return false;
    QByteArrayList values;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QList<QByteArray> parts = lines[i].split(' ');
        if (parts.size() != 2 || parts[0] != keys[i])
            return false;
        values << parts[1];
    }
    if (values[0] == "held")
        r.state = PendingRecord::State::Held;
    else if (values[0] == "confirmed")
        r.state = PendingRecord::State::Confirmed;
    else if (values[0] == "fallback")
        r.state = PendingRecord::State::FallingBack;
    else
        return false;
    qint64 starts = 0;
    QByteArray reason;
    if (!parseCount(values[1], &r.since) || !parseCount(values[2], &starts) || starts < 0
        || starts > 1000000 || !parseField(values[3], &r.from) || !parseField(values[4], &r.to)
        || !parseField(values[6], &reason))
        return false;
    r.starts = int(starts);
    r.reason = QString::fromUtf8(reason);
    if (values[5] == "kept")
        r.versionRecord = PendingRecord::VersionRecord::Kept;
    else if (values[5] == "held")
        r.versionRecord = PendingRecord::VersionRecord::Held;
    else if (values[5] == "none")
        r.versionRecord = PendingRecord::VersionRecord::None;
    else
        return false;
    for (qsizetype i = keys.size(); i < lines.size(); ++i) {
        const QList<QByteArray> parts = lines[i].split(' ');
        FolderTimes f;
        QByteArray encoded;
        if (parts.size() != 4 || parts[0] != "folder" || !parseField(parts[1], &encoded)
            || (!encoded.isEmpty() && !parseJournalPath(encoded, &f.path))
            || !parseJournalTime(parts[2], &f.times[0]) || !parseJournalTime(parts[3], &f.times[1]))
            return false;
        r.folders.push_back(f);
    }
    *out = r;
    return true;
}

bool isPending(const WorkFolder &w)
{
    return exists(w.fd(), kPendingName);
}

PendingRead readPending(const WorkFolder &w, PendingRecord *record)
{
    QByteArray text;
    if (!readSmallFileAt(w.fd(), kPendingName, kMaxRecord, &text)) {
        if (errno == ENOENT)
            return PendingRead::None;
        logFailure(kLog, "reading of", join(w.work, kPendingName), errno);
        return PendingRead::Damaged;
    }
    if (!parsePending(text, record)) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the record of the pending update %1 is damaged.")
                                  .arg(corvane::quotedForLog(join(w.work, kPendingName)));
        return PendingRead::Damaged;
    }
    return PendingRead::Found;
}

bool writePending(const WorkFolder &w, const PendingRecord &record)
{
    if (replaceFileAt(w.fd(), kPendingName, pendingText(record)))
        return true;
    logFailure(kLog, "writing of", join(w.work, kPendingName), errno);
    return false;
}

QString pendingVersions(const PendingRecord &record)
{
    const auto name = [](const QByteArray &v) {
        return v.isEmpty() ? QStringLiteral("unknown") : QString::fromUtf8(v);
    };
    return QStringLiteral("%1 -> %2").arg(name(record.from), name(record.to));
}

bool appendHistory(const WorkFolder &w, const QString &text)
{
    QList<QByteArray> lines = historyLines(w);
    const qint64 next = (lines.isEmpty() ? 0 : numberOf(lines.last())) + 1;
    lines << QByteArray::number(next) + ' ' + historyStamp().toUtf8() + ": "
            + text.toUtf8().replace('\n', ' ');
    while (lines.size() > kHistoryLines)
        lines.removeFirst();
    if (replaceFileAt(w.fd(), kHistoryName, lines.join('\n') + '\n'))
        return true;
    logFailure(kLog, "writing of", join(w.work, kHistoryName), errno);
    return false;
}

QStringList historyNotShown(const WorkFolder &w, qint64 *last)
{
    QByteArray text;
    qint64 shown = 0;
    if (readSmallFileAt(w.fd(), kHistoryShownName, 64, &text))
        parseCount(text.trimmed(), &shown);
    QStringList result;
    *last = shown;
    for (const QByteArray &line : historyLines(w)) {
        const qint64 n = numberOf(line);
        if (n > shown) {
            result << QString::fromUtf8(line.mid(line.indexOf(' ') + 1));
            *last = n;
        }
    }
    return result;
}

bool markHistoryShown(const WorkFolder &w, qint64 last)
{
    return replaceFileAt(w.fd(), kHistoryShownName, QByteArray::number(last) + '\n');
}

ClearedFiles::ClearedFiles(const WorkFolder &w)
    : m_w(w)
{
}

void ClearedFiles::noteFolder(int fd, const QByteArray &relative)
{
    for (const FolderTimes &f : m_touched) {
        if (f.path == relative)
            return;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0)
        m_touched.push_back({relative, {st.st_atim, st.st_mtim}});
}

bool ClearedFiles::moveOut(int parentFd, const QByteArray &name, const QByteArray &relative)
{
    const qsizetype slash = relative.lastIndexOf('/');
    noteFolder(parentFd, slash < 0 ? QByteArray() : relative.left(slash));
    const UniqueFd into(makeFolders(m_w.fd(),
                                    QByteArray(kClearedName) + '/' + kFiles
                                        + (slash < 0 ? QByteArray() : '/' + relative.left(slash))));
    return into.isValid()
        && ::renameat(parentFd, name.constData(), into.get(), name.constData()) == 0;
}

bool ClearedFiles::holdBack(const QByteArray &relative, const std::function<void(int)> &report)
{
    UniqueFd parent;
    QByteArray name;
    struct stat st;
    if (!openParentBeneath(m_w.baseFd(), relative, &parent, &name)
        || ::fstatat(parent.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        report(errno);
        return false;
    }
    const qsizetype slash = relative.lastIndexOf('/');
    noteFolder(parent.get(), slash < 0 ? QByteArray() : relative.left(slash));
    const UniqueFd into(makeFolders(m_w.fd(), QByteArray(kClearedName) + '/' + kWhole));
    bool moved = into.isValid()
        && ::renameat(parent.get(), name.constData(), into.get(),
                      relative.toPercentEncoding().constData())
            == 0;
    // On a file system of its own it cannot be held back: removed, as it always was.
    if (!moved && errno == EXDEV)
        moved = removeEntryAt(parent.get(), name, join(m_w.base, relative));
    report(moved ? 0 : errno);
    return moved;
}

bool ClearedFiles::holdBackMatching(const QByteArray &relativeFolder, const QByteArray &wildcard,
                                    const std::function<void(const QByteArray &, int)> &report)
{
    const UniqueFd folder(openBeneath(m_w.baseFd(), relativeFolder, O_RDONLY | O_DIRECTORY));
    if (!folder.isValid()) {
        if (errno == ENOENT)
            return true;
        if (errno == ELOOP || errno == ENOTDIR) {
            qDebug().noquote() << kLog << corvane::quotedForLog(join(m_w.base, relativeFolder))
                               << "is a symbolic link or no folder; not followed, nothing held "
                                  "back";
            return true;
        }
        logFailure(kLog, "opening of", join(m_w.base, relativeFolder), errno);
        return false;
    }
    return walk(folder.get(), relativeFolder,
                [&](int dirFd, const char *name, const QByteArray &path) {
                    if (!matchesWildcard(QByteArray(name), wildcard))
                        return true;
                    bool moved = moveOut(dirFd, name, path);
                    if (!moved && errno == EXDEV)
                        moved = ::unlinkat(dirFd, name, 0) == 0;
                    report(join(m_w.base, path), moved ? 0 : errno);
                    return moved;
                },
                {});
}

namespace {

// Puts the files of cleared/files/<relative> back into the folder of the same path.
bool restoreFiles(const WorkFolder &w, int fromFd, const QByteArray &relative, Places &places)
{
    std::vector<QByteArray> names;
    if (!listFolder(fromFd, &names)) {
        logFailure(kLog, "listing of", join(w.work, relative), errno);
        return false;
    }
    bool ok = true;
    for (const QByteArray &name : names) {
        const QByteArray target = relative.isEmpty() ? name : relative + '/' + name;
        struct stat held, there;
        if (::fstatat(fromFd, name.constData(), &held, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        QByteArray entry;
        const int at = places.parent(target, &entry);
        if (at < 0) {
            logFailure(kLog, "reaching of", join(w.base, target), errno);
            ok = false;
            continue;
        }
        const bool present = ::fstatat(at, entry.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0;
        if (S_ISDIR(held.st_mode) && present && S_ISDIR(there.st_mode)) {
            const UniqueFd sub(::openat(fromFd, name.constData(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            ok = sub.isValid() && restoreFiles(w, sub.get(), target, places) && ok;
            if (::unlinkat(fromFd, name.constData(), AT_REMOVEDIR) != 0 && errno != ENOENT)
                ok = false;
            continue;
        }
        // What the new application made in its place goes: the old one is put back.
        if (present && !removeEntryAt(at, entry, join(w.base, target)))
            ok = false;
        else if (::renameat(fromFd, name.constData(), at, entry.constData()) != 0) {
            logFailure(kLog, "putting back of", join(w.base, target), errno);
            ok = false;
        }
    }
    return ok;
}

} // namespace

bool restoreCleared(const WorkFolder &w)
{
    const UniqueFd cleared(
        ::openat(w.fd(), kClearedName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!cleared.isValid())
        return errno == ENOENT;
    Places places(w.baseFd());
    bool ok = true;
    if (const UniqueFd whole(
            ::openat(cleared.get(), kWhole, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        whole.isValid()) {
        std::vector<QByteArray> names;
        ok = listFolder(whole.get(), &names);
        for (const QByteArray &name : names) {
            const QByteArray target = QByteArray::fromPercentEncoding(name);
            QByteArray entry;
            const int at = places.parent(target, &entry);
            if (at < 0 || (!removeEntryAt(at, entry, join(w.base, target)))
                || ::renameat(whole.get(), name.constData(), at, entry.constData()) != 0) {
                logFailure(kLog, "putting back of", join(w.base, target), errno);
                ok = false;
            }
        }
    }
    if (const UniqueFd files(
            ::openat(cleared.get(), kFiles, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        files.isValid())
        ok = restoreFiles(w, files.get(), QByteArray(), places) && ok;
    // Only empty folders are left when everything went back; removed with them.
    if (ok)
        ok = removeEntryAt(w.fd(), kClearedName, join(w.work, kClearedName));
    return ok && flushed(w.fd());
}

bool undoHold(const WorkFolder &w, const PendingRecord &record)
{
    const bool ok = restoreCleared(w) && restoreVersionRecord(w, record.versionRecord);
    if (!ok)
        return false;
    restoreFolderTimes(w, record.folders);
    if (::unlinkat(w.fd(), kHeldName, 0) != 0 && errno != ENOENT)
        return false;
    if (!removeRecord(w))
        return false;
    return flushed(w.fd());
}

bool confirmPending(const WorkFolder &w, PendingRecord record, const QString &reason,
                    BackgroundRemoval *removal)
{
    if (record.state != PendingRecord::State::Confirmed) {
        record.state = PendingRecord::State::Confirmed;
        record.reason = reason;
        if (!writePending(w, record))
            return false;
    }
    tell(w, QStringLiteral("update %1 confirmed: %2").arg(pendingVersions(record), record.reason));
    // From the mark on, what is left is the old files of a finished installation.
    if (!replaceFileAt(w.fd(), kSwitchedMark, {})) {
        logFailure(kLog, "writing of the mark of a finished switch in", w.work, errno);
        return false;
    }
    if (!removeRecord(w))
        return false;
    if (!flushed(w.fd()))
        logFailure(kLog, "flush to disk of folder", w.work, errno);
    removeLeftovers(w, removal);
    return true;
}

bool fallBack(const WorkFolder &w, const QStringList &targets, PendingRecord record,
              const QString &reason, BackgroundRemoval *removal)
{
    if (record.state != PendingRecord::State::FallingBack) {
        record.state = PendingRecord::State::FallingBack;
        record.reason = reason;
        if (!writePending(w, record))
            return false;
    }
    // The cleared files and the version record first: the undone switch removes whatever
    // the work folder then holds of the update.
    if (!restoreCleared(w) || !restoreVersionRecord(w, record.versionRecord))
        return false;
    if (exists(w.fd(), kHeldName)) {
        // The held switch becomes the journal of a switch being undone: a cut from here on
        // is undone further by the recovery at the next start.
        if (!replaceFileAt(w.fd(), "rollback", "rollback\n")
            || ::renameat(w.fd(), kHeldName, w.fd(), "journal") != 0 || !flushed(w.fd())) {
            logFailure(kLog, "turning the held-back files into an undo in", w.work, errno);
            return false;
        }
    }
    const bool undo = exists(w.fd(), "journal");
    if (undo) {
        std::vector<SwitchEntry> entries;
        SwitchFailure failed;
        if (!readSwitch(w, "journal", targets, &entries)
            || rollBack(w, entries, &failed, removal) != SwitchResult::RolledBack)
            return false;
    }
    restoreFolderTimes(w, record.folders);
    if (::syncfs(w.fd()) != 0)
        logFailure(kLog, "flush to disk of the fallback in", w.base, errno);
    tell(w, QStringLiteral("update %1 undone: %2").arg(pendingVersions(record), record.reason));
    if (!removeRecord(w))
        return false;
    if (!flushed(w.fd()))
        logFailure(kLog, "flush to disk of folder", w.work, errno);
    if (!undo) // else removed by the undo (staged files of a switch that never came)
        removeLeftovers(w);
    return true;
}

Settled settlePending(const WorkFolder &w, const QStringList &targets, bool countStart,
                      BackgroundRemoval *removal)
{
    Settled s;
    switch (readPending(w, &s.record)) {
    case PendingRead::None:
        return s;
    case PendingRead::Damaged:
        // Nothing tells how far it got: the device goes back to what it knew to work.
        s.record = {};
        s.record.state = PendingRecord::State::FallingBack;
        s.record.reason = QStringLiteral("the record of the pending update is damaged");
        if (exists(w.fd(), kHeldVersionName))
            s.record.versionRecord = PendingRecord::VersionRecord::Held;
        break;
    case PendingRead::Found:
        break;
    }
    using State = PendingRecord::State;
    using Outcome = Settled::Outcome;
    s.reason = s.record.reason;
    if (s.record.state == State::Confirmed) {
        s.outcome
            = confirmPending(w, s.record, s.reason, removal) ? Outcome::Confirmed : Outcome::Failed;
        return s;
    }
    if (s.record.state == State::Held && !exists(w.fd(), kHeldName) && !exists(w.fd(), "journal")) {
        // Recorded before the journal, and the switch never came: as if nothing happened.
        s.outcome = undoHold(w, s.record) ? Outcome::Unswitched : Outcome::Failed;
        if (s.outcome == Outcome::Unswitched)
            removeLeftovers(w);
        return s;
    }
    if (s.record.state == State::Held) {
        if (!countStart) {
            s.outcome = Outcome::Pending;
            return s;
        }
        ++s.record.starts;
        if (s.record.starts < kStartsBeforeFallback) {
            s.outcome = writePending(w, s.record) ? Outcome::Pending : Outcome::Failed;
            return s;
        }
        s.reason = QStringLiteral("the device started %1 times without a confirmation")
                       .arg(s.record.starts);
    }
    s.outcome
        = fallBack(w, targets, s.record, s.reason, removal) ? Outcome::FellBack : Outcome::Failed;
    return s;
}

} // namespace corvane::update
