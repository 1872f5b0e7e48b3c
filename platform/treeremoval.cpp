#include "treeremoval.h"

#include "posixfs.h"
#include "uniquefd.h"

#include <QDebug>

#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

constexpr char kLog[] = "Removal:";

// Opens a folder for walking; a link in its place is refused (ELOOP), never entered.
int openFolderAt(int dirFd, const char *name)
{
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Removes one entry of an open folder; a folder with AT_REMOVEDIR. Gone already is fine.
bool removeAt(int dirFd, const char *name, const QByteArray &path, int flags,
              QStringList *collected)
{
    if (::unlinkat(dirFd, name, flags) == 0 || errno == ENOENT)
        return true;
    fs::logFailure(kLog, "removal of", path, errno, collected);
    return false;
}

} // namespace

// Sub-folders are entered through openat without following links, so a folder swapped
// for a link on the way is not entered either.
bool walk(int dirFd, const QByteArray &path, const EntryAction &onEntry,
          const EntryAction &afterFolder, QStringList *collected)
{
    std::vector<QByteArray> names;
    if (!fs::listFolder(dirFd, &names)) {
        fs::logFailure(kLog, "listing of", path, errno, collected);
        return false;
    }
    bool ok = true;
    for (const QByteArray &name : names) {
        const QByteArray entryPath = fs::join(path, name);
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) { // an entry that went meanwhile needs nothing more
                fs::logFailure(kLog, "stat of", entryPath, errno, collected);
                ok = false;
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            ok = onEntry(dirFd, name.constData(), entryPath) && ok;
            continue;
        }
        const int sub = openFolderAt(dirFd, name.constData());
        if (sub < 0) {
            if (errno != ENOENT) {
                fs::logFailure(kLog, "opening of", entryPath, errno, collected);
                ok = false;
            }
            continue;
        }
        ok = walk(sub, entryPath, onEntry, afterFolder, collected) && ok;
        ::close(sub);
        if (afterFolder)
            ok = afterFolder(dirFd, name.constData(), entryPath) && ok;
    }
    return ok;
}

PathKind pathKind(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
    if (S_ISDIR(st.st_mode))
        return PathKind::Folder;
    return S_ISLNK(st.st_mode) ? PathKind::Link : PathKind::Other;
}

namespace {

// Folders held open at once by a removal: deeper ones are reopened through ".." on the way
// back, each checked to be the very folder that was left.
constexpr size_t kOpenLevels = 32;

struct Level
{
    fs::UniqueFd fd;
    dev_t dev = 0;
    ino_t ino = 0;
    QByteArray name;                 // in the folder above; empty for the top
    std::vector<QByteArray> folders; // sub-folders still to be entered
};

QByteArray pathOf(const QByteArray &top, const std::vector<Level> &levels, const QByteArray &name)
{
    QByteArray path = top;
    for (size_t i = 1; i < levels.size(); ++i)
        path = fs::join(path, levels[i].name);
    return name.isEmpty() ? path : fs::join(path, name);
}

// Lists a folder, removes what is not a folder and keeps the names of its sub-folders.
bool clearFiles(std::vector<Level> &levels, const QByteArray &top, QStringList *failures)
{
    Level &level = levels.back();
    std::vector<QByteArray> names;
    if (!fs::listFolder(level.fd.get(), &names)) {
        fs::logFailure(kLog, "listing of", pathOf(top, levels, {}), errno, failures);
        return false;
    }
    bool ok = true;
    for (QByteArray &name : names) {
        struct stat st;
        if (::fstatat(level.fd.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                fs::logFailure(kLog, "stat of", pathOf(top, levels, name), errno, failures);
                ok = false;
            }
        } else if (S_ISDIR(st.st_mode)) {
            level.folders.push_back(std::move(name));
        } else if (::unlinkat(level.fd.get(), name.constData(), 0) != 0 && errno != ENOENT) {
            fs::logFailure(kLog, "removal of", pathOf(top, levels, name), errno, failures);
            ok = false;
        }
    }
    return ok;
}

} // namespace

// Without recursion and with a bounded number of descriptors: a tree thousands of levels
// deep is removed like a flat one. A level whose descriptor was given up is reopened
// through ".." of the one below, and only when that is still the folder it was; a tree
// moved meanwhile stops the removal there rather than lead it elsewhere.
bool removeFolderContents(int folderFd, const QByteArray &path, QStringList *failures)
{
    std::vector<Level> levels(1);
    levels[0].fd.reset(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    struct stat st;
    if (!levels[0].fd.isValid() || ::fstat(levels[0].fd.get(), &st) != 0) {
        fs::logFailure(kLog, "opening of", path, errno, failures);
        return false;
    }
    levels[0].dev = st.st_dev;
    levels[0].ino = st.st_ino;
    bool ok = clearFiles(levels, path, failures);
    while (!levels.empty()) {
        Level &level = levels.back();
        if (!level.folders.empty()) {
            QByteArray name = std::move(level.folders.back());
            level.folders.pop_back();
            Level next;
            next.fd.reset(openFolderAt(level.fd.get(), name.constData()));
            if (!next.fd.isValid() || ::fstat(next.fd.get(), &st) != 0) {
                if (errno != ENOENT) {
                    fs::logFailure(kLog, "opening of", pathOf(path, levels, name), errno, failures);
                    ok = false;
                }
                continue;
            }
            next.dev = st.st_dev;
            next.ino = st.st_ino;
            next.name = std::move(name);
            levels.push_back(std::move(next));
            if (levels.size() > kOpenLevels)
                levels[levels.size() - 1 - kOpenLevels].fd.reset();
            ok = clearFiles(levels, path, failures) && ok;
            continue;
        }
        // Everything below is gone (or logged): the folder goes from the one above.
        if (levels.size() == 1)
            break;
        Level &above = levels[levels.size() - 2];
        if (!above.fd.isValid()) {
            above.fd.reset(openFolderAt(level.fd.get(), ".."));
            if (!above.fd.isValid() || ::fstat(above.fd.get(), &st) != 0 || st.st_dev != above.dev
                || st.st_ino != above.ino) {
                fs::logFailure(kLog, "removal of", pathOf(path, levels, {}),
                               above.fd.isValid() ? ESTALE : errno, failures);
                return false;
            }
        }
        const QByteArray name = std::move(level.name);
        levels.pop_back();
        if (::unlinkat(levels.back().fd.get(), name.constData(), AT_REMOVEDIR) != 0
            && errno != ENOENT) {
            fs::logFailure(kLog, "removal of", pathOf(path, levels, name), errno, failures);
            ok = false;
        }
    }
    return ok;
}

namespace {

// Opens the folder `name` of dirFd (never through a link) and removes everything in it;
// the folder itself stays for the caller. A folder gone already is a success.
bool removeContents(int dirFd, const char *name, const QByteArray &path, QStringList *failures)
{
    const fs::UniqueFd fd(openFolderAt(dirFd, name));
    if (!fd.isValid()) {
        if (errno == ENOENT)
            return true;
        fs::logFailure(kLog, "opening of", path, errno, failures);
        return false;
    }
    return removeFolderContents(fd.get(), path, failures);
}

} // namespace

bool removeEntryAt(int dirFd, const QByteArray &name, const QByteArray &path, QStringList *failures)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        fs::logFailure(kLog, "stat of", path, errno, failures);
        return false;
    }
    if (!S_ISDIR(st.st_mode))
        return removeAt(dirFd, name.constData(), path, 0, failures);
    const bool ok = removeContents(dirFd, name.constData(), path, failures);
    return removeAt(dirFd, name.constData(), path, AT_REMOVEDIR, failures) && ok;
}

bool removeFolderTree(const QByteArray &path, QStringList *failures)
{
    bool ok = removeContents(AT_FDCWD, path.constData(), path, failures);
    // By its path: rmdir never follows a link that took the folder's place meanwhile.
    if (::rmdir(path.constData()) != 0 && errno != ENOENT) {
        fs::logFailure(kLog, "removal of", path, errno, failures);
        ok = false;
    }
    return ok;
}

bool removeMatching(const QByteArray &folder, const QByteArray &wildcard,
                    const RemovalReport &report)
{
    return removeMatchingAt(AT_FDCWD, folder, folder, wildcard, report);
}

bool removeMatchingAt(int dirFd, const QByteArray &name, const QByteArray &folder,
                      const QByteArray &wildcard, const RemovalReport &report)
{
    const fs::UniqueFd fd(openFolderAt(dirFd, name.constData()));
    if (!fd.isValid()) {
        const int error = errno;
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return true;
        } else if (S_ISLNK(st.st_mode)) {
            qDebug().noquote() << kLog << quotedForLog(folder)
                               << "is a symbolic link; not followed, nothing removed";
            return true;
        } else if (!S_ISDIR(st.st_mode)) {
            qDebug().noquote() << kLog << quotedForLog(folder)
                               << "is not a folder; nothing removed";
            return true;
        }
        fs::logFailure(kLog, "opening of", folder, error);
        return false;
    }
    return walk(fd.get(), folder,
                [&](int at, const char *entry, const QByteArray &entryPath) {
                    if (!matchesWildcard(QByteArray(entry), wildcard))
                        return true;
                    const bool removed = ::unlinkat(at, entry, 0) == 0;
                    report(entryPath, removed ? 0 : errno);
                    return removed;
                },
                {});
}

bool matchesWildcard(const QByteArray &name, const QByteArray &wildcard)
{
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    int n = 0;
    int w = 0;
    int starW = -1; // position after the last '*', and where its run would end
    int starN = 0;
    while (n < name.size()) {
        if (w < wildcard.size() && wildcard[w] == '*') {
            starW = ++w;
            starN = n;
        } else if (w < wildcard.size()
                   && (wildcard[w] == '?' || fold(wildcard[w]) == fold(name[n]))) {
            ++w;
            ++n;
        } else if (starW >= 0) { // let the last '*' take one more byte
            w = starW;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (w < wildcard.size() && wildcard[w] == '*')
        ++w;
    return w == wildcard.size();
}

} // namespace corvane
