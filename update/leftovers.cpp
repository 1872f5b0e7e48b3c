#include "leftovers.h"

#include "beneath.h"
#include "posixfs.h"
#include "treeremoval.h"

#include <QDebug>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {

constexpr char kLog[] = "Update:";
constexpr const char *kFolders[] = {"staging", "old"};
constexpr const char *kFiles[] = {"journal.new", "rollback"};

bool removeLeftoversAt(int workFd, const QByteArray &work, QStringList *collected)
{
    bool ok = true;
    for (const char *folder : kFolders)
        ok = corvane::removeEntryAt(workFd, folder, join(work, folder), collected) && ok;
    for (const char *file : kFiles) {
        if (::unlinkat(workFd, file, 0) != 0 && errno != ENOENT) {
            logFailure(kLog, "removal of", join(work, file), errno, collected);
            ok = false;
        }
    }
    return ok;
}

} // namespace

bool removeLeftovers(const WorkFolder &w, QStringList *failures)
{
    QStringList collected;
    const bool ok = removeLeftoversAt(w.fd(), w.work, &collected);
    if (failures) {
        *failures += collected;
    } else {
        for (const QString &failure : std::as_const(collected))
            qDebug().noquote() << kLog << failure;
    }
    return ok;
}

bool hasLeftovers(const WorkFolder &w)
{
    struct stat st;
    for (const char *name : {kFolders[0], kFolders[1], kFiles[0], kFiles[1]}) {
        if (::fstatat(w.fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
    }
    return false;
}

BackgroundRemoval::~BackgroundRemoval()
{
    wait();
}

void BackgroundRemoval::start(const WorkFolder &w)
{
    wait();
    // A descriptor of its own: the thread may outlive the caller's WorkFolder.
    auto fd = std::make_shared<UniqueFd>(::fcntl(w.fd(), F_DUPFD_CLOEXEC, 0));
    const QByteArray work = w.work;
    m_thread = std::thread([this, fd, work] {
        if (!fd->isValid())
            m_failures << failureText("removal of the leftovers in", work, EBADF);
        else
            removeLeftoversAt(fd->get(), work, &m_failures);
    });
}

void BackgroundRemoval::wait()
{
    if (!m_thread.joinable())
        return;
    m_thread.join();
    for (const QString &failure : std::as_const(m_failures))
        qDebug().noquote() << kLog << failure;
    m_failures.clear();
}
