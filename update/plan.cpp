// Planning: both trees are walked beside the installed folders, nothing is written. What
// replaces or adds an installed entry becomes one entry of the switch; what cannot be
// installed (a folder where the update has a file, a special file) fails the run here.

#include "places.h"
#include "transaction_p.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include <sys/statvfs.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {
// Folders nest at most this deep in an update: the plan descends one call per level, and
// no real update comes near it (a deeper one would also outgrow the paths the kernel takes).
constexpr qsizetype kMaxFolderDepth = 256;
} // namespace

bool UpdateTransaction::Private::plan()
{
    bool ok = true;
    for (size_t i = 0; i < trees.size(); ++i)
        ok = planTree(i) && ok;
    ok = planPending() && ok;
    return checkNothingMissing() && ok;
}

bool UpdateTransaction::Private::planTree(size_t index)
{
    Tree &tree = trees[index];
    struct stat src;
    if (tree.hasGiven) {
        if (!tree.given.isValid() || ::fstat(tree.given.get(), &src) != 0)
            return failIo(FailureKind::ReadFailed, "opening of update folder", tree.source,
                          tree.given.isValid() ? errno : EBADF);
        tree.sourceFd.reset(::fcntl(tree.given.get(), F_DUPFD_CLOEXEC, 0));
    } else {
        if (::lstat(tree.source.constData(), &src) != 0 || !S_ISDIR(src.st_mode))
            return failIo(FailureKind::ReadFailed, "reading of update folder", tree.source,
                          errno ? errno : ENOTDIR);
        // Everything of the update is read below this, never through a link.
        tree.sourceFd.reset(
            ::open(tree.source.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!tree.sourceFd.isValid())
        return failIo(FailureKind::ReadFailed, "opening of update folder", tree.source, errno);
    if (!isPlainRelative(tree.targetName) || tree.targetName == w.name
        || tree.targetName.startsWith(w.name + '/'))
        return failIo(FailureKind::WriteFailed, "installation into", tree.target, EXDEV);
    struct stat dst;
    if (::lstat(tree.target.constData(), &dst) == 0) {
        if (!S_ISDIR(dst.st_mode)) {
            qDebug() << kLog << "not a folder, where the update puts one:" << dec(tree.target);
            fail(FailureKind::FileInTheWay, tree.target, 0);
            return false;
        }
        if (dst.st_dev != workDevice)
            return failIo(FailureKind::WriteFailed, "installation into", tree.target, EXDEV);
        bool ok = true;
        checkListed(tree, QByteArray(), src, &ok);
        return planFolder(index, QByteArray(), tree.target, QByteArray(), false, closedFolder(src))
            && ok;
    }
    if (errno != ENOENT)
        return failIo(FailureKind::WriteFailed, "reading of", tree.target, errno);
    // A target that does not exist yet arrives whole, with one rename.
    struct stat parent;
    if (::lstat(parentOf(tree.target).constData(), &parent) != 0 || !S_ISDIR(parent.st_mode))
        return failIo(FailureKind::WriteFailed, "installation into", tree.target, ENOENT);
    bool ok = true;
    const QByteArray staged = nextStaged();
    planEntry(index, QByteArray(), staged, src, true, &ok);
    SwitchEntry whole;
    whole.staged = staged;
    whole.final = tree.targetName;
    switches.push_back(whole);
    noteSwitchedFolder(parentOf(tree.target));
    return ok;
}

// Plans one update entry into a staging path below which nothing is installed yet.
void UpdateTransaction::Private::planEntry(size_t index, const QByteArray &from,
                                           const QByteArray &staged, const struct stat &st,
                                           bool closed, bool *ok)
{
    const Tree &tree = trees[index];
    bool listedOk = true;
    const qsizetype line = checkListed(tree, from, st, &listedOk);
    if (!listedOk) {
        *ok = false;
        if (!S_ISDIR(st.st_mode))
            return;
    }
    if (S_ISDIR(st.st_mode)) {
        stages.push_back({Stage::Folder, index, from, staged, st, false, line});
        ++inodesNeeded;
        bytesNeeded += blockSize;
        *ok = planFolder(index, from, QByteArray(), staged, true, closed && closedFolder(st))
            && *ok;
        stages.push_back({Stage::FinishFolder, index, from, staged, st, false, line});
    } else if (S_ISREG(st.st_mode)) {
        // Linked only where nobody else can change the file once it is installed: ours,
        // its only name, closed to writers other than us, in folders where nobody else can
        // give it a second name meanwhile. Anything else is copied.
        const bool hardLink = tree.how == Source::Link && closed && st.st_dev == workDevice
            && st.st_uid == user && st.st_gid == group && st.st_nlink == 1
            && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
        stages.push_back({Stage::File, index, from, staged, st, hardLink, line});
        if (!hardLink) {
            ++inodesNeeded;
            bytesNeeded += (st.st_size + blockSize - 1) / blockSize * blockSize;
        }
        ++state.filesTotal;
        state.bytesTotal += st.st_size;
    } else if (S_ISLNK(st.st_mode)) {
        stages.push_back({Stage::Link, index, from, staged, st, false, line});
        ++inodesNeeded;
        bytesNeeded += st.st_size >= 60 ? blockSize : 0; // short targets live in the inode
        ++state.filesTotal;
    } else {
        qDebug() << kLog << "neither file, folder nor link:" << dec(sourcePath(tree, from));
        fail(FailureKind::SpecialFile, sourcePath(tree, from), 0);
        *ok = false;
    }
}

// The entries of an update folder, sorted, with their status: read below the update folder
// as it was opened, never by its path. The folder is closed before any entry is planned.
bool UpdateTransaction::Private::listSource(const Tree &tree, const QByteArray &from,
                                            std::vector<SourceEntry> *entries) const
{
    const UniqueFd dir(from.isEmpty()
                           ? ::fcntl(tree.sourceFd.get(), F_DUPFD_CLOEXEC, 0)
                           : openBeneath(tree.sourceFd.get(), from, O_RDONLY | O_DIRECTORY));
    std::vector<QByteArray> names;
    if (!dir.isValid() || !listFolder(dir.get(), &names))
        return false;
    std::sort(names.begin(), names.end());
    entries->resize(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        SourceEntry &e = (*entries)[i];
        e.name = std::move(names[i]);
        if (::fstatat(dir.get(), e.name.constData(), &e.st, AT_SYMLINK_NOFOLLOW) != 0)
            e.error = errno;
    }
    return true;
}

// Plans the entries of an update folder (`from`, relative to the tree's update folder).
// Below a new folder (isNew, staged as a whole at `staged`) everything is new; otherwise
// each entry is compared with the installed one of the same name in `to` (a host path),
// and what replaces or adds one is staged on its own.
bool UpdateTransaction::Private::planFolder(size_t index, const QByteArray &from,
                                            const QByteArray &to, const QByteArray &staged,
                                            bool isNew, bool closed)
{
    const Tree &tree = trees[index];
    const QByteArray folder = sourcePath(tree, from);
    if (from.count('/') >= kMaxFolderDepth)
        return failIo(FailureKind::ReadFailed, "listing of", folder, ENAMETOOLONG);
    std::vector<SourceEntry> entries;
    if (!listSource(tree, from, &entries))
        return failIo(FailureKind::ReadFailed, "listing of", folder, errno);
    // The installed entries of the same names, looked at below the installed folder as
    // opened once (never by their paths, never through a link); it is closed again before
    // any folder below it is planned.
    std::vector<std::pair<int, struct stat>> installedEntries(isNew ? 0 : entries.size());
    if (!isNew) {
        const UniqueFd installedFolder(
            openBeneath(w.baseFd(), w.relative(to), O_RDONLY | O_DIRECTORY));
        if (!installedFolder.isValid())
            return failIo(FailureKind::WriteFailed, "reading of", to, errno);
        for (size_t i = 0; i < entries.size(); ++i) {
            auto &[error, st] = installedEntries[i];
            if (entries[i].error == 0
                && ::fstatat(installedFolder.get(), entries[i].name.constData(), &st,
                             AT_SYMLINK_NOFOLLOW)
                    != 0)
                error = errno;
        }
    }
    bool ok = true;
    bool renamesIn = false; // whether the switch renames anything into this folder
    for (size_t i = 0; i < entries.size(); ++i) {
        const SourceEntry &e = entries[i];
        const QByteArray &name = e.name;
        const QByteArray entry = from.isEmpty() ? name : join(from, name);
        const struct stat &st = e.st;
        if (e.error != 0) {
            ok = failIo(FailureKind::ReadFailed, "reading of", join(folder, name), e.error);
            continue;
        }
        if (tree.skip && tree.skip(entry, st.st_mode)) {
            ok = planSkipped(index, entry, st) && ok;
            continue;
        }
        if (isNew) {
            planEntry(index, entry, join(staged, name), st, closed, &ok);
            continue;
        }
        const QByteArray target = join(to, name);
        const auto &[error, installed] = installedEntries[i];
        const bool exists = error == 0;
        if (!exists && error != ENOENT) {
            ok = failIo(FailureKind::WriteFailed, "reading of", target, error);
            continue;
        }
        if (S_ISDIR(st.st_mode) && exists && S_ISDIR(installed.st_mode)) {
            checkListed(tree, entry, st, &ok);
            ok = planFolder(index, entry, target, QByteArray(), false, closed && closedFolder(st))
                && ok;
        } else if (S_ISDIR(st.st_mode) && exists) {
            qDebug() << kLog << "not a folder, where the update puts one:" << dec(target);
            fail(FailureKind::FileInTheWay, target, 0);
            ok = false;
        } else if (exists && S_ISDIR(installed.st_mode)) {
            qDebug() << kLog << "a folder, where the update puts a file:" << dec(target);
            fail(FailureKind::FolderInTheWay, target, 0);
            ok = false;
        } else {
            const Likeness likeness
                = exists ? alike(index, entry, st, target, installed) : Likeness::Differs;
            if (likeness == Likeness::Same)
                keepInstalled(index, entry, st, target, installed, &ok);
            else if (likeness == Likeness::BytesDecide)
                pending.push_back({index, entry, st, target, installed, to, closed, false});
            else
                renamesIn
                    = planReplacement(index, entry, st, target, exists, closed, &ok) || renamesIn;
        }
    }
    if (!isNew && renamesIn)
        noteSwitchedFolder(to);
    return ok;
}

// Left as it is; only its times become the update's, as a copy's would.
void UpdateTransaction::Private::keepInstalled(size_t index, const QByteArray &from,
                                               const struct stat &st, const QByteArray &target,
                                               const struct stat &installed, bool *ok)
{
    checkListed(trees[index], from, st, ok);
    if (!sameTimes(st, installed)) {
        SwitchEntry times;
        times.kind = SwitchEntry::Kind::Times;
        times.final = w.relative(target);
        times.times[0] = st.st_atim;
        times.times[1] = st.st_mtim;
        times.oldTimes[0] = installed.st_atim;
        times.oldTimes[1] = installed.st_mtim;
        switches.push_back(times);
    }
    ++unchanged;
}

// Stages the update's entry in place of (or beside) the installed one; true when it is to
// be renamed in.
bool UpdateTransaction::Private::planReplacement(size_t index, const QByteArray &from,
                                                 const struct stat &st, const QByteArray &target,
                                                 bool exists, bool closed, bool *ok)
{
    bool entryOk = true;
    const QByteArray stagedPath = nextStaged();
    planEntry(index, from, stagedPath, st, closed, &entryOk);
    *ok = entryOk && *ok;
    if (!entryOk)
        return false;
    SwitchEntry e;
    e.staged = stagedPath;
    e.final = w.relative(target);
    // Set aside or exchanged, as the file system allows (decided when staging).
    e.kind = exists ? SwitchEntry::Kind::Aside : SwitchEntry::Kind::New;
    if (exists)
        e.old = w.oldName + '/' + QByteArray::number(stagedCounter);
    switches.push_back(e);
    return true;
}

// The files whose bytes decide are compared on every core at once (most of a check of
// an unchanged installation is reading), then planned in the order they were met.
bool UpdateTransaction::Private::planPending()
{
    std::atomic<size_t> next{0};
    const auto compare = [this, &next] {
        for (size_t i = next++; i < pending.size(); i = next++) {
            Pending &p = pending[i];
            p.same = sameBytes(p.tree, p.from, p.target, p.st.st_size);
        }
    };
    std::vector<std::thread> helpers;
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    for (unsigned k = 1; k < cores && pending.size() > k; ++k)
        helpers.emplace_back(compare);
    compare();
    for (std::thread &helper : helpers)
        helper.join();
    bool ok = true;
    for (const Pending &p : pending) {
        if (p.same) {
            keepInstalled(p.tree, p.from, p.st, p.target, p.installed, &ok);
        } else if (planReplacement(p.tree, p.from, p.st, p.target, true, p.closed, &ok)) {
            noteSwitchedFolder(p.folder);
        }
    }
    pending.clear();
    return ok;
}

// Decided by the modification time: the access time moves whenever a file is read, and
// writing an inode for it alone would cost the flash a write per file for nothing.
bool UpdateTransaction::Private::sameTimes(const struct stat &a, const struct stat &b)
{
    return a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Whether the installed entry at `target` may already be what the update's entry `from`
// would install: a link to the same target (Same), or a file of the installer's with the
// same size and mode, whose bytes decide (compared with the update's file, or its SHA-256
// with the list's). Decided from the bytes every time, never from a record: a run cut
// short must not leave a file that a later run wrongly takes as installed.
UpdateTransaction::Private::Likeness
UpdateTransaction::Private::alike(size_t index, const QByteArray &from, const struct stat &st,
                                  const QByteArray &target, const struct stat &installed)
{
    const Tree &tree = trees[index];
    if (S_ISLNK(st.st_mode) && S_ISLNK(installed.st_mode)) {
        if (st.st_size != installed.st_size)
            return Likeness::Differs;
        QByteArray ours(4096, Qt::Uninitialized), theirs(4096, Qt::Uninitialized);
        UniqueFd parent;
        QByteArray name;
        const ssize_t n = openParentBeneath(tree.sourceFd.get(), from, &parent, &name)
            ? ::readlinkat(parent.get(), name.constData(), ours.data(), size_t(ours.size()))
            : -1;
        const ssize_t m = ::readlink(target.constData(), theirs.data(), size_t(theirs.size()));
        return n >= 0 && n == m && ours.left(n) == theirs.left(m) ? Likeness::Same
                                                                  : Likeness::Differs;
    }
    if (!S_ISREG(st.st_mode) || !S_ISREG(installed.st_mode) || st.st_size != installed.st_size
        || (installed.st_mode & 07777) != modeToInstall(lookupListed(tree, from), st.st_mode)
        || installed.st_uid != user || installed.st_gid != group)
        return Likeness::Differs;
    return Likeness::BytesDecide;
}

// Whether the installed file at target holds the update's bytes (on any thread).
bool UpdateTransaction::Private::sameBytes(size_t index, const QByteArray &from,
                                           const QByteArray &target, qint64 size) const
{
    const Tree &tree = trees[index];
    const std::optional<Listed> line = lookupListed(tree, from);
    const UniqueFd ours(line ? -1 : openForReadingBeneath(tree.sourceFd.get(), from));
    const UniqueFd theirs(openForReadingBeneath(w.baseFd(), w.relative(target)));
    if (!theirs.isValid() || (!line && !ours.isValid()))
        return false; // replaced; staging tells what is wrong with the update's file
    if (line) {
        QByteArray digest;
        return sha256OfFile(theirs.get(), &digest) && digest == line->sha256;
    }
    return sameContent(ours.get(), theirs.get(), size);
}

// An entry that is removed from the update before the switch is not installed; with a
// list it is still checked, its content too (such files are lists of a few bytes).
bool UpdateTransaction::Private::planSkipped(size_t index, const QByteArray &from,
                                             const struct stat &st)
{
    const Tree &tree = trees[index];
    bool ok = true;
    const std::optional<Listed> line = listedAt(checkListed(tree, from, st, &ok));
    if (!line)
        return ok;
    if (S_ISDIR(st.st_mode)) {
        std::vector<SourceEntry> entries;
        if (!listSource(tree, from, &entries))
            return failIo(FailureKind::ReadFailed, "listing of", sourcePath(tree, from), errno);
        for (const SourceEntry &e : entries) {
            const QByteArray entry = join(from, e.name);
            if (e.error != 0)
                ok = failIo(FailureKind::ReadFailed, "reading of", sourcePath(tree, entry),
                            e.error);
            else
                ok = planSkipped(index, entry, e.st) && ok;
        }
        return ok;
    }
    if (line->type != Listed::Type::File)
        return ok;
    const UniqueFd in(openForReadingBeneath(tree.sourceFd.get(), from));
    QByteArray digest;
    if (!in.isValid() || !sha256OfFile(in.get(), &digest))
        return failIo(FailureKind::ReadFailed, "reading of", sourcePath(tree, from), errno);
    if (digest != line->sha256) {
        notAsListed(listedPath(tree, from),
                    QStringLiteral("its SHA-256 is %1, listed %2")
                        .arg(QString::fromLatin1(digest.toHex()),
                             QString::fromLatin1(line->sha256.toHex())));
        return false;
    }
    return ok;
}

bool UpdateTransaction::Private::enoughSpace()
{
    struct statvfs fs;
    if (::fstatvfs(w.fd(), &fs) != 0)
        return true; // nothing to compare with; a full disk still fails the staging
    // The journal: three paths per entry, a few of them escaped.
    qint64 journal = 0;
    for (const SwitchEntry &s : switches)
        journal += 2 * (s.staged.size() + s.final.size() + s.old.size()) + 4;
    const qint64 needed
        = bytesNeeded + (journal + blockSize - 1) / blockSize * blockSize + 4 * blockSize;
    const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    constexpr qint64 mb = qint64(1024) * 1024;
    if (needed > free) {
        qDebug().noquote()
            << QStringLiteral("Not enough space to install the update: %1 MB needed, %2 MB free.")
                   .arg((needed + mb - 1) / mb)
                   .arg(free / mb);
        fail(FailureKind::NoSpace, w.work, ENOSPC);
        return false;
    }
    // File systems without a fixed number of entries report none.
    if (fs.f_files > 0 && qint64(fs.f_favail) < inodesNeeded + 4) {
        qDebug().noquote()
            << QStringLiteral(
                   "Not enough free file entries to install the update: %1 needed, %2 free.")
                   .arg(inodesNeeded + 4)
                   .arg(qint64(fs.f_favail));
        fail(FailureKind::NoSpace, w.work, ENOSPC);
        return false;
    }
    return true;
}

void UpdateTransaction::Private::noteSwitchedFolder(const QByteArray &folder)
{
    if (!notedFolders.insert(folder).second)
        return; // noted already
    struct stat st;
    // The flash disk's folder itself is named by an empty path.
    if (::lstat(folder.constData(), &st) == 0)
        switchedFolders.emplace_back(folder == w.base ? QByteArray() : w.relative(folder), st);
}

void UpdateTransaction::Private::restoreFolderTimes()
{
    Places places(w.baseFd());
    QByteArray name;
    for (const auto &[folder, st] : switchedFolders) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (folder.isEmpty()) {
            ::futimens(w.baseFd(), times);
        } else if (const int at = places.parent(folder, &name); at >= 0) {
            ::utimensat(at, name.constData(), times, AT_SYMLINK_NOFOLLOW);
        }
    }
}
