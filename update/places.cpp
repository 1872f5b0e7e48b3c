#include "places.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

using corvane::fs::openBeneath;
using corvane::fs::UniqueFd;

int Places::parent(const QByteArray &path, QByteArray *name)
{
    if (!corvane::fs::isPlainRelative(path)) {
        errno = EXDEV;
        return -1;
    }
    const qsizetype slash = path.lastIndexOf('/');
    *name = path.mid(slash + 1);
    if (slash < 0)
        return m_base;
    const QByteArray folder = path.left(slash);
    const auto found = m_folders.find(folder);
    if (found != m_folders.end())
        return found->second.get();
    UniqueFd fd(openBeneath(m_base, folder, O_RDONLY | O_DIRECTORY));
    if (!fd.isValid())
        return -1;
    return m_folders.emplace(folder, std::move(fd)).first->second.get();
}

bool Places::stat(const QByteArray &path, struct stat *st)
{
    QByteArray name;
    const int at = parent(path, &name);
    return at >= 0 && ::fstatat(at, name.constData(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Places::exists(const QByteArray &path)
{
    struct stat st;
    return stat(path, &st);
}

bool Places::exchange(const QByteArray &a, const QByteArray &b)
{
    QByteArray aName, bName;
    const int aAt = parent(a, &aName);
    if (aAt < 0)
        return false;
    const int bAt = parent(b, &bName);
    return bAt >= 0
        && ::renameat2(aAt, aName.constData(), bAt, bName.constData(), RENAME_EXCHANGE) == 0;
}

bool Places::setTimes(const QByteArray &path, const timespec times[2])
{
    QByteArray name;
    const int at = parent(path, &name);
    return at >= 0 && ::utimensat(at, name.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool Places::rename(const QByteArray &from, const QByteArray &to)
{
    QByteArray fromName, toName;
    const int fromAt = parent(from, &fromName);
    if (fromAt < 0)
        return false;
    const int toAt = parent(to, &toName);
    return toAt >= 0 && ::renameat(fromAt, fromName.constData(), toAt, toName.constData()) == 0;
}
