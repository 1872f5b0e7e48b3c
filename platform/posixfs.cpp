#include "posixfs.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <limits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
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
bool ownedByInstaller(const struct stat &st)
{
    return st.st_uid == 0 || st.st_uid == ::geteuid();
}

QByteArray unpredictableName(const QByteArray &prefix)
{
    unsigned char bytes[8];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return QByteArray();
        got += size_t(n);
    }
    return prefix + QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex();
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString failureText(const char *what, const QByteArray &path, int error)
{
    return QStringLiteral("%1 %2 failed: \"%3\"")
        .arg(QLatin1String(what), quotedForLog(path), errorText(error));
}

void logFailure(const char *prefix, const char *what, const QByteArray &path, int error,
                QStringList *collected)
{
    if (collected)
        collected->append(failureText(what, path, error));
    else
        qDebug().noquote() << prefix << failureText(what, path, error);
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
    // A listing is no change: without this, reading a folder writes its access time, and
    // folders lie in inode blocks of their own, a block written for every folder listed.
    if (own >= 0) {
        const int flags = ::fcntl(own, F_GETFL);
        if (flags >= 0)
            ::fcntl(own, F_SETFL, flags | O_NOATIME);
    }
    DIR *dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!dir) {
        const int error = errno;
        if (own >= 0)
            ::close(own);
        errno = error;
        return false;
    }
    // From the start, whoever read through this descriptor (or a copy of it) before:
    // copies share their position, and a second listing would find nothing.
    ::rewinddir(dir);
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

qint64 descriptorsLeft()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<int>::max();
    const auto soft = qint64(limit.rlim_cur);
    std::vector<QByteArray> open;
    // The listing's own descriptor is counted too, and is closed again.
    if (!listFolder(QByteArrayLiteral("/proc/self/fd"), &open))
        return soft / 4;
    return qMax<qint64>(0, soft - qint64(open.size()));
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

namespace {

// Writes data at the start of an empty file: 0, or the errno.
int writeAll(int fd, const QByteArray &data)
{
    for (qint64 written = 0; written < data.size();) {
        const ssize_t n
            = ::pwrite(fd, data.constData() + written, size_t(data.size() - written), written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        written += n;
    }
    return 0;
}

} // namespace

bool replaceFileAt(int dirFd, const QByteArray &name, const QByteArray &data, mode_t mode)
{
    const QByteArray temporary = name + ".new";
    if (::unlinkat(dirFd, temporary.constData(), 0) != 0 && errno != ENOENT)
        return false;
    const int fd = ::openat(dirFd, temporary.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0)
        return false;
    int error = writeAll(fd, data);
    // The mode asked for, whatever the process's umask took off it.
    if (error == 0 && ::fchmod(fd, mode) != 0)
        error = errno;
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::renameat(dirFd, temporary.constData(), dirFd, name.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlinkat(dirFd, temporary.constData(), 0);
        errno = error;
        return false;
    }
    if (::fsync(dirFd) != 0)
        return false;
    return true;
}

bool removeFileAt(int dirFd, const QByteArray &name)
{
    if (::unlinkat(dirFd, name.constData(), 0) != 0 && errno != ENOENT)
        return false;
    return ::fsync(dirFd) == 0;
}

bool rewriteFileInPlaceAt(int dirFd, const QByteArray &name, const QByteArray &data)
{
    const int fd
        = ::openat(dirFd, name.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    const auto emptied = [fd]() -> int {
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return errno;
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid())
            return EINVAL;
        // Emptied on the disk before the new bytes go in: no cut can mix old and new ones.
        return ::ftruncate(fd, 0) != 0 || ::fsync(fd) != 0 ? errno : 0;
    };
    int error = emptied();
    if (error == 0)
        error = writeAll(fd, data);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    errno = error;
    return error == 0;
}

bool readSmallFile(const QByteArray &path, qint64 maxSize, QByteArray *content, struct stat *st)
{
    return readSmallFileAt(AT_FDCWD, path, maxSize, content, st);
}

namespace {
bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size
        && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
} // namespace

bool readSmallFileAt(int dirFd, const QByteArray &name, qint64 maxSize, QByteArray *content,
                     struct stat *status)
{
    const int fd
        = ::openat(dirFd, name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (st.st_size > maxSize)
        error = EFBIG;
    QByteArray data;
    if (error == 0) {
        // One byte more than the file said it holds: a file that grew meanwhile shows.
        data.resize(qsizetype(st.st_size) + 1);
        qint64 got = 0;
        while (got < data.size() && error == 0) {
            const ssize_t n = ::read(fd, data.data() + got, size_t(data.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                error = errno;
            else if (n == 0)
                break;
            else
                got += n;
        }
        struct stat after;
        if (error == 0 && (got != st.st_size || ::fstat(fd, &after) != 0 || !sameFile(st, after)))
            error = kChangedWhileRead;
        data.truncate(qsizetype(got));
    }
    ::close(fd);
    if (error == 0) {
        *content = std::move(data);
        if (status)
            *status = st;
    }
    errno = error;
    return error == 0;
}

QString othersMayChange(const struct stat &st, bool stickyAllowed)
{
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return QStringLiteral("belongs to user %1").arg(st.st_uid);
    const bool groupOfOthers = st.st_gid != 0 && st.st_gid != ::getegid();
    const bool sticky = stickyAllowed && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
    if (!sticky && ((st.st_mode & S_IWOTH) != 0 || (groupOfOthers && (st.st_mode & S_IWGRP) != 0)))
        return QStringLiteral("can be changed by other users (mode %1)")
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

QString smallFileProblem(const QByteArray &path, int error, qint64 maxSize)
{
    const QString quoted = quotedForLog(path);
    switch (error) {
    case ENOENT:
        return QStringLiteral("%1 does not exist").arg(quoted);
    case ELOOP:
        return QStringLiteral("%1 is a link, not read").arg(quoted);
    case EINVAL:
        return QStringLiteral("%1 is not a regular file").arg(quoted);
    case EFBIG:
        return QStringLiteral("%1 is larger than %2 bytes").arg(quoted).arg(maxSize);
    case kChangedWhileRead:
        return QStringLiteral("%1 changed while being read").arg(quoted);
    default:
        return failureText("reading of", path, error);
    }
}

} // namespace corvane::fs

namespace corvane {

namespace {

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
