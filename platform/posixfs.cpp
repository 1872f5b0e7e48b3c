#include "posixfs.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::fs {

QByteArray enc(const QString &path)
{
    return QFile::encodeName(path);
}
QString dec(const QByteArray &path)
{
    return QFile::decodeName(path);
}
QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

void logFailure(const char *prefix, const char *what, const QByteArray &path, int error)
{
    qDebug() << prefix << what << dec(path) << "failed:" << errorText(error);
}

QByteArray join(const QByteArray &folder, const QByteArray &name)
{
    QByteArray result = folder;
    if (!result.endsWith('/'))
        result += '/';
    return result + name;
}

QByteArray parentOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash > 0 ? path.left(slash) : QByteArray("/");
}

bool listFolder(int dirFd, std::vector<QByteArray> *names)
{
    const int own = ::dup(dirFd); // fdopendir takes over the descriptor it is given
    DIR *dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!dir) {
        const int error = errno;
        if (own >= 0)
            ::close(own);
        errno = error;
        return false;
    }
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const char *n = entry->d_name;
        if (!(n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))))
            names->emplace_back(n);
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0;
}

bool listFolder(const QByteArray &folder, std::vector<QByteArray> *names)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = listFolder(fd, names);
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

bool lexists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

bool syncFolder(const QByteArray &folder, bool wholeFileSystem)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = (wholeFileSystem ? ::syncfs(fd) : ::fsync(fd)) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

} // namespace corvane::fs
