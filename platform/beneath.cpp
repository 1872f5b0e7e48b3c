#include "beneath.h"

#include <QList>

#include <atomic>

#include <cerrno>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane::fs {

namespace {

// Set once the kernel (or an emulator, or a system call filter) has answered that it
// has no openat2: from then on the walk below does the same.
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

// The same, one component at a time, each opened without following a link.
int walkBeneath(int dirFd, const QByteArray &relative, int flags, mode_t mode)
{
    const QList<QByteArray> parts = relative.split('/');
    UniqueFd current;
    int at = dirFd;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const int next
            = ::openat(at, parts[i].constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return -1;
        current.reset(next);
        at = next;
    }
    return ::openat(at, parts.last().constData(), flags, mode);
}

} // namespace

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
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
            return fd;
        // EPERM: refused by a filter, or a real refusal that the walk meets again.
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

} // namespace corvane::fs
