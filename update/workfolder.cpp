#include "workfolder.h"

#include "devicefiles.h"
#include "posixfs.h"

#include <QDebug>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {
constexpr char kLog[] = "Update:";
}

WorkFolder::WorkFolder(const QByteArray &folder)
    : work(folder)
    , base(parentOf(folder))
    , journal(join(folder, "journal"))
    , journalNew(join(folder, "journal.new"))
    , rollback(join(folder, "rollback"))
    , staging(join(folder, "staging"))
    , old(join(folder, "old"))
    , lock(join(folder, corvane::device::installLockName))
    , name(folder.mid(folder.lastIndexOf('/') + 1))
    , stagingName(name + "/staging")
    , oldName(name + "/old")
{
}

WorkFolder::WorkFolder(const QString &folder)
    : WorkFolder(enc(folder))
{
}

QByteArray WorkFolder::relative(const QByteArray &path) const
{
    return path.startsWith(base + '/') ? path.mid(base.size() + 1) : path;
}

QString WorkFolder::distrust(const struct stat &st) const
{
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("a link");
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("not a folder");
    if (st.st_uid != ::geteuid())
        return QStringLiteral("owned by user %1").arg(st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return QStringLiteral("writable by others");
    return QString();
}

QString WorkFolder::flashDiskProblem() const
{
    struct stat st;
    if (::fstat(baseFd(), &st) != 0)
        return QStringLiteral("it cannot be looked at (%1)").arg(errorText(errno));
    if (!ownedByInstaller(st))
        return QStringLiteral("it belongs to user %1").arg(st.st_uid);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
        return QStringLiteral("group or others may write it (mode %1) and it has no sticky bit")
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

bool WorkFolder::moveAside(const QString &why)
{
    // A name nobody can take ahead: one a user could predict (a date, a counter) would let
    // them fill every candidate and keep the installer, and the device's start, from
    // ever getting a work folder.
    int error = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QByteArray aside = unpredictableName(name + ".untrusted-");
        if (aside.isEmpty()) {
            error = errno;
            break;
        }
        int moved = ::renameat2(baseFd(), name.constData(), baseFd(), aside.constData(),
                                RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL) { // a file system without the flag
            struct stat st;
            if (::fstatat(baseFd(), aside.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;
            moved = ::renameat(baseFd(), name.constData(), baseFd(), aside.constData());
        }
        if (moved == 0) {
            m_movedAside = true;
            qDebug().noquote() << kLog
                               << QStringLiteral("the work folder %1 cannot be trusted (%2): moved "
                                                 "aside to %3, nothing in it is used.")
                                      .arg(corvane::quotedForLog(work), why,
                                           corvane::quotedForLog(join(base, aside)));
            return true;
        }
        error = errno;
        if (error != EEXIST)
            break;
    }
    logFailure(kLog, "moving aside of the untrusted work folder", work, error);
    return false;
}

bool WorkFolder::open()
{
    m_fd.reset();
    // The flash disk's own folder is the system's (a mount point) and is followed.
    m_baseFd.reset(::open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_baseFd.isValid()) {
        logFailure(kLog, "opening of the flash disk folder", base, errno);
        return false;
    }
    m_flashDiskRefusal.clear();
    if (const QString why = flashDiskProblem(); !why.isEmpty()) {
        m_flashDiskRefusal
            = QStringLiteral("The flash disk folder %1 is not safe: %2, so anyone could rename "
                             "the installer's work folder away; nothing was done. It must "
                             "belong to root, mode 0755 or 1777.")
                  .arg(corvane::quotedForLog(base), why);
        qDebug().noquote() << m_flashDiskRefusal;
        m_baseFd.reset();
        return false;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat st;
        if (::fstatat(baseFd(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                logFailure(kLog, "stat of", work, errno);
                return false;
            }
            if (::mkdirat(baseFd(), name.constData(), 0700) != 0 && errno != EEXIST) {
                logFailure(kLog, "creation of folder", work, errno);
                return false;
            }
            continue; // looked at again: made by us, or by someone else meanwhile
        }
        if (const QString why = distrust(st); !why.isEmpty()) {
            if (!moveAside(why))
                return false;
            continue;
        }
        UniqueFd fd(
            ::openat(baseFd(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat opened;
        if (!fd.isValid() || ::fstat(fd.get(), &opened) != 0)
            continue; // replaced between the look and the open: looked at again
        if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino || !distrust(opened).isEmpty())
            continue;
        // Closed to others, also one an earlier version made readable to them.
        if ((opened.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
            logFailure(kLog, "closing to others of", work, errno);
            return false;
        }
        m_fd = std::move(fd);
        return true;
    }
    qDebug().noquote() << kLog
                       << QStringLiteral("the work folder %1 keeps changing; nothing is done.")
                              .arg(corvane::quotedForLog(work));
    return false;
}
