#include "beneath.h"

#include "posixfs.h"

#include <QList>

#include <algorithm>
#include <atomic>
#include <utility>

#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane::fs {

namespace {

// Set once the kernel (or an emulator, or a system call filter) has answered that it
// has no openat2, or by a test: from then on the walk below does the same.
std::atomic<bool> g_noOpenat2{false};

int openat2Beneath(int dirFd, const QByteArray &relative, int flags, mode_t mode)
{
#ifdef SYS_openat2
    open_how how = {};
    how.flags = quint64(flags);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return int(::syscall(SYS_openat2, dirFd, relative.constData(), &how, sizeof how));
#else
    Q_UNUSED(dirFd);
    Q_UNUSED(relative);
    Q_UNUSED(flags);
    Q_UNUSED(mode);
    errno = ENOSYS;
    return -1;
#endif
}

// openat of one name, never through a link. Where O_DIRECTORY meets a link, openat
// answers ENOTDIR; openat2 answers ELOOP, and so does this, so that callers (and the
// log) tell a link from a file on the way whichever of the two resolved the path.
int openNoLink(int at, const QByteArray &name, int flags, mode_t mode)
{
    const int fd = ::openat(at, name.constData(), flags | O_NOFOLLOW, mode);
    if (fd >= 0 || errno != ENOTDIR)
        return fd;
    struct stat st;
    const bool link
        = ::fstatat(at, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    errno = link ? ELOOP : ENOTDIR;
    return -1;
}

// The same as openat2Beneath, one component at a time.
int walkBeneath(int dirFd, const QByteArray &relative, int flags, mode_t mode)
{
    const QList<QByteArray> parts = relative.split('/');
    UniqueFd current;
    int at = dirFd;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const int next = openNoLink(at, parts[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (next < 0)
            return -1;
        current.reset(next);
        at = next;
    }
    return openNoLink(at, parts.last(), flags, mode);
}

} // namespace

void forceWalkForTests(bool on)
{
    g_noOpenat2 = on;
}

bool isPlainRelative(const QByteArray &relative)
{
    if (relative.isEmpty() || relative.startsWith('/') || relative.contains('\0'))
        return false;
    for (const QByteArray &part : relative.split('/')) {
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    }
    return true;
}

int openBeneath(int dirFd, const QByteArray &relative, int flags, mode_t mode)
{
    flags |= O_CLOEXEC | O_NOFOLLOW;
    if (relative.isEmpty())
        return ::openat(dirFd, ".", flags & ~(O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW));
    if (!isPlainRelative(relative)) {
        errno = EXDEV;
        return -1;
    }
    if (!g_noOpenat2) {
        const int fd = openat2Beneath(dirFd, relative, flags, mode);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != ENOTDIR))
            return fd;
        // EPERM: refused by a filter, or a real refusal that the walk meets again.
        // ENOTDIR: a file on the way, or a link where O_DIRECTORY asks for a folder, which
        // openat2 too calls ENOTDIR; the walk tells the link (ELOOP) from the file.
        if (errno == ENOSYS)
            g_noOpenat2 = true;
    }
    return walkBeneath(dirFd, relative, flags, mode);
}

int openForReadingBeneath(int dirFd, const QByteArray &relative)
{
    const int fd = openBeneath(dirFd, relative, O_RDONLY | O_NONBLOCK | O_NOATIME);
    // O_NOATIME is for the file's owner (or whoever may change its owner's files) only.
    if (fd < 0 && errno == EPERM)
        return openBeneath(dirFd, relative, O_RDONLY | O_NONBLOCK);
    return fd;
}

bool openParentBeneath(int dirFd, const QByteArray &relative, UniqueFd *parent, QByteArray *name)
{
    if (!isPlainRelative(relative)) {
        errno = EXDEV;
        return false;
    }
    const qsizetype slash = relative.lastIndexOf('/');
    const int fd = openBeneath(dirFd, slash < 0 ? QByteArray() : relative.left(slash),
                               O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    parent->reset(fd);
    *name = relative.mid(slash + 1);
    return true;
}

namespace {

// The opened entry checked: -1 with EPERM and the problem when others may change it.
int checkedOrClosed(UniqueFd fd, const QByteArray &path, bool stickyAllowed, QString *problem)
{
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return -1;
    if (const QString why = othersMayChange(st, stickyAllowed); !why.isEmpty()) {
        *problem = QStringLiteral("%1 %2").arg(quotedForLog(path), why);
        errno = EPERM;
        return -1;
    }
    return fd.release();
}

} // namespace

int openOwnedBeneath(int dirFd, const QByteArray &relative, int flags, const QByteArray &where,
                     QString *problem)
{
    if (!isPlainRelative(relative)) {
        errno = EXDEV;
        return -1;
    }
    const QList<QByteArray> parts = relative.split('/');
    UniqueFd current;
    int at = dirFd;
    QByteArray path = where;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        path = join(path, parts[i]);
        UniqueFd next(openNoLink(at, parts[i],
                                 last ? flags | O_CLOEXEC : O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
        if (!next.isValid())
            return -1;
        const int fd = checkedOrClosed(std::move(next), path, false, problem);
        if (fd < 0 || last)
            return fd;
        current.reset(fd);
        at = fd;
    }
    return -1;
}

int openOwnedPath(const QByteArray &path, int flags, QString *problem)
{
    if (!path.startsWith('/') || path.contains('\0')) {
        errno = EINVAL;
        return -1;
    }
    constexpr int kMaxLinks = 40; // as the kernel
    QList<QByteArray> todo = path.split('/');
    UniqueFd at;
    QByteArray where;
    const auto fromTop = [&] {
        where = "/";
        at.reset(checkedOrClosed(UniqueFd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), where,
                                 true, problem));
        return at.isValid();
    };
    if (!fromTop())
        return -1;
    int links = 0;
    while (!todo.isEmpty()) {
        const QByteArray part = todo.takeFirst();
        if (part.isEmpty() || part == ".")
            continue;
        const bool last = std::all_of(todo.begin(), todo.end(),
                                      [](const QByteArray &p) { return p.isEmpty() || p == "."; });
        if (part == "..") {
            where = parentOf(where);
            at.reset(checkedOrClosed(
                UniqueFd(::openat(at.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), where, true,
                problem));
            if (!at.isValid())
                return -1;
            continue;
        }
        struct stat st;
        if (::fstatat(at.get(), part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        if (S_ISLNK(st.st_mode) && !last) {
            QByteArray target(4096, '\0');
            const ssize_t n
                = ::readlinkat(at.get(), part.constData(), target.data(), size_t(target.size()));
            if (n < 0)
                return -1;
            if (++links > kMaxLinks || n >= target.size()) {
                errno = ELOOP;
                return -1;
            }
            target.truncate(n);
            // A link of someone else's could point anywhere a moment later.
            if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
                *problem = QStringLiteral("%1 is a link of user %2")
                               .arg(quotedForLog(join(where, part)))
                               .arg(st.st_uid);
                errno = EPERM;
                return -1;
            }
            todo = target.split('/') + todo;
            if (target.startsWith('/') && !fromTop())
                return -1;
            continue;
        }
        const QByteArray next = join(where, part);
        if (last)
            return openNoLink(at.get(), part, flags | O_CLOEXEC, 0);
        at.reset(checkedOrClosed(
            UniqueFd(openNoLink(at.get(), part, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)), next, true,
            problem));
        if (!at.isValid())
            return -1;
        where = next;
    }
    // The path named "/" itself.
    return ::openat(at.get(), ".", (flags | O_CLOEXEC) & ~(O_CREAT | O_EXCL | O_TRUNC));
}

} // namespace corvane::fs
