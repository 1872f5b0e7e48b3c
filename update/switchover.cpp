#include "switchover.h"

#include "leftovers.h"
#include "pendingupdate.h"
#include "places.h"
#include "posixfs.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {

constexpr char kLog[] = "Update:";

// The first failure of a switch is the one reported.
void note(SwitchFailure *failed, const QByteArray &path, int error)
{
    if (failed && failed->second == 0)
        *failed = {path, error};
}

class Switcher
{
public:
    explicit Switcher(const WorkFolder &w)
        : m_w(w)
        , m_places(w.baseFd())
    {
    }

    // Reaches every folder the entries need before anything is renamed: one that cannot be
    // reached (without a link) refuses the whole switch (*failed names it).
    bool reach(const std::vector<SwitchEntry> &entries, SwitchFailure *failed)
    {
        // The work area's own folders, should they have gone (cleared by hand); a switch of
        // times alone needs none.
        const bool staged = std::any_of(entries.begin(), entries.end(), [](const SwitchEntry &e) {
            return e.kind != SwitchEntry::Kind::Times;
        });
        for (const char *folder : {"staging", "old"}) {
            if (!staged)
                break;
            if (::mkdirat(m_w.fd(), folder, 0700) != 0 && errno != EEXIST) {
                const int error = errno;
                logFailure(kLog, "creation of folder", join(m_w.work, folder), error);
                note(failed, join(m_w.name, folder), error);
                return false;
            }
        }
        QByteArray name;
        for (const SwitchEntry &e : entries) {
            for (const QByteArray *path : {&e.staged, &e.final, &e.old}) {
                // Only the names the entry's kind uses are set.
                if (!path->isEmpty() && m_places.parent(*path, &name) < 0) {
                    const int error = errno;
                    // The reason as it is: a descriptor limit is no link.
                    const QString how = error == ELOOP || error == ENOTDIR
                        ? QStringLiteral("cannot be reached without following a link")
                        : QStringLiteral("cannot be reached");
                    qDebug().noquote()
                        << kLog
                        << QStringLiteral("%1 %2 (%3): nothing of the switch is done.")
                               .arg(corvane::quotedForLog(host(*path)), how, errorText(error));
                    note(failed, *path, error);
                    return false;
                }
            }
        }
        return true;
    }

    bool exists(const QByteArray &path) { return m_places.exists(path); }

    // Whether the entry at path is the one with that inode number.
    bool isInode(const QByteArray &path, quint64 inode)
    {
        struct stat st;
        return m_places.stat(path, &st) && quint64(st.st_ino) == inode;
    }

    // A step's outcome; a failure is logged (what() words the step), errno kept.
    template <typename What>
    bool logged(bool done, const What &what)
    {
        if (done)
            return true;
        const int error = errno;
        qDebug().noquote() << kLog << what() << "failed:" << errorText(error);
        errno = error;
        return false;
    }

    QString quoted(const QByteArray &path) const { return corvane::quotedForLog(host(path)); }

    bool exchanged(const QByteArray &a, const QByteArray &b)
    {
        return logged(m_places.exchange(a, b), [&] {
            return QStringLiteral("exchanging %1 and %2").arg(quoted(a), quoted(b));
        });
    }

    bool timesSet(const QByteArray &path, const timespec times[2])
    {
        return logged(m_places.setTimes(path, times),
                      [&] { return QStringLiteral("setting the times of %1").arg(quoted(path)); });
    }

    bool renamed(const QByteArray &from, const QByteArray &to)
    {
        return logged(m_places.rename(from, to), [&] {
            return QStringLiteral("moving %1 to %2").arg(quoted(from), quoted(to));
        });
    }

    // One step of an entry towards its end state. fresh: the entry is in its first state.
    bool apply(const SwitchEntry &s, bool fresh)
    {
        switch (s.kind) {
        case SwitchEntry::Kind::Times:
            return timesSet(s.final, s.times);
        case SwitchEntry::Kind::Swap:
            if (fresh)
                return exchanged(s.staged, s.final);
            if (isInode(s.final, s.inode))
                return true;
            // The installed entry gone meanwhile (by hand): the staged one simply goes there.
            return exists(s.final) ? exchanged(s.staged, s.final) : renamed(s.staged, s.final);
        case SwitchEntry::Kind::New:
            return (!fresh && !exists(s.staged)) || renamed(s.staged, s.final);
        case SwitchEntry::Kind::Aside:
            break;
        }
        if (fresh)
            return renamed(s.final, s.old) && renamed(s.staged, s.final);
        if (!exists(s.staged))
            return true;
        if (exists(s.final) && !exists(s.old) && !renamed(s.final, s.old))
            return false;
        return renamed(s.staged, s.final);
    }

    bool undo(const SwitchEntry &s)
    {
        switch (s.kind) {
        case SwitchEntry::Kind::Times:
            return timesSet(s.final, s.oldTimes);
        case SwitchEntry::Kind::Swap:
            if (!isInode(s.final, s.inode))
                return true;
            return exists(s.staged) ? exchanged(s.staged, s.final) : renamed(s.final, s.staged);
        case SwitchEntry::Kind::New:
        case SwitchEntry::Kind::Aside:
            break;
        }
        if (!exists(s.staged) && exists(s.final) && !renamed(s.final, s.staged))
            return false;
        if (s.kind == SwitchEntry::Kind::Aside && exists(s.old) && !exists(s.final))
            return renamed(s.old, s.final);
        return true;
    }

    QByteArray host(const QByteArray &path) const { return join(m_w.base, path); }

private:
    const WorkFolder &m_w;
    Places m_places;
};

// Ends a switch whose entries are all in one direction's end state: flush them, then
// remove the journal (from then on a power cut needs nothing), then the leftovers. A
// switch that went forward leaves its mark first, so that the next start can tell the
// replaced files of a finished installation, should they stay, from staged ones.
bool finishSwitch(const WorkFolder &w, bool forward, bool hold, BackgroundRemoval *removal,
                  SwitchFailure *failed)
{
    if (::syncfs(w.fd()) != 0) {
        const int error = errno;
        logFailure(kLog, "flush to disk of the switch in", w.base, error);
        note(failed, QByteArray(), error);
        return false;
    }
    if (forward && hold) {
        // One rename: the journal of a switch to finish becomes the record of what to undo.
        if (::renameat(w.fd(), "journal", w.fd(), corvane::update::kHeldName) != 0
            || ::fsync(w.fd()) != 0) {
            const int error = errno;
            logFailure(kLog, "keeping of the replaced entries in", w.work, error);
            note(failed, w.relative(w.journal), error);
            return false;
        }
        return true;
    }
    struct stat st;
    const bool leftovers = ::fstatat(w.fd(), "staging", &st, AT_SYMLINK_NOFOLLOW) == 0
        || ::fstatat(w.fd(), "old", &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (forward && leftovers && !replaceFileAt(w.fd(), kSwitchedMark, {}))
        logFailure(kLog, "writing of the mark of a finished switch in", w.work, errno);
    if (::unlinkat(w.fd(), "journal", 0) != 0 && errno != ENOENT) {
        const int error = errno;
        logFailure(kLog, "removal of", w.journal, error);
        note(failed, w.relative(w.journal), error);
        return false;
    }
    if (::fsync(w.fd()) != 0) {
        // The journal's removal may not be on disk: a cut could bring it back, and its
        // replay needs the entries it names. They stay until a start finds no journal.
        logFailure(kLog, "flush to disk of folder", w.work, errno);
        return true;
    }
    removeLeftovers(w, removal);
    return true;
}

SwitchResult undoAll(const WorkFolder &w, Switcher &switcher,
                     const std::vector<SwitchEntry> &entries, SwitchFailure *failed,
                     BackgroundRemoval *removal = nullptr)
{
    if (!replaceFileAt(w.fd(), "rollback", "rollback\n"))
        logFailure(kLog, "writing of", w.rollback, errno);
    bool ok = true;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (!switcher.undo(*it)) {
            note(failed, it->final, errno);
            ok = false;
        }
    }
    return ok && finishSwitch(w, false, false, removal, failed) ? SwitchResult::RolledBack
                                                                : SwitchResult::Stuck;
}

} // namespace

SwitchResult rollBack(const WorkFolder &w, const std::vector<SwitchEntry> &entries,
                      SwitchFailure *failed, BackgroundRemoval *removal)
{
    Switcher switcher(w);
    if (!switcher.reach(entries, failed))
        return SwitchResult::Refused;
    return undoAll(w, switcher, entries, failed, removal);
}

SwitchResult switchAll(const WorkFolder &w, const std::vector<SwitchEntry> &entries, bool fresh,
                       BackgroundRemoval *removal, SwitchFailure *failed, bool hold)
{
    Switcher switcher(w);
    if (!switcher.reach(entries, failed))
        return SwitchResult::Refused;
    for (const SwitchEntry &s : entries) {
        if (!switcher.apply(s, fresh)) {
            note(failed, s.final, errno);
            return undoAll(w, switcher, entries, failed);
        }
    }
    return finishSwitch(w, true, hold, removal, failed) ? SwitchResult::Done : SwitchResult::Stuck;
}
