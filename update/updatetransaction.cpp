#include "updatetransaction.h"

#include "leftovers.h"
#include "switchover.h"
#include "transaction_p.h"

#include <cerrno>

#include <unistd.h>

using namespace corvane::fs;

UpdateTransaction::UpdateTransaction(const WorkFolder &work, BackgroundRemoval *removal)
    : d(std::make_unique<Private>(work, removal))
{
}

UpdateTransaction::~UpdateTransaction() = default;

void UpdateTransaction::addTree(const QString &source, const QString &target, Source how,
                                const QStringList &excludes)
{
    const QByteArray to = enc(target);
    d->trees.push_back({enc(source), to, d->w.relative(to), how, excludes, UniqueFd()});
}

const UpdateTransaction::Failure &UpdateTransaction::failure() const
{
    return d->failure;
}

bool UpdateTransaction::run(const ProgressCallback &progress)
{
    d->progress = progress;
    if (d->removal)
        d->removal->wait(); // an earlier run's old files go before anything is staged
    bool ok = d->prepareWorkFolder() && d->plan();
    if (progress)
        d->report();
    // The totals are reported by the commit alone: a run that fails never reaches them.
    return ok && d->enoughSpace() && d->stage() && d->commit();
}

void UpdateTransaction::Private::report()
{
    if (!progress)
        return;
    UpdateProgress p = state;
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
    return true;
}

bool UpdateTransaction::Private::commit()
{
    // The journal's content is on disk before its name: a journal that exists is whole.
    if (!writeFlushedAt(w.fd(), "journal.new", journalText(switches))) {
        failIo(FailureKind::WriteFailed, "writing of", w.journalNew, errno);
        discard();
        return false;
    }
    if (::renameat(w.fd(), "journal.new", w.fd(), "journal") != 0 || ::fsync(w.fd()) != 0) {
        failIo(FailureKind::WriteFailed, "putting in place of", w.journal, errno);
        ::unlinkat(w.fd(), "journal", 0);
        discard();
        return false;
    }
    state.bytesDone = state.bytesTotal;
    state.filesDone = state.filesTotal;
    state.committed = true;
    report();
    std::pair<QByteArray, int> failed;
    switch (switchAll(w, switches, true, removal, &failed)) {
    case SwitchResult::Done:
        return true;
    case SwitchResult::RolledBack:
        restoreFolderTimes();
        qDebug() << kLog
                 << "the switch failed and was undone; the installed folders are unchanged.";
        fail(FailureKind::WriteFailed, host(failed.first), failed.second);
        return false;
    case SwitchResult::Refused:
        // Nothing was renamed: the journal goes with what was staged.
        ::unlinkat(w.fd(), "journal", 0);
        discard();
        fail(FailureKind::WriteFailed, failed.first.isEmpty() ? w.staging : host(failed.first),
             ELOOP);
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
