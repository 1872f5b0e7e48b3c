#include "switchover.h"

#include "leftovers.h"
#include "posixfs.h"

#include <QDebug>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {

constexpr char kLog[] = "Update:";

bool makeFolders(const QByteArray &folder)
{
    if (lexists(folder))
        return true;
    return makeFolders(parentOf(folder))
        && (::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST);
}

bool renamed(const QByteArray &from, const QByteArray &to)
{
    if (::rename(from.constData(), to.constData()) == 0)
        return true;
    // A folder of the work area that went missing (cleared by hand) is made again.
    if (errno == ENOENT && lexists(from) && !lexists(parentOf(to)) && makeFolders(parentOf(to))
        && ::rename(from.constData(), to.constData()) == 0)
        return true;
    const int error = errno;
    qDebug() << kLog << "moving" << dec(from) << "to" << dec(to) << "failed:" << errorText(error);
    errno = error;
    return false;
}

// One step of an entry towards its end state.
bool apply(const SwitchEntry &s, bool fresh)
{
    if (fresh)
        return (s.old.isEmpty() || renamed(s.final, s.old)) && renamed(s.staged, s.final);
    if (!lexists(s.staged))
        return true;
    if (!s.old.isEmpty() && lexists(s.final) && !lexists(s.old) && !renamed(s.final, s.old))
        return false;
    return renamed(s.staged, s.final);
}

bool undo(const SwitchEntry &s)
{
    if (!lexists(s.staged) && lexists(s.final) && !renamed(s.final, s.staged))
        return false;
    if (!s.old.isEmpty() && lexists(s.old) && !lexists(s.final))
        return renamed(s.old, s.final);
    return true;
}

// Ends a switch whose entries are all in one direction's end state: flush them, then
// remove the journal (from then on a power cut needs nothing), then the leftovers.
bool finishSwitch(const WorkFolder &w, BackgroundRemoval *removal)
{
    if (!syncFolder(w.work, true)) {
        logFailure(kLog, "flush to disk of the switch in", w.base, errno);
        return false;
    }
    if (::unlink(w.journal.constData()) != 0 && errno != ENOENT) {
        logFailure(kLog, "removal of", w.journal, errno);
        return false;
    }
    if (!syncFolder(w.work))
        logFailure(kLog, "flush to disk of folder", w.work, errno);
    if (removal)
        removal->start(w);
    else
        removeLeftovers(w);
    return true;
}

} // namespace

bool rollBack(const WorkFolder &w, const std::vector<SwitchEntry> &entries)
{
    if (!writeFlushed(w.rollback, "rollback\n") || !syncFolder(w.work))
        logFailure(kLog, "writing of", w.rollback, errno);
    bool ok = true;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
        ok = undo(*it) && ok;
    return ok && finishSwitch(w, nullptr);
}

SwitchResult switchAll(const WorkFolder &w, const std::vector<SwitchEntry> &entries, bool fresh,
                       BackgroundRemoval *removal, std::pair<QByteArray, int> *failed)
{
    for (const SwitchEntry &s : entries) {
        if (!apply(s, fresh)) {
            if (failed)
                *failed = {s.final, errno};
            return rollBack(w, entries) ? SwitchResult::RolledBack : SwitchResult::Stuck;
        }
    }
    if (finishSwitch(w, removal))
        return SwitchResult::Done;
    if (failed)
        *failed = {w.base, errno};
    return SwitchResult::Stuck;
}
