#include "places.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>

using corvane::fs::openBeneath;
using corvane::fs::UniqueFd;

int Places::open(const QByteArray &folder)
{
    for (Open &o : m_open) {
        if (o.folder == folder) {
            o.used = ++m_uses;
            return o.fd.get();
        }
    }
    UniqueFd fd(openBeneath(m_base, folder, O_RDONLY | O_DIRECTORY));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0)
        return -1;
    const auto [seen, first] = m_seen.try_emplace(folder, st.st_dev, st.st_ino);
    if (!first && seen->second != std::make_pair(st.st_dev, st.st_ino)) {
        errno = ESTALE;
        return -1;
    }
    if (m_open.size() >= kKept) {
        const auto oldest
            = std::min_element(m_open.begin(), m_open.end(),
                               [](const Open &a, const Open &b) { return a.used < b.used; });
        m_open.erase(oldest);
    }
    m_open.push_back({folder, std::move(fd), ++m_uses});
    return m_open.back().fd.get();
}

void Places::forget(const QByteArray &path)
{
    const QByteArray below = path + '/';
    m_seen.erase(path);
    for (auto it = m_seen.lower_bound(below); it != m_seen.end() && it->first.startsWith(below);)
        it = m_seen.erase(it);
    m_open.erase(std::remove_if(
                     m_open.begin(), m_open.end(),
                     [&](const Open &o) { return o.folder == path || o.folder.startsWith(below); }),
                 m_open.end());
}

int Places::parent(const QByteArray &path, QByteArray *name)
{
    if (!corvane::fs::isPlainRelative(path)) {
        errno = EXDEV;
        return -1;
    }
    const qsizetype slash = path.lastIndexOf('/');
    *name = path.mid(slash + 1);
    return slash < 0 ? m_base : open(path.left(slash));
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
    if (bAt < 0
        || ::renameat2(aAt, aName.constData(), bAt, bName.constData(), RENAME_EXCHANGE) != 0)
        return false;
    forget(a);
    forget(b);
    return true;
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
    if (toAt < 0 || ::renameat(fromAt, fromName.constData(), toAt, toName.constData()) != 0)
        return false;
    forget(from);
    forget(to);
    return true;
}
