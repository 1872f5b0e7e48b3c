#include "installerlock.h"

#include "devicefiles.h"
#include "posixfs.h"

#include <QDebug>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char kLog[] = "InstallerLock:";
}

InstallerLock::InstallerLock(const WorkFolder &work)
    : m_work(work)
{
}

InstallerLock::~InstallerLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

InstallerLock::Result InstallerLock::acquire()
{
    using corvane::fs::logFailure;
    if (m_fd >= 0)
        return Result::Acquired;
    if (!m_work.isOpen()) {
        logFailure(kLog, "locking of", m_work.lock, EBADF);
        return Result::Failed;
    }
    // Close-on-exec: the terminal application started at the end must not inherit it.
    // Never through a link, never blocking on a pipe in its place.
    const int fd = ::openat(m_work.fd(), corvane::device::installLockName,
                            O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        logFailure(kLog, "opening of", m_work.lock, errno);
        return Result::Failed;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        logFailure(kLog, "stat of", m_work.lock, errno);
        ::close(fd);
        return Result::Failed;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        qDebug().noquote() << kLog << corvane::quotedForLog(m_work.lock)
                           << (S_ISREG(st.st_mode) ? "belongs to another user" : "is not a file")
                           << "and is not used.";
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Result::Busy;
        logFailure(kLog, "locking of", m_work.lock, error);
        return Result::Failed;
    }
    m_fd = fd;
    return Result::Acquired;
}
