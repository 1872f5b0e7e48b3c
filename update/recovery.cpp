// What the installer does at every start, before anything else: an installation that a
// power cut or a crash interrupted is completed or undone.

#include "journal.h"
#include "leftovers.h"
#include "posixfs.h"
#include "switchover.h"
#include "updatetransaction.h"
#include "workfolder.h"

#include <QDebug>

#include <sys/stat.h>

using namespace corvane::fs;

namespace {
constexpr char kLog[] = "Update:";
// Larger than any journal this program writes (a few hundred bytes per entry).
constexpr qint64 kMaxJournal = qint64(64) * 1024 * 1024;
} // namespace

UpdateTransaction::Recovery UpdateTransaction::recover(const QString &workFolder)
{
    const WorkFolder w(workFolder);
    struct stat st;
    if (::lstat(w.work.constData(), &st) != 0)
        return Recovery::NothingToDo;
    if (!S_ISDIR(st.st_mode)) {
        // Never followed: whatever a link there points to is none of this program's work.
        qDebug() << kLog << "not a folder, left alone:" << dec(w.work);
        return Recovery::NothingToDo;
    }
    if (!lexists(w.journal)) {
        if (!hasLeftovers(w))
            return Recovery::NothingToDo;
        // No journal: the switch never began, or it ended before its journal went.
        return removeLeftovers(w) ? Recovery::LeftoversRemoved : Recovery::Failed;
    }
    QByteArray text;
    if (!readSmallFile(w.journal, kMaxJournal, &text)) {
        logFailure(kLog, "reading of", w.journal, errno);
        return Recovery::Failed;
    }
    std::vector<SwitchEntry> entries;
    if (const JournalFault fault = parseJournal(w, text, &entries); fault != JournalFault::None) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the journal of an interrupted installation is "
                                             "damaged (%1); nothing was changed: %2")
                                  .arg(journalFaultText(fault), corvane::quotedForLog(w.journal));
        return Recovery::Failed;
    }
    if (lexists(w.rollback))
        return rollBack(w, entries) ? Recovery::RolledBack : Recovery::Failed;
    switch (switchAll(w, entries, false)) {
    case SwitchResult::Done:
        return Recovery::Completed;
    case SwitchResult::RolledBack:
        return Recovery::RolledBack;
    case SwitchResult::Stuck:
        break;
    }
    return Recovery::Failed;
}
