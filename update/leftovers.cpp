#include "leftovers.h"

#include "beneath.h"
#include "pendingupdate.h"
#include "posixfs.h"
#include "treeremoval.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvane::fs;

namespace {

constexpr char kLog[] = "Update:";
constexpr const char *kFolders[] = {"staging", "old", corvane::update::kClearedName};
// The mark of a finished switch goes last, and only when everything else is gone: a removal
// cut short or refused still knows, at the next start, what it removes. (A temporary of
// replaceFileAt that a kill left is removed with its file.)
constexpr const char *kFiles[] = {"journal.new",
                                  "rollback",
                                  "rollback.new",
                                  "switched.new",
                                  corvane::update::kHeldName,
                                  "held.new",
                                  corvane::update::kHeldVersionName,
                                  "pending.new",
                                  "history.new",
                                  "history-shown.new"};

// What an update that is still pending holds back: only its confirmation or its fallback
// may remove or put back these. (And the temporaries of the records, which a decision may
// be writing meanwhile.)
bool isHeldBack(const char *name)
{
    using namespace corvane::update;
    for (const char *held : {kClearedName, kHeldName, kHeldVersionName, "pending.new",
                             "history.new", "history-shown.new"}) {
        if (std::strcmp(name, held) == 0)
            return true;
    }
    return false;
}

// Many replaced files (an update of every file) are removed on two cores: most of an
// unlink's time goes to freeing the file's blocks, which two threads do side by side.
constexpr size_t kManyEntries = 256;

bool removeFolderAt(int workFd, const char *folder, const QByteArray &path, QStringList *collected)
{
    const UniqueFd fd(::openat(workFd, folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<QByteArray> names;
    if (fd.isValid() && listFolder(fd.get(), &names) && names.size() >= kManyEntries) {
        const auto removeEvery = [&](size_t first, QStringList *failures) {
            bool removed = true;
            for (size_t i = first; i < names.size(); i += 2)
                removed = corvane::removeEntryAt(fd.get(), names[i], join(path, names[i]), failures)
                    && removed;
            return removed;
        };
        QStringList theirs;
        bool theirsRemoved = false;
        std::thread other([&] { theirsRemoved = removeEvery(1, &theirs); });
        const bool removed = removeEvery(0, collected);
        other.join();
        *collected += theirs;
        // Each entry that stays is logged already; the folder that holds it stays too.
        if (!removed || !theirsRemoved)
            return false;
    }
    // What is left (all of it, when the folder was not listed here) and the folder.
    return corvane::removeEntryAt(workFd, folder, path, collected);
}

bool removeLeftoversAt(int workFd, const QByteArray &work, QStringList *collected)
{
    struct stat st;
    const bool pending
        = ::fstatat(workFd, corvane::update::kPendingName, &st, AT_SYMLINK_NOFOLLOW) == 0;
    bool ok = true;
    for (const char *folder : kFolders) {
        if (!(pending && isHeldBack(folder)))
            ok = removeFolderAt(workFd, folder, join(work, folder), collected) && ok;
    }
    for (const char *file : kFiles) {
        if (pending && isHeldBack(file))
            continue;
        if (::unlinkat(workFd, file, 0) != 0 && errno != ENOENT) {
            logFailure(kLog, "removal of", join(work, file), errno, collected);
            ok = false;
        }
    }
    if (ok && ::unlinkat(workFd, kSwitchedMark, 0) != 0 && errno != ENOENT) {
        logFailure(kLog, "removal of", join(work, kSwitchedMark), errno, collected);
        ok = false;
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

void removeLeftovers(const WorkFolder &w, BackgroundRemoval *removal)
{
    if (removal)
        removal->start(w);
    else
        removeLeftovers(w);
}

Leftovers leftoversIn(const WorkFolder &w)
{
    struct stat st;
    const auto there
        = [&](const char *name) { return ::fstatat(w.fd(), name, &st, AT_SYMLINK_NOFOLLOW) == 0; };
    if (there(kSwitchedMark))
        return Leftovers::OldFiles;
    for (const char *name : kFolders) {
        if (there(name))
            return Leftovers::Staged;
    }
    for (const char *name : kFiles) {
        if (there(name))
            return Leftovers::Staged;
    }
    return Leftovers::None;
}

BackgroundRemoval::BackgroundRemoval(std::function<void(bool removed)> finished)
    : m_finished(std::move(finished))
{
    // Reported at once, not when someone waits: the log on the stick must have it while
    // the stick is still in. A removal waited for meanwhile was reported then.
    QObject::connect(
        &m_end, &RemovalEnd::ended, &m_end,
        [this](quint64 removal) {
            if (removal == m_removals)
                wait();
        },
        Qt::QueuedConnection);
}

BackgroundRemoval::~BackgroundRemoval()
{
    // Nothing is reported from here: what would hear of it may be gone already.
    m_finished = nullptr;
    wait();
}

void BackgroundRemoval::start(const WorkFolder &w)
{
    wait();
    // A descriptor of its own: the thread may outlive the caller's WorkFolder.
    auto fd = std::make_shared<UniqueFd>(::fcntl(w.fd(), F_DUPFD_CLOEXEC, 0));
    const QByteArray work = w.work;
    const quint64 removal = ++m_removals;
    m_removed = true;
    m_thread = std::thread([this, fd, work, removal] {
        if (!fd->isValid()) {
            m_failures << failureText("removal of the leftovers in", work, EBADF);
            m_removed = false;
        } else {
            m_removed = removeLeftoversAt(fd->get(), work, &m_failures);
        }
        emit m_end.ended(removal);
    });
}

void BackgroundRemoval::wait()
{
    if (!m_thread.joinable())
        return;
    m_thread.join();
    const QStringList failures = std::exchange(m_failures, {});
    for (const QString &failure : failures)
        qDebug().noquote() << kLog << failure;
    if (m_finished)
        m_finished(m_removed);
}
