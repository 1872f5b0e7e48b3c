#include "updatetransaction.h"

#include "leftovers.h"
#include "switchover.h"
#include "transaction_p.h"

#include <cerrno>

#include <unistd.h>

using namespace corvane::fs;

UpdateTransaction::UpdateTransaction(const QString &workFolder, BackgroundRemoval *removal)
    : d(std::make_unique<Private>(workFolder, removal))
{
}

UpdateTransaction::~UpdateTransaction() = default;

void UpdateTransaction::addTree(const QString &source, const QString &target, Source how,
                                const QStringList &excludes)
{
    d->trees.push_back({enc(source), enc(target), how, excludes});
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
    ok = ok && d->enoughSpace() && d->stage() && d->commit();
    if (progress) {
        d->state.bytesDone = d->state.bytesTotal;
        d->state.filesDone = d->state.filesTotal;
        d->report();
    }
    return ok;
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
    // What an interrupted run left is settled first: a new staging folder starts empty.
    if (recover(dec(w.work)) == Recovery::Failed) {
        fail(FailureKind::Unrecovered, w.journal, 0);
        return false;
    }
    if (::mkdir(w.work.constData(), 0755) != 0 && errno != EEXIST)
        return failIo(FailureKind::WriteFailed, "creation of folder", w.work, errno);
    struct stat st;
    if (::lstat(w.work.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return failIo(FailureKind::WriteFailed, "use of work folder", w.work,
                      errno ? errno : ENOTDIR);
    workDevice = st.st_dev;
    blockSize = qMax<qint64>(512, st.st_blksize);
    return true;
}

bool UpdateTransaction::Private::commit()
{
    // The journal's content is on disk before its name: a journal that exists is whole.
    if (!writeFlushed(w.journalNew, journalText(w, switches))) {
        failIo(FailureKind::WriteFailed, "writing of", w.journalNew, errno);
        discard();
        return false;
    }
    if (::rename(w.journalNew.constData(), w.journal.constData()) != 0 || !syncFolder(w.work)) {
        failIo(FailureKind::WriteFailed, "putting in place of", w.journal, errno);
        ::unlink(w.journal.constData());
        discard();
        return false;
    }
    std::pair<QByteArray, int> failed;
    switch (switchAll(w, switches, true, removal, &failed)) {
    case SwitchResult::Done:
        return true;
    case SwitchResult::RolledBack:
        restoreFolderTimes();
        qDebug() << kLog
                 << "the switch failed and was undone; the installed folders are unchanged.";
        fail(FailureKind::WriteFailed, failed.first, failed.second);
        return false;
    case SwitchResult::Stuck:
        break;
    }
    // The journal stays: the next start of the installer tries again.
    qDebug() << kLog << "the switch could not be finished; it is repeated at the next start.";
    fail(FailureKind::Unrecovered, failed.first, failed.second);
    return false;
}

void UpdateTransaction::Private::discard()
{
    if (removeLeftovers(w))
        qDebug() << kLog << "staged files removed; the installed folders are unchanged.";
}
