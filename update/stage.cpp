// Staging: every entry of the update is put into the work folder's staging folder,
// reached below its own folder without following a link on either side. Files are
// copied, or hard-linked where the update's file is thrown away after the run and
// nobody else can change it. What is staged belongs to the installer's user; set-user-ID
// and set-group-ID bits are staged only when a signed list names them (else logged).
// With a list, every staged file is hashed (hashqueue.h) and compared with it before
// anything installed changes.

#include "copier.h"
#include "places.h"
#include "transaction_p.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <unistd.h>

using namespace corvane::fs;

bool UpdateTransaction::Private::stage()
{
    // Nothing to stage (the installation is already as the update has it, but for times):
    // no folder is made, nothing flushed.
    if (stages.empty())
        return true;
    for (const char *folder : {"staging", "old"}) {
        if (::mkdirat(w.fd(), folder, 0700) != 0) {
            failIo(FailureKind::WriteFailed, "creation of folder", join(w.work, folder), errno);
            discard();
            return false;
        }
    }
    exchangeWorks = probeExchange();
    bool ok = true;
    // The waiting copies and hashes hold descriptors: together at most half of what the
    // process may still open (the folders and the files staged here need the rest), so a
    // service's low limit slows the staging rather than fail it.
    const qint64 spare = qMax<qint64>(8, (descriptorsLeft() - 32) / 2);
    if (hasList)
        hashes = std::make_unique<HashQueue>(size_t(spare / 2));
    // The large files of the copied trees go to the copier's thread first, which then
    // mostly waits for the disk while this one stages the small files and the linked
    // trees. Without linked files there is little to do meanwhile: the copies stay here.
    if (std::any_of(stages.begin(), stages.end(), [this](const Stage &s) {
            return s.kind == Stage::File && trees[s.tree].how == Source::Link;
        }))
        copier = std::make_unique<Copier>(hashes.get(), size_t(spare / 4));
    // In turn: every folder and large file (the copier's and, with a list, the hashes'
    // longest work, begun first), the rest of the copied trees, the rest of the linked
    // trees, and last the folders' own permissions, once all they hold is there.
    const auto turnOf = [this](const Stage &s) {
        if (s.kind == Stage::FinishFolder)
            return 3;
        if (s.kind == Stage::Folder
            || (s.kind == Stage::File && s.st.st_size >= Copier::kLargeFile))
            return 0;
        return trees[s.tree].how == Source::Link ? 2 : 1;
    };
    Places places(w.baseFd());
    for (int turn = 0; turn < 4 && ok; ++turn) {
        for (const Stage &s : stages) {
            if (turnOf(s) != turn)
                continue;
            if (!(ok = stageEntry(places, s) && !(copier && copier->failed())))
                break;
        }
    }
    // After a failure here the copies still queued are only closed.
    if (!ok && copier)
        copier->abandon();
    ok = finishCopies() && ok;
    // Nothing is switched before every staged byte is on disk; the last files are hashed
    // while the disk takes them.
    if (ok && ::syncfs(w.fd()) != 0)
        ok = failIo(FailureKind::WriteFailed, "flush to disk of", w.staging, errno);
    ok = checkStagedHashes() && ok;
    if (!ok)
        discard();
    return ok;
}

// Whether the file system exchanges two names in one rename: then a replaced entry is
// switched with one rename instead of two (and one removal fewer afterwards).
bool UpdateTransaction::Private::probeExchange()
{
    const int staging = openBeneath(w.fd(), "staging", O_RDONLY | O_DIRECTORY);
    if (staging < 0)
        return false;
    const UniqueFd folder(staging);
    bool works = false;
    if (::mkdirat(staging, "probe-a", 0700) == 0 && ::mkdirat(staging, "probe-b", 0700) == 0)
        works = ::renameat2(staging, "probe-a", staging, "probe-b", RENAME_EXCHANGE) == 0;
    ::unlinkat(staging, "probe-a", AT_REMOVEDIR);
    ::unlinkat(staging, "probe-b", AT_REMOVEDIR);
    return works;
}

bool UpdateTransaction::Private::stageEntry(Places &places, const Stage &s)
{
    QByteArray name;
    const int parent = places.parent(s.staged, &name);
    if (parent < 0)
        return failIo(FailureKind::WriteFailed, "staging of", host(s.staged), errno);
    switch (s.kind) {
    case Stage::Folder:
        // Private until it is complete; its own permissions come with FinishFolder.
        if (::mkdirat(parent, name.constData(), 0700) != 0)
            return failIo(FailureKind::WriteFailed, "creation of folder", host(s.staged), errno);
        return true;
    case Stage::FinishFolder:
        if (::fchmodat(parent, name.constData(), installedMode(s, s.st.st_mode), 0) != 0)
            return failIo(FailureKind::WriteFailed, "setting permissions of", host(s.staged),
                          errno);
        return true;
    case Stage::File:
        return stageFile(parent, name, s);
    case Stage::Link:
        return stageLink(parent, name, s);
    }
    return false;
}

bool UpdateTransaction::Private::checkStagedHashes()
{
    if (!hashes)
        return true;
    HashQueue::Mismatch first;
    const bool ok = hashes->finish(&first);
    hashes.reset();
    if (ok)
        return true;
    if (first.error != 0)
        return failIo(FailureKind::ReadFailed, "hashing of the staged", first.path, first.error);
    notAsListed(first.path,
                QStringLiteral("its SHA-256 is %1, listed %2")
                    .arg(first.found, QString::fromLatin1(first.listed)));
    return false;
}

mode_t UpdateTransaction::Private::installedMode(const Stage &s, mode_t mode)
{
    // Checked against the list while planning; a signed list may name these bits.
    if (!(listSigned && s.listed >= 0) && (mode & (S_ISUID | S_ISGID)) != 0) {
        qDebug().noquote() << kLog
                           << QStringLiteral("set-user-ID and set-group-ID bits are not installed "
                                             "from an update that is not signed: %1")
                                  .arg(corvane::quotedForLog(sourcePath(trees[s.tree], s.source)));
    }
    return modeToInstall(listedAt(s.listed), mode);
}

bool UpdateTransaction::Private::stageFile(int parent, const QByteArray &name, const Stage &s)
{
    const Tree &tree = trees[s.tree];
    const QByteArray from = sourcePath(tree, s.source);
    // Not blocking: a pipe put in place of a file must not stop the run.
    const UniqueFd in(openForReadingBeneath(tree.sourceFd.get(), s.source));
    if (!in.isValid())
        return failIo(FailureKind::ReadFailed, "opening of", from, errno);
    struct stat st;
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        qDebug() << kLog << "neither file, folder nor link:" << dec(from);
        fail(FailureKind::SpecialFile, from, 0);
        return false;
    }
    // Planned as linkable, and still so now that it is open: the very file looked at is
    // linked (by its descriptor, not its name).
    const bool linkable = s.hardLink && !linksRefused && st.st_uid == s.st.st_uid
        && st.st_gid == s.st.st_gid && st.st_nlink == 1 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (linkable) {
        if (::linkat(in.get(), "", parent, name.constData(), AT_EMPTY_PATH) == 0) {
            const mode_t mode = installedMode(s, st.st_mode);
            if ((st.st_mode & 07777) != mode && ::fchmod(in.get(), mode) != 0)
                return failIo(FailureKind::WriteFailed, "setting permissions of", host(s.staged),
                              errno);
            // The linked file is the staged one: its bytes are hashed once linked.
            if (hashes && s.listed >= 0)
                hashes->add(::fcntl(in.get(), F_DUPFD_CLOEXEC, 0), listedPath(tree, s.source),
                            manifest.entry(s.listed).sha256);
            advance(s.st.st_size, 1);
            return true;
        }
        // A file system without hard links (or one that refuses them here) gets copies.
        if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP
            && errno != ENOENT)
            return failIo(FailureKind::WriteFailed, "staging of", from, errno);
        if (errno != ENOENT)
            linksRefused = true;
    }
    return copyFile(in.get(), st, parent, name, s);
}

bool UpdateTransaction::Private::copyFile(int in, const struct stat &st, int parent,
                                          const QByteArray &name, const Stage &s)
{
    Copier::Job job;
    job.out = ::openat(parent, name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                       0600);
    if (job.out < 0)
        return failIo(FailureKind::WriteFailed, "creation of", host(s.staged), errno);
    job.size = s.st.st_size;
    job.mode = installedMode(s, st.st_mode);
    job.times[0] = st.st_atim;
    job.times[1] = st.st_mtim;
    job.from = sourcePath(trees[s.tree], s.source);
    job.staged = host(s.staged);
    if (hashes && s.listed >= 0) {
        job.listedAs = listedPath(trees[s.tree], s.source);
        job.sha256 = manifest.entry(s.listed).sha256;
    }
    if (copier && job.size >= Copier::kLargeFile) {
        job.in = ::fcntl(in, F_DUPFD_CLOEXEC, 0);
        if (job.in >= 0 && copier->add(job)) {
            advance(0, 1);
            return true;
        }
        if (job.in >= 0)
            ::close(job.in);
    }
    job.in = in;
    const qint64 before = state.bytesDone;
    const std::optional<Copier::Failure> failed
        = copyStagedFile(job, copyBuffer, hashes.get(), [this](qint64 n) { advance(n, 0); });
    if (failed)
        failIo(failed->reading ? FailureKind::ReadFailed : FailureKind::WriteFailed, failed->what,
               failed->path, failed->error);
    // Counted as planned, whatever the file's size has become meanwhile.
    state.bytesDone = before;
    advance(s.st.st_size, 1);
    return !failed;
}

bool UpdateTransaction::Private::finishCopies()
{
    if (!copier)
        return true;
    const std::vector<Copier::Failure> failures = copier->finish([this] { report(); });
    state.bytesDone += copier->bytesDone();
    copier.reset();
    for (const Copier::Failure &f : failures)
        failIo(f.reading ? FailureKind::ReadFailed : FailureKind::WriteFailed, f.what, f.path,
               f.error);
    return failures.empty();
}

bool UpdateTransaction::Private::stageLink(int parent, const QByteArray &name, const Stage &s)
{
    const Tree &tree = trees[s.tree];
    const QByteArray from = sourcePath(tree, s.source);
    UniqueFd sourceParent;
    QByteArray sourceName;
    if (!openParentBeneath(tree.sourceFd.get(), s.source, &sourceParent, &sourceName))
        return failIo(FailureKind::ReadFailed, "reading of link", from, errno);
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlinkat(sourceParent.get(), sourceName.constData(), target.data(),
                                   size_t(target.size()));
    if (n < 0 || n >= target.size())
        return failIo(FailureKind::ReadFailed, "reading of link", from,
                      n < 0 ? errno : ENAMETOOLONG);
    target.truncate(n);
    if (s.listed >= 0 && target != manifest.entry(s.listed).target) {
        notAsListed(listedPath(tree, s.source), QStringLiteral("it now points elsewhere"));
        return false;
    }
    advance(0, 1);
    if (::symlinkat(target.constData(), parent, name.constData()) != 0)
        return failIo(FailureKind::WriteFailed, "creation of link", host(s.staged), errno);
    return true;
}
