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

// Failures go to the log, or into a list when one is given (a thread that must not log).
void logFailure(const char *what, const QByteArray &path, int error,
                QStringList *collected = nullptr)
{
    const QString reason = QLatin1Char('"') + fs::errorText(error) + QLatin1Char('"');
    if (collected) {
        collected->append(QStringLiteral("%1 %2 failed: %3")
                              .arg(QLatin1String(what), quotedForLog(path), reason));
        return;
    }
    qDebug().noquote() << "FileUtils:" << what << quotedForLog(path) << "failed:" << reason;
}

// Opens a folder for walking; a link in its place is refused (ELOOP), never entered.
int openFolderAt(int dirFd, const char *name)
{
    return ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// An entry of a walk: the open folder that holds it, its name there and its whole path.
using EntryAction = std::function<bool(int dirFd, const char *name, const QByteArray &path)>;

// Calls onEntry for every entry below the open folder that is not a folder (links
// included, whatever they point to) and afterFolder for every sub-folder once its
// content has been walked. Sub-folders are entered through openat without following
// links, so a folder swapped for a link on the way is not entered either.
bool walk(int dirFd, const QByteArray &path, const EntryAction &onEntry,
          const EntryAction &afterFolder, QStringList *collected = nullptr)
{
    std::vector<QByteArray> names;
    if (!fs::listFolder(dirFd, &names)) {
        logFailure("listing of", path, errno, collected);
        return false;
    }
    bool ok = true;
    for (const QByteArray &name : names) {
        const QByteArray entryPath = fs::join(path, name);
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) { // an entry that went meanwhile needs nothing more
                logFailure("stat of", entryPath, errno, collected);
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
                logFailure("opening of", entryPath, errno, collected);
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

// Removes one entry of an open folder; a folder with AT_REMOVEDIR. Gone already is fine.
bool removeAt(int dirFd, const char *name, const QByteArray &path, int flags,
              QStringList *collected)
{
    if (::unlinkat(dirFd, name, flags) == 0 || errno == ENOENT)
        return true;
    logFailure("removal of", path, errno, collected);
    return false;
}

// Length of the valid UTF-8 sequence at bytes[i], or 0 when it is none.
int utf8Length(const QByteArray &bytes, int i)
{
    const auto at = [&](int k) { return k < bytes.size() ? uchar(bytes[k]) : 0u; };
    const uint b = at(i);
    const auto tail = [&](int k) { return (at(k) & 0xC0) == 0x80; };
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF)
        return tail(i + 1) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
        const uint b1 = at(i + 1);
        if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F))
            return 0;
        return tail(i + 1) && tail(i + 2) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        // No overlong forms (F0 80..8F) and nothing above U+10FFFF (F4 90..).
        const uint b1 = at(i + 1);
        if ((b == 0xF0 && b1 < 0x90) || (b == 0xF4 && b1 > 0x8F))
            return 0;
        return tail(i + 1) && tail(i + 2) && tail(i + 3) ? 4 : 0;
    }
    return 0;
}

bool isControl(const QByteArray &bytes, int i, int length)
{
    const uint b = uchar(bytes[i]);
    if (length == 1)
        return b < 0x20 || b == 0x7F;
    // U+0080 to U+009F, the second set of control characters.
    return length == 2 && b == 0xC2 && uchar(bytes[i + 1]) < 0xA0;
}

} // namespace

PathKind pathKind(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
    if (S_ISDIR(st.st_mode))
        return PathKind::Folder;
    return S_ISLNK(st.st_mode) ? PathKind::Link : PathKind::Other;
}

bool removeFolderTree(const QByteArray &path, QStringList *failures)
{
    const int fd = openFolderAt(AT_FDCWD, path.constData());
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        logFailure("opening of", path, errno, failures);
        return false;
    }
    bool ok = walk(
        fd, path,
        [failures](int dirFd, const char *name, const QByteArray &entryPath) {
            return removeAt(dirFd, name, entryPath, 0, failures);
        },
        [failures](int dirFd, const char *name, const QByteArray &entryPath) {
            return removeAt(dirFd, name, entryPath, AT_REMOVEDIR, failures);
        },
        failures);
    ::close(fd);
    // By its path: rmdir never follows a link that took the folder's place meanwhile.
    if (::rmdir(path.constData()) != 0 && errno != ENOENT) {
        logFailure("removal of", path, errno, failures);
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
            qDebug().noquote() << "FileUtils:" << quotedForLog(folder)
                               << "is a symbolic link; not followed, nothing removed";
            return true;
        case PathKind::Other:
            qDebug().noquote() << "FileUtils:" << quotedForLog(folder)
                               << "is not a folder; nothing removed";
            return true;
        default:
            logFailure("opening of", folder, error);
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

QString quotedForLog(const QByteArray &path)
{
    QString text = QStringLiteral("\"");
    for (int i = 0; i < path.size();) {
        const int length = utf8Length(path, i);
        if (length > 0 && !isControl(path, i, length)) {
            text += QString::fromUtf8(path.constData() + i, length);
            i += length;
        } else {
            text += QStringLiteral("\\x")
                + QString::number(uchar(path[i]), 16).toUpper().rightJustified(2, QLatin1Char('0'));
            ++i;
        }
    }
    return text + QLatin1Char('"');
}

} // namespace corvane
