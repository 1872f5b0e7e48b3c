#include "transaction_p.h"

#include <algorithm>
#include <cerrno>

#include <sys/statvfs.h>

using namespace corvane::fs;

bool UpdateTransaction::Private::plan()
{
    bool ok = true;
    for (const Tree &tree : trees)
        ok = planTree(tree) && ok;
    return ok;
}

bool UpdateTransaction::Private::planTree(const Tree &tree)
{
    struct stat src;
    if (::lstat(tree.source.constData(), &src) != 0 || !S_ISDIR(src.st_mode))
        return failIo(FailureKind::ReadFailed, "reading of update folder", tree.source,
                      errno ? errno : ENOTDIR);
    if (!tree.target.startsWith(w.base + '/') || tree.target.startsWith(w.work + '/')
        || tree.target == w.work)
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
        return planFolder(tree, tree.source, tree.target, QByteArray(), false);
    }
    if (errno != ENOENT)
        return failIo(FailureKind::WriteFailed, "reading of", tree.target, errno);
    // A target that does not exist yet arrives whole, with one rename.
    struct stat parent;
    if (::lstat(parentOf(tree.target).constData(), &parent) != 0 || !S_ISDIR(parent.st_mode))
        return failIo(FailureKind::WriteFailed, "installation into", tree.target, ENOENT);
    bool ok = true;
    const QByteArray staged = nextStaged();
    planEntry(tree, tree.source, staged, src, true, &ok);
    switches.push_back({staged, tree.target, {}});
    noteSwitchedFolder(parentOf(tree.target));
    return ok;
}

// Plans one update entry into a staging path below which nothing is installed yet.
void UpdateTransaction::Private::planEntry(const Tree &tree, const QByteArray &from,
                                           const QByteArray &staged, const struct stat &st,
                                           bool isNew, bool *ok)
{
    if (S_ISDIR(st.st_mode)) {
        stages.push_back({Stage::Folder, from, staged, st, false});
        ++inodesNeeded;
        bytesNeeded += blockSize;
        *ok = planFolder(tree, from, QByteArray(), staged, isNew) && *ok;
        stages.push_back({Stage::FinishFolder, from, staged, st, false});
    } else if (S_ISREG(st.st_mode)) {
        const bool hardLink = tree.how == Source::Link && st.st_dev == workDevice;
        stages.push_back({Stage::File, from, staged, st, hardLink});
        if (!hardLink) {
            ++inodesNeeded;
            bytesNeeded += (st.st_size + blockSize - 1) / blockSize * blockSize;
        }
        ++state.filesTotal;
        state.bytesTotal += st.st_size;
    } else if (S_ISLNK(st.st_mode)) {
        stages.push_back({Stage::Link, from, staged, st, false});
        ++inodesNeeded;
        bytesNeeded += st.st_size >= 60 ? blockSize : 0; // short targets live in the inode
        ++state.filesTotal;
    } else {
        qDebug() << kLog << "neither file, folder nor link:" << dec(from);
        fail(FailureKind::SpecialFile, from, 0);
        *ok = false;
    }
}

// Plans the entries of an update folder. Below a new folder (isNew, staged as a whole at
// `staged`) everything is new; otherwise each entry is compared with the installed one of
// the same name in `to`, and what replaces or adds one is staged on its own.
bool UpdateTransaction::Private::planFolder(const Tree &tree, const QByteArray &from,
                                            const QByteArray &to, const QByteArray &staged,
                                            bool isNew)
{
    std::vector<QByteArray> names;
    if (!listFolder(from, &names))
        return failIo(FailureKind::ReadFailed, "listing of", from, errno);
    std::sort(names.begin(), names.end());
    bool ok = true;
    const size_t switchesBefore = switches.size();
    for (const QByteArray &name : names) {
        if (!tree.excludes.isEmpty() && tree.excludes.contains(dec(name)))
            continue;
        const QByteArray source = join(from, name);
        struct stat st;
        if (::lstat(source.constData(), &st) != 0) {
            ok = failIo(FailureKind::ReadFailed, "reading of", source, errno);
            continue;
        }
        if (isNew) {
            planEntry(tree, source, join(staged, name), st, true, &ok);
            continue;
        }
        const QByteArray target = join(to, name);
        struct stat installed;
        const bool exists = ::lstat(target.constData(), &installed) == 0;
        if (!exists && errno != ENOENT) {
            ok = failIo(FailureKind::WriteFailed, "reading of", target, errno);
            continue;
        }
        if (S_ISDIR(st.st_mode) && exists && S_ISDIR(installed.st_mode)) {
            ok = planFolder(tree, source, target, QByteArray(), false) && ok;
        } else if (S_ISDIR(st.st_mode) && exists) {
            qDebug() << kLog << "not a folder, where the update puts one:" << dec(target);
            fail(FailureKind::FileInTheWay, target, 0);
            ok = false;
        } else if (exists && S_ISDIR(installed.st_mode)) {
            qDebug() << kLog << "a folder, where the update puts a file:" << dec(target);
            fail(FailureKind::FolderInTheWay, target, 0);
            ok = false;
        } else {
            bool entryOk = true;
            const QByteArray stagedPath = nextStaged();
            planEntry(tree, source, stagedPath, st, true, &entryOk);
            ok = entryOk && ok;
            if (entryOk) {
                const QByteArray old
                    = exists ? join(w.old, stagedPath.mid(w.staging.size() + 1)) : QByteArray();
                switches.push_back({stagedPath, target, old});
            }
        }
    }
    if (!isNew && switches.size() > switchesBefore)
        noteSwitchedFolder(to);
    return ok;
}

bool UpdateTransaction::Private::enoughSpace()
{
    struct statvfs fs;
    if (::statvfs(w.work.constData(), &fs) != 0)
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
    struct stat st;
    if (::lstat(folder.constData(), &st) == 0)
        switchedFolders.emplace_back(folder, st);
}

void UpdateTransaction::Private::restoreFolderTimes()
{
    for (const auto &[folder, st] : switchedFolders) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(AT_FDCWD, folder.constData(), times, AT_SYMLINK_NOFOLLOW);
    }
}
