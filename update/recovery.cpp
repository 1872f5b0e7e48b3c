// What the installer does at every start, before anything else: an installation that a
// power cut or a crash interrupted is completed or undone.

#include "journal.h"
#include "leftovers.h"
#include "pendingupdate.h"
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
                                                       const QStringList &targets, Failure *why)
{
    Failure ignored;
    Failure &failure = why ? *why : ignored;
    const auto failed = [&w, &failure](FailureKind kind, const QByteArray &hostPath, int error,
                                       const QString &detail = {}) {
        failure = {kind, dec(w.relative(hostPath)), error, detail};
        return kind == FailureKind::LeftoversStay ? Recovery::LeftoversStay : Recovery::Failed;
    };
    if (!w.isOpen()) {
        qDebug() << kLog << "the work folder is not open; nothing was recovered.";
        return failed(FailureKind::WorkFolder, w.work, 0);
    }
    struct stat st;
    using namespace corvane::update;
    // An update that holds back recorded itself before its journal: its held-back files
    // are settled by settlePending(), never removed here.
    const bool pending = isPending(w);
    if (::fstatat(w.fd(), "journal", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // No journal: the switch never began, or it ended before its journal went.
        if (pending)
            return Recovery::NothingToDo;
        // Lists a clearing moved out before a switch that never came go back first.
        if (::fstatat(w.fd(), kSwitchedMark, &st, AT_SYMLINK_NOFOLLOW) != 0 && !restoreCleared(w))
            return failed(FailureKind::LeftoversStay, w.work, 0);
        const Leftovers left = leftoversIn(w);
        if (left == Leftovers::None)
            return Recovery::NothingToDo;
        if (!removeLeftovers(w))
            return failed(FailureKind::LeftoversStay, w.work, 0);
        return left == Leftovers::OldFiles ? Recovery::OldFilesRemoved : Recovery::LeftoversRemoved;
    }
    QByteArray text;
    if (!readSmallFileAt(w.fd(), "journal", kMaxJournal, &text)) {
        const int error = errno;
        logFailure(kLog, "reading of", w.journal, error);
        return failed(FailureKind::Unrecovered, w.journal, error);
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
        return failed(FailureKind::Unrecovered, w.journal, 0,
                      QStringLiteral("refused (%1)").arg(journalFaultText(fault)));
    }
    const bool backward = ::fstatat(w.fd(), "rollback", &st, AT_SYMLINK_NOFOLLOW) == 0;
    SwitchFailure stopped;
    switch (backward ? rollBack(w, entries, &stopped)
                     : switchAll(w, entries, false, nullptr, &stopped, pending)) {
    case SwitchResult::Done:
        return Recovery::Completed;
    case SwitchResult::RolledBack:
        return Recovery::RolledBack;
    case SwitchResult::Refused:
    case SwitchResult::Stuck:
        break;
    }
    return failed(FailureKind::Unrecovered,
                  stopped.first.isEmpty() ? w.work : join(w.base, stopped.first), stopped.second);
}
