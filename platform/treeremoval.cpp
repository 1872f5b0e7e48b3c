#include "treeremoval.h"

#include "posixfs.h"

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

// Opens the folder `name` of dirFd (never through a link) and removes everything in it;
// the folder itself stays for the caller. A folder gone already is a success.
bool removeContents(int dirFd, const char *name, const QByteArray &path, QStringList *failures)
{
    const int fd = openFolderAt(dirFd, name);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        fs::logFailure(kLog, "opening of", path, errno, failures);
        return false;
    }
    const bool ok = walk(
        fd, path,
        [failures](int at, const char *entry, const QByteArray &entryPath) {
            return removeAt(at, entry, entryPath, 0, failures);
        },
        [failures](int at, const char *entry, const QByteArray &entryPath) {
            return removeAt(at, entry, entryPath, AT_REMOVEDIR, failures);
        },
        failures);
    ::close(fd);
    return ok;
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
    const int fd = openFolderAt(AT_FDCWD, folder.constData());
    if (fd < 0) {
        const int error = errno;
        switch (pathKind(folder)) {
        case PathKind::Missing:
            return true;
        case PathKind::Link:
            qDebug().noquote() << kLog << quotedForLog(folder)
                               << "is a symbolic link; not followed, nothing removed";
            return true;
        case PathKind::Other:
            qDebug().noquote() << kLog << quotedForLog(folder)
                               << "is not a folder; nothing removed";
            return true;
        default:
            fs::logFailure(kLog, "opening of", folder, error);
            return false;
        }
    }
    const bool ok = walk(fd, folder,
                         [&](int dirFd, const char *name, const QByteArray &entryPath) {
                             if (!matchesWildcard(QByteArray(name), wildcard))
                                 return true;
                             const bool removed = ::unlinkat(dirFd, name, 0) == 0;
                             report(entryPath, removed ? 0 : errno);
                             return removed;
                         },
                         {});
    ::close(fd);
    return ok;
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
