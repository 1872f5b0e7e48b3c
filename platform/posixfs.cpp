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

QByteArray enc(const QString &path) { return QFile::encodeName(path); }
QString dec(const QByteArray &path) { return QFile::decodeName(path); }
QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

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

bool listFolder(const QByteArray &folder, std::vector<QByteArray> *names)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    errno = 0;
    while (dirent *entry = ::readdir(dir)) {
        const char *n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        names->emplace_back(n);
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0;
}

bool lexists(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

bool syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

bool removeTree(const QByteArray &path, QStringList *failures)
{
    auto failed = [&](const char *what, const QByteArray &which) {
        failures->append(QStringLiteral("%1 \"%2\" failed: %3")
                             .arg(QLatin1String(what), dec(which), errorText(errno)));
        return false;
    };
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT || failed("stat of", path);
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.constData()) == 0 || errno == ENOENT || failed("removal of", path);
    std::vector<QByteArray> names;
    if (!listFolder(path, &names))
        return failed("listing of", path);
    bool ok = true;
    for (const QByteArray &name : names)
        ok = removeTree(join(path, name), failures) && ok;
    return (::rmdir(path.constData()) == 0 || errno == ENOENT || failed("removal of", path)) && ok;
}

} // namespace corvane::fs
