#include "updatetransaction.h"

#include "leftovers.h"
#include "places.h"
#include "switchover.h"
#include "transaction_p.h"

#include <QDateTime>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

using namespace corvane::fs;

UpdateTransaction::UpdateTransaction(const WorkFolder &work, BackgroundRemoval *removal)
    : d(std::make_unique<Private>(work, removal))
{
}

UpdateTransaction::~UpdateTransaction()
{
    // Staged and never switched: nothing of it may stay.
    if (d->prepared && !d->committed)
        d->discard();
}

void UpdateTransaction::addTree(const QString &source, const QString &target, Source how,
                                const QByteArray &listedAs, const Skip &skip)
{
    const QByteArray to = enc(target);
    d->trees.push_back({enc(source), to, d->w.relative(to), how, listedAs, skip, UniqueFd(), {}});
}

void UpdateTransaction::addTree(int sourceFd, const QString &source, const QString &target,
                                Source how, const QByteArray &listedAs, const Skip &skip)
{
    addTree(source, target, how, listedAs, skip);
    d->trees.back().given.reset(::fcntl(sourceFd, F_DUPFD_CLOEXEC, 0));
    d->trees.back().hasGiven = true;
}

const UpdateTransaction::Failure &UpdateTransaction::failure() const
{
    return d->failure;
}

bool UpdateTransaction::prepare(const ProgressCallback &progress)
{
    d->progress = progress;
    if (d->removal)
        d->removal->wait(); // an earlier run's old files go before anything is staged
    bool ok = d->prepareWorkFolder() && d->checkList() && d->plan();
    if (progress)
        d->report();
    ok = ok && d->enoughSpace() && d->stage();
    for (Private::Tree &tree : d->trees)
        tree.sourceFd.reset();
    d->prepared = ok;
    return ok;
}

bool UpdateTransaction::commit()
{
    if (!d->prepared || d->committed)
        return false;
    d->committed = true;
    // The totals are reported by the commit alone: a run that fails never reaches them.
    return d->commit();
}

bool UpdateTransaction::run(const ProgressCallback &progress)
{
    return prepare(progress) && commit();
}

void UpdateTransaction::holdBack(const HoldBack &hold)
{
    d->hold = hold;
}

void UpdateTransaction::Private::report()
{
    if (!progress)
        return;
    UpdateProgress p = state;
    if (copier)
        p.bytesDone += copier->bytesDone();
    p.bytesDone = qMin(p.bytesDone, p.bytesTotal);
    p.filesDone = qMin(p.filesDone, p.filesTotal);
    progress(p);
}

bool UpdateTransaction::Private::prepareWorkFolder()
{
    if (!w.isOpen()) {
        qDebug().noquote() << kLog
                           << QStringLiteral(
                                  "the work folder %1 is not open; nothing is installed.")
                                  .arg(corvane::quotedForLog(w.work));
        fail(FailureKind::WorkFolder, w.work, 0);
        return false;
    }
    // What an interrupted run left is settled first: a new staging folder starts empty.
    QStringList targets;
    for (const Tree &tree : trees)
        targets << dec(tree.target);
    Failure why;
    if (const Recovery r = recover(w, targets, &why);
        r == Recovery::Failed || r == Recovery::LeftoversStay) {
        if (failure.kind == FailureKind::None)
            failure = why;
        return false;
    }
    struct stat st;
    if (::fstat(w.fd(), &st) != 0)
        return failIo(FailureKind::WriteFailed, "use of work folder", w.work, errno);
    workDevice = st.st_dev;
    blockSize = qMax<qint64>(512, st.st_blksize);
    using namespace corvane::update;
    PendingRecord waiting;
    if (readPending(w, &waiting) != PendingRead::None) {
        qDebug().noquote() << kLog
                           << QStringLiteral("the last update (%1) is not yet confirmed; no other "
                                             "update is installed until it is confirmed or undone.")
                                  .arg(pendingVersions(waiting));
        failure = {FailureKind::Pending, QString(), 0, pendingVersions(waiting)};
        return false;
    }
    return true;
}

bool UpdateTransaction::Private::beginHold()
{
    using namespace corvane::update;
    PendingRecord &r = pendingRecord;
    r = {};
    r.since = QDateTime::currentSecsSinceEpoch();
    r.from = hold->from;
    r.to = hold->to;
    r.versionRecord = !listSigned     ? PendingRecord::VersionRecord::Kept
        : previousVersion.has_value() ? PendingRecord::VersionRecord::Held
                                      : PendingRecord::VersionRecord::None;
    // The times before anything changed: the plan's for the folders the switch renames in,
    // the clearing's for the rest.
    for (const auto &[folder, st] : switchedFolders)
        r.folders.push_back({folder, {st.st_atim, st.st_mtim}});
    for (const FolderTimes &f : hold->folders) {
        if (!notedFolders.count(f.path.isEmpty() ? w.base : host(f.path)))
            r.folders.push_back(f);
    }
    return writePending(w, r);
}

void UpdateTransaction::Private::abandonHold()
{
    if (hold && !corvane::update::undoHold(w, pendingRecord))
        qDebug() << kLog
                 << "what the update held back could not all be put back; the next start tries "
                    "again.";
}

bool UpdateTransaction::Private::commit()
{
    if (hold && !beginHold()) {
        fail(FailureKind::WriteFailed, w.work, errno);
        abandonHold();
        discard();
        return false;
    }
    if (switches.empty()) {
        // Everything already as the update has it: nothing to switch, nothing to journal.
        qDebug() << kLog << "the installed folders are already as the update has them.";
        if (!hold)
            removeLeftovers(w);
        // Held back all the same: the cleared files and the version record come back
        // should the application fail. An empty record of held-back entries says so.
        if (!recordVersion()
            || (hold && !replaceFileAt(w.fd(), corvane::update::kHeldName, journalText({})))) {
            fail(FailureKind::WriteFailed, w.work, errno);
            restoreVersion();
            abandonHold();
            discard();
            return false;
        }
        state.committed = true;
        report();
        return true;
    }
    if (exchangeWorks) {
        // One rename per replaced entry; its staged inode tells before from after.
        Places places(w.baseFd());
        for (SwitchEntry &e : switches) {
            struct stat st;
            if (e.kind == SwitchEntry::Kind::Aside && places.stat(e.staged, &st)) {
                e.kind = SwitchEntry::Kind::Swap;
                e.inode = quint64(st.st_ino);
                e.old.clear();
            }
        }
    }
    if (!recordVersion()) {
        fail(FailureKind::WriteFailed, w.work, errno);
        abandonHold();
        discard();
        return false;
    }
    // The journal's content is on disk before its name: a journal that exists is whole.
    if (!replaceFileAt(w.fd(), "journal", journalText(switches))) {
        failIo(FailureKind::WriteFailed, "writing of", w.journal, errno);
        ::unlinkat(w.fd(), "journal", 0);
        restoreVersion();
        abandonHold();
        discard();
        return false;
    }
    state.bytesDone = state.bytesTotal;
    state.filesDone = state.filesTotal;
    state.committed = true;
    report();
    std::pair<QByteArray, int> failed;
    switch (switchAll(w, switches, true, removal, &failed, hold.has_value())) {
    case SwitchResult::Done:
        return true;
    case SwitchResult::RolledBack:
        restoreFolderTimes();
        restoreVersion();
        abandonHold();
        qDebug() << kLog
                 << "the switch failed and was undone; the installed folders are unchanged.";
        fail(FailureKind::WriteFailed, host(failed.first), failed.second);
        return false;
    case SwitchResult::Refused:
        // Nothing was renamed: the journal goes with what was staged.
        ::unlinkat(w.fd(), "journal", 0);
        restoreVersion();
        abandonHold();
        discard();
        fail(FailureKind::WriteFailed, failed.first.isEmpty() ? w.staging : host(failed.first),
             failed.second != 0 ? failed.second : ELOOP);
        return false;
    case SwitchResult::Stuck:
        break;
    }
    // The journal stays: the next start of the installer tries again.
    qDebug() << kLog << "the switch could not be finished; it is repeated at the next start.";
    fail(FailureKind::SwitchStuck, failed.first.isEmpty() ? w.work : host(failed.first),
         failed.second);
    return false;
}

void UpdateTransaction::Private::discard()
{
    if (removeLeftovers(w))
        qDebug() << kLog << "staged files removed; the installed folders are unchanged.";
}
