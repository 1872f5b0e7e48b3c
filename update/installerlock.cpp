#include "installerlock.h"

#include "posixfs.h"

#include <QDebug>
#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

InstallerLock::InstallerLock(const QString &path)
    : m_path(QFile::encodeName(path))
{
}

InstallerLock::~InstallerLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

InstallerLock::Result InstallerLock::acquire()
{
    using namespace corvane::fs;
    if (m_fd >= 0)
        return Result::Acquired;
    const QByteArray folder = parentOf(m_path);
    if (::mkdir(folder.constData(), 0755) != 0 && errno != EEXIST) {
        logFailure("InstallerLock:", "creation of folder", folder, errno);
        return Result::Unavailable;
    }
    // Close-on-exec: the terminal application started at the end must not inherit it.
    const int fd = ::open(m_path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        logFailure("InstallerLock:", "opening of", m_path, errno);
        return Result::Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK)
            return Result::Busy;
        logFailure("InstallerLock:", "locking of", m_path, error);
        return Result::Unavailable;
    }
    m_fd = fd;
    return Result::Acquired;
}
