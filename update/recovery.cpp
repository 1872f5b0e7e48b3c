// What the installer does at every start, before anything else: an installation that a
// power cut or a crash interrupted is completed or undone.

#include "journal.h"
#include "leftovers.h"
#include "posixfs.h"
#include "switchover.h"
#include "updatetransaction.h"
#include "workfolder.h"

#include <QDebug>

#include <fcntl.h>
#include <sys/stat.h>

using namespace corvane::fs;

namespace {
constexpr char kLog[] = "Update:";
// Larger than any journal this program writes (a few hundred bytes per entry).
constexpr qint64 kMaxJournal = qint64(64) * 1024 * 1024;
} // namespace

UpdateTransaction::Recovery UpdateTransaction::recover(const WorkFolder &w,
                                                       const QStringList &targets)
{
    if (!w.isOpen()) {
        qDebug() << kLog << "the work folder is not open; nothing was recovered.";
        return Recovery::Failed;
    }
    struct stat st;
    if (::fstatat(w.fd(), "journal", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (!hasLeftovers(w))
            return Recovery::NothingToDo;
        // No journal: the switch never began, or it ended before its journal went.
        return removeLeftovers(w) ? Recovery::LeftoversRemoved : Recovery::Failed;
    }
    QByteArray text;
    if (!readSmallFileAt(w.fd(), "journal", kMaxJournal, &text)) {
        logFailure(kLog, "reading of", w.journal, errno);
        return Recovery::Failed;
    }
    QList<QByteArray> places;
    for (const QString &target : targets)
        places << w.relative(enc(target));
    std::vector<SwitchEntry> entries;
    if (const JournalFault fault = parseJournal(text, w.name, places, &entries);
        fault != JournalFault::None) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the journal of an interrupted installation is "
                                             "refused (%1); nothing was changed: %2")
                                  .arg(journalFaultText(fault), corvane::quotedForLog(w.journal));
        return Recovery::Failed;
    }
    const bool backward = ::fstatat(w.fd(), "rollback", &st, AT_SYMLINK_NOFOLLOW) == 0;
    switch (backward ? rollBack(w, entries) : switchAll(w, entries, false)) {
    case SwitchResult::Done:
        return Recovery::Completed;
    case SwitchResult::RolledBack:
        return Recovery::RolledBack;
    case SwitchResult::Refused:
    case SwitchResult::Stuck:
        break;
    }
    return Recovery::Failed;
}
