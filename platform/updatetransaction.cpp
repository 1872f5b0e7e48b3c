#include "updatetransaction.h"

#include "posixfs.h"
#include "treeremoval.h"

#include <QCryptographicHash>
#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace corvane::fs;
using corvane::removeFolderTree;

namespace {

constexpr qint64 kCopyChunk = 4 * 1024 * 1024;
constexpr qint64 kWriteBehind = 32 * 1024 * 1024;
constexpr char kLog[] = "Update:";
const QByteArray kJournalMagic = "corvane-update-journal 1";

// One entry of the switch: a staged file, link or whole new folder and where it goes.
struct Switch
{
    QByteArray staged;
    QByteArray final;
    QByteArray old; // where the installed entry is moved aside; empty when none is replaced
};

// One step of staging.
struct Stage
{
    enum Kind { Folder, FinishFolder, File, Link } kind;
    QByteArray source;
    QByteArray staged;
    struct stat st;
    bool hardLink = false;
};

struct WorkPaths
{
    explicit WorkPaths(const QByteArray &folder)
        : work(folder)
        , base(parentOf(folder))
        , journal(join(folder, "journal"))
        , journalNew(join(folder, "journal.new"))
        , rollback(join(folder, "rollback"))
        , staging(join(folder, "staging"))
        , old(join(folder, "old"))
    {
    }
    QByteArray work, base, journal, journalNew, rollback, staging, old;

    QByteArray relative(const QByteArray &path) const
    {
        return path.startsWith(base + '/') ? path.mid(base.size() + 1) : path;
    }
};

bool failWith(int error)
{
    errno = error;
    return false;
}

bool makeFolders(const QByteArray &folder)
{
    if (lexists(folder))
        return true;
    return makeFolders(parentOf(folder))
        && (::mkdir(folder.constData(), 0700) == 0 || errno == EEXIST);
}

bool renamed(const QByteArray &from, const QByteArray &to)
{
    if (::rename(from.constData(), to.constData()) == 0)
        return true;
    // A folder of the work area that went missing (cleared by hand) is made again.
    if (errno == ENOENT && lexists(from) && !lexists(parentOf(to)) && makeFolders(parentOf(to))
        && ::rename(from.constData(), to.constData()) == 0)
        return true;
    const int error = errno;
    qDebug() << kLog << "moving" << dec(from) << "to" << dec(to) << "failed:" << errorText(error);
    return failWith(error);
}

// Writes a small file and flushes its content; the caller puts it in place.
bool writeFlushed(const QByteArray &path, const QByteArray &data)
{
    const int fd
        = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            return failWith(error);
        }
        written += n;
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        return failWith(error);
    }
    return ::close(fd) == 0;
}

// ---- journal -------------------------------------------------------------------------

QByteArray encodePath(const WorkPaths &w, const QByteArray &path)
{
    return path.isEmpty() ? QByteArray("-") : w.relative(path).toPercentEncoding("/");
}

QByteArray journalText(const WorkPaths &w, const std::vector<Switch> &switches)
{
    QByteArray body;
    for (const Switch &s : switches)
        body += encodePath(w, s.staged) + ' ' + encodePath(w, s.final) + ' ' + encodePath(w, s.old)
            + '\n';
    return kJournalMagic + '\n' + QByteArray::number(qulonglong(switches.size())) + '\n' + body
        + "end " + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
}

// A relative path that stays below the folder it is relative to.
bool isPlainRelative(const QByteArray &path)
{
    if (path.isEmpty() || path.startsWith('/') || path.contains('\0'))
        return false;
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    }
    return true;
}

// Reads a journal back. Every path must lie where this program puts such paths: the
// staged and old entries in the work folder, the final ones outside it.
bool parseJournal(const WorkPaths &w, const QByteArray &text, std::vector<Switch> *switches)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4 || lines.first() != kJournalMagic || !lines.last().isEmpty())
        return false;
    lines.removeLast();
    bool ok = false;
    const qulonglong count = lines.at(1).toULongLong(&ok);
    if (!ok || count != qulonglong(lines.size() - 3))
        return false;
    QByteArray body;
    for (qsizetype i = 2; i < lines.size() - 1; ++i)
        body += lines.at(i) + '\n';
    if (lines.last() != "end " + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex())
        return false;
    const QByteArray workName = w.relative(w.work);
    for (qsizetype i = 2; i < lines.size() - 1; ++i) {
        const QList<QByteArray> fields = lines.at(i).split(' ');
        if (fields.size() != 3)
            return false;
        const QByteArray staged = QByteArray::fromPercentEncoding(fields[0]);
        const QByteArray final = QByteArray::fromPercentEncoding(fields[1]);
        const QByteArray old
            = fields[2] == "-" ? QByteArray() : QByteArray::fromPercentEncoding(fields[2]);
        if (!isPlainRelative(staged) || !staged.startsWith(workName + "/staging/")
            || !isPlainRelative(final) || final == workName || final.startsWith(workName + '/')
            || (!old.isEmpty() && (!isPlainRelative(old) || !old.startsWith(workName + "/old/"))))
            return false;
        switches->push_back({join(w.base, staged), join(w.base, final),
                             old.isEmpty() ? QByteArray() : join(w.base, old)});
    }
    return true;
}

bool readJournal(const QByteArray &path, QByteArray *text)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 256 * 1024 * 1024;
    if (ok) {
        text->resize(st.st_size);
        qint64 got = 0;
        while (got < st.st_size) {
            const ssize_t n = ::read(fd, text->data() + got, size_t(st.st_size - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        ok = got == st.st_size;
    }
    ::close(fd);
    return ok;
}

// ---- the switch ----------------------------------------------------------------------
// An entry with a replaced installed one passes through three states, told apart by
// which names exist: staged+final (before), staged+old (between), final+old (after).
// An entry without one has two: staged (before) and final (after). apply() and undo()
// each take one step towards their end from whichever state they find.

// fresh: the entry is known to be in its first state (the switch of this process), so
// no name needs looking up.
bool apply(const Switch &s, bool fresh)
{
    if (fresh)
        return (s.old.isEmpty() || renamed(s.final, s.old)) && renamed(s.staged, s.final);
    if (!lexists(s.staged))
        return true;
    if (!s.old.isEmpty() && lexists(s.final) && !lexists(s.old) && !renamed(s.final, s.old))
        return false;
    return renamed(s.staged, s.final);
}

bool undo(const Switch &s)
{
    if (!lexists(s.staged) && lexists(s.final) && !renamed(s.final, s.staged))
        return false;
    if (!s.old.isEmpty() && lexists(s.old) && !lexists(s.final))
        return renamed(s.old, s.final);
    return true;
}

// Removes what a finished or abandoned switch leaves in the work folder.
bool removeLeftovers(const WorkPaths &w, QStringList *failures)
{
    bool ok = removeFolderTree(w.staging, failures);
    ok = removeFolderTree(w.old, failures) && ok;
    for (const QByteArray &file : {w.journalNew, w.rollback}) {
        if (::unlink(file.constData()) != 0 && errno != ENOENT) {
            logFailure(kLog, "removal of", file, errno, failures);
            ok = false;
        }
    }
    return ok;
}

bool removeLeftovers(const WorkPaths &w)
{
    QStringList failures;
    const bool ok = removeLeftovers(w, &failures);
    for (const QString &failure : failures)
        qDebug().noquote() << kLog << failure;
    return ok;
}

// After a switch, the old files and the emptied staging folders are removed while the
// window shows the result: nothing reads them any more, and a cut meanwhile leaves
// only what the next start removes. Failures are logged by the thread that waits.
class Sweeper
{
public:
    ~Sweeper()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    void start(const WorkPaths &w)
    {
        wait();
        m_thread = std::thread([this, w] { removeLeftovers(w, &m_failures); });
    }
    void wait()
    {
        if (!m_thread.joinable())
            return;
        m_thread.join();
        for (const QString &failure : std::as_const(m_failures))
            qDebug().noquote() << kLog << failure;
        m_failures.clear();
    }

private:
    std::thread m_thread;
    QStringList m_failures; // written by the thread only until it is joined
};

Sweeper &sweeper()
{
    static Sweeper instance;
    return instance;
}

// Ends a switch whose entries are all in one direction's end state: flush them, then
// remove the journal (from then on a power cut needs nothing), then the leftovers, in
// the background when asked to.
bool finishSwitch(const WorkPaths &w, bool sweepLater = false)
{
    if (!syncFolder(w.work, true)) {
        logFailure(kLog, "flush to disk of the switch in", w.base, errno);
        return false;
    }
    if (::unlink(w.journal.constData()) != 0 && errno != ENOENT) {
        logFailure(kLog, "removal of", w.journal, errno);
        return false;
    }
    if (!syncFolder(w.work))
        logFailure(kLog, "flush to disk of folder", w.work, errno);
    if (sweepLater)
        sweeper().start(w);
    else
        removeLeftovers(w);
    return true;
}

// Puts every entry back, last first. The rollback mark goes to disk first (again, when
// a rollback cut short is finished), so that a power cut meanwhile is recovered in the
// same direction.
bool rollBack(const WorkPaths &w, const std::vector<Switch> &switches)
{
    if (!writeFlushed(w.rollback, "rollback\n") || !syncFolder(w.work))
        logFailure(kLog, "writing of", w.rollback, errno);
    bool ok = true;
    for (auto it = switches.rbegin(); it != switches.rend(); ++it)
        ok = undo(*it) && ok;
    return ok && finishSwitch(w);
}

// Applies every entry; on the first failure the whole switch is undone. *failed
// names the entry that failed, with the system's reason.
enum class SwitchResult { Done, RolledBack, Stuck };

SwitchResult switchAll(const WorkPaths &w, const std::vector<Switch> &switches, bool fresh,
                       std::pair<QByteArray, int> *failed = nullptr)
{
    for (const Switch &s : switches) {
        if (!apply(s, fresh)) {
            if (failed)
                *failed = {s.final, errno};
            return rollBack(w, switches) ? SwitchResult::RolledBack : SwitchResult::Stuck;
        }
    }
    if (finishSwitch(w, fresh))
        return SwitchResult::Done;
    if (failed)
        *failed = {w.base, errno};
    return SwitchResult::Stuck;
}

} // namespace

// ---- the transaction -------------------------------------------------------------------

class UpdateTransaction::Private
{
public:
    explicit Private(const QString &workFolder)
        : w(enc(workFolder))
    {
    }

    struct Tree
    {
        QByteArray source;
        QByteArray target;
        Source how;
        QStringList excludes;
    };

    WorkPaths w;
    std::vector<Tree> trees;
    std::vector<Stage> stages;
    std::vector<Switch> switches;
    // Installed folders that the switch renames in, with their times before it: an undone
    // switch leaves them as they were, times included.
    std::vector<std::pair<QByteArray, struct stat>> switchedFolders;
    Failure failure;
    FileUtils::CopyProgress state;
    FileUtils::ProgressCallback progress;
    quint64 stagedCounter = 0;
    bool linksRefused = false;
    dev_t workDevice = 0;
    qint64 blockSize = 4096;
    qint64 bytesNeeded = 0;
    qint64 inodesNeeded = 0;

    void fail(FailureKind kind, const QByteArray &path, int error)
    {
        if (error == ENOSPC || error == EDQUOT)
            kind = FailureKind::NoSpace;
        if (failure.kind == FailureKind::None)
            failure = {kind, dec(w.relative(path)), error};
    }
    bool failIo(FailureKind kind, const char *what, const QByteArray &path, int error)
    {
        logFailure(kLog, what, path, error);
        fail(kind, path, error);
        return false;
    }

    bool prepareWorkFolder();
    bool plan();
    bool planTree(const Tree &tree);
    // Staging place of the next entry of the switch; its installed one goes to the same
    // name below old/.
    QByteArray nextStaged() { return join(w.staging, QByteArray::number(++stagedCounter)); }
    bool planFolder(const Tree &tree, const QByteArray &from, const QByteArray &to,
                    const QByteArray &staged, bool isNew);
    void noteSwitchedFolder(const QByteArray &folder)
    {
        struct stat st;
        if (::lstat(folder.constData(), &st) == 0)
            switchedFolders.emplace_back(folder, st);
    }
    void restoreFolderTimes()
    {
        for (const auto &[folder, st] : switchedFolders) {
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            ::utimensat(AT_FDCWD, folder.constData(), times, AT_SYMLINK_NOFOLLOW);
        }
    }
    void planEntry(const Tree &tree, const QByteArray &from, const QByteArray &staged,
                   const struct stat &st, bool isNew, bool *ok);
    bool enoughSpace();
    bool stage();
    bool stageFile(const Stage &s);
    bool copyFile(const Stage &s);
    bool copyContent(int in, int out, const QByteArray &from, qint64 size);
    bool stageLink(const Stage &s);
    bool commit();
    void discard();

    void report()
    {
        if (!progress)
            return;
        FileUtils::CopyProgress p = state;
        p.bytesDone = qMin(p.bytesDone, p.bytesTotal);
        p.filesDone = qMin(p.filesDone, p.filesTotal);
        progress(p);
    }
    void advance(qint64 bytes, qint64 files)
    {
        state.bytesDone += bytes;
        state.filesDone += files;
        report();
    }
};

UpdateTransaction::UpdateTransaction(const QString &workFolder)
    : d(std::make_unique<Private>(workFolder))
{
}

UpdateTransaction::~UpdateTransaction() = default;

void UpdateTransaction::addTree(const QString &source, const QString &target, Source how,
                                const QStringList &excludes)
{
    d->trees.push_back({enc(source), enc(target), how, excludes});
}

const UpdateTransaction::Failure &UpdateTransaction::failure() const
{
    return d->failure;
}

bool UpdateTransaction::run(const FileUtils::ProgressCallback &progress)
{
    d->progress = progress;
    bool ok = d->prepareWorkFolder() && d->plan();
    if (progress)
        d->report();
    ok = ok && d->enoughSpace() && d->stage() && d->commit();
    if (progress) {
        d->state.bytesDone = d->state.bytesTotal;
        d->state.filesDone = d->state.filesTotal;
        d->report();
    }
    return ok;
}

bool UpdateTransaction::Private::prepareWorkFolder()
{
    // What an interrupted run left is settled first: a new staging folder starts empty.
    if (recover(dec(w.work)) == Recovery::Failed) {
        fail(FailureKind::Unrecovered, w.journal, 0);
        return false;
    }
    if (::mkdir(w.work.constData(), 0755) != 0 && errno != EEXIST)
        return failIo(FailureKind::WriteFailed, "creation of folder", w.work, errno);
    struct stat st;
    if (::lstat(w.work.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return failIo(FailureKind::WriteFailed, "use of work folder", w.work,
                      errno ? errno : ENOTDIR);
    workDevice = st.st_dev;
    blockSize = qMax<qint64>(512, st.st_blksize);
    return true;
}

bool UpdateTransaction::Private::plan()
{
    bool ok = true;
    for (size_t i = 0; i < trees.size(); ++i)
        ok = planTree(trees[i]) && ok;
    return ok;
}

bool UpdateTransaction::Private::planTree(const Tree &tree)
{
    struct stat src;
    if (::lstat(tree.source.constData(), &src) != 0 || !S_ISDIR(src.st_mode))
        return failIo(FailureKind::ReadFailed, "reading of update folder", tree.source,
                      errno ? errno : ENOTDIR);
    if (!tree.target.startsWith(w.base + '/') || tree.target.startsWith(w.work + '/')
        || tree.target == w.work)
        return failIo(FailureKind::WriteFailed, "installation into", tree.target, EXDEV);
    struct stat dst;
    if (::lstat(tree.target.constData(), &dst) == 0) {
        if (!S_ISDIR(dst.st_mode)) {
            qDebug() << kLog << "not a folder, where the update puts one:" << dec(tree.target);
            fail(FailureKind::FileInTheWay, tree.target, 0);
            return false;
        }
        if (dst.st_dev != workDevice)
            return failIo(FailureKind::WriteFailed, "installation into", tree.target, EXDEV);
        return planFolder(tree, tree.source, tree.target, QByteArray(), false);
    }
    if (errno != ENOENT)
        return failIo(FailureKind::WriteFailed, "reading of", tree.target, errno);
    // A target that does not exist yet arrives whole, with one rename.
    struct stat parent;
    if (::lstat(parentOf(tree.target).constData(), &parent) != 0 || !S_ISDIR(parent.st_mode))
        return failIo(FailureKind::WriteFailed, "installation into", tree.target, ENOENT);
    bool ok = true;
    const QByteArray staged = nextStaged();
    planEntry(tree, tree.source, staged, src, true, &ok);
    switches.push_back({staged, tree.target, {}});
    noteSwitchedFolder(parentOf(tree.target));
    return ok;
}

// Plans one update entry into a staging path below which nothing is installed yet.
void UpdateTransaction::Private::planEntry(const Tree &tree, const QByteArray &from,
                                           const QByteArray &staged, const struct stat &st,
                                           bool isNew, bool *ok)
{
    if (S_ISDIR(st.st_mode)) {
        stages.push_back({Stage::Folder, from, staged, st, false});
        ++inodesNeeded;
        bytesNeeded += blockSize;
        *ok = planFolder(tree, from, QByteArray(), staged, isNew) && *ok;
        stages.push_back({Stage::FinishFolder, from, staged, st, false});
    } else if (S_ISREG(st.st_mode)) {
        const bool hardLink = tree.how == Source::Link && st.st_dev == workDevice;
        stages.push_back({Stage::File, from, staged, st, hardLink});
        if (!hardLink) {
            ++inodesNeeded;
            bytesNeeded += (st.st_size + blockSize - 1) / blockSize * blockSize;
        }
        ++state.filesTotal;
        state.bytesTotal += st.st_size;
    } else if (S_ISLNK(st.st_mode)) {
        stages.push_back({Stage::Link, from, staged, st, false});
        ++inodesNeeded;
        bytesNeeded += st.st_size >= 60 ? blockSize : 0; // short targets live in the inode
        ++state.filesTotal;
    } else {
        qDebug() << kLog << "neither file, folder nor link:" << dec(from);
        fail(FailureKind::SpecialFile, from, 0);
        *ok = false;
    }
}

// Plans the entries of an update folder. Below a new folder (isNew, staged as a whole at
// `staged`) everything is new; otherwise each entry is compared with the installed one of
// the same name in `to`, and what replaces or adds one is staged on its own.
bool UpdateTransaction::Private::planFolder(const Tree &tree, const QByteArray &from,
                                            const QByteArray &to, const QByteArray &staged,
                                            bool isNew)
{
    std::vector<QByteArray> names;
    if (!listFolder(from, &names))
        return failIo(FailureKind::ReadFailed, "listing of", from, errno);
    std::sort(names.begin(), names.end());
    bool ok = true;
    const size_t switchesBefore = switches.size();
    for (const QByteArray &name : names) {
        if (!tree.excludes.isEmpty() && tree.excludes.contains(dec(name)))
            continue;
        const QByteArray source = join(from, name);
        struct stat st;
        if (::lstat(source.constData(), &st) != 0) {
            ok = failIo(FailureKind::ReadFailed, "reading of", source, errno);
            continue;
        }
        if (isNew) {
            planEntry(tree, source, join(staged, name), st, true, &ok);
            continue;
        }
        const QByteArray target = join(to, name);
        struct stat installed;
        const bool exists = ::lstat(target.constData(), &installed) == 0;
        if (!exists && errno != ENOENT) {
            ok = failIo(FailureKind::WriteFailed, "reading of", target, errno);
            continue;
        }
        if (S_ISDIR(st.st_mode) && exists && S_ISDIR(installed.st_mode)) {
            ok = planFolder(tree, source, target, QByteArray(), false) && ok;
        } else if (S_ISDIR(st.st_mode) && exists) {
            qDebug() << kLog << "not a folder, where the update puts one:" << dec(target);
            fail(FailureKind::FileInTheWay, target, 0);
            ok = false;
        } else if (exists && S_ISDIR(installed.st_mode)) {
            qDebug() << kLog << "a folder, where the update puts a file:" << dec(target);
            fail(FailureKind::FolderInTheWay, target, 0);
            ok = false;
        } else {
            bool entryOk = true;
            const QByteArray stagedPath = nextStaged();
            planEntry(tree, source, stagedPath, st, true, &entryOk);
            ok = entryOk && ok;
            if (entryOk) {
                const QByteArray old
                    = exists ? join(w.old, stagedPath.mid(w.staging.size() + 1)) : QByteArray();
                switches.push_back({stagedPath, target, old});
            }
        }
    }
    if (!isNew && switches.size() > switchesBefore)
        noteSwitchedFolder(to);
    return ok;
}

bool UpdateTransaction::Private::enoughSpace()
{
    struct statvfs fs;
    if (::statvfs(w.work.constData(), &fs) != 0)
        return true; // nothing to compare with; a full disk still fails the staging
    // The journal: three paths per entry, a few of them escaped.
    qint64 journal = 0;
    for (const Switch &s : switches)
        journal += 2 * (s.staged.size() + s.final.size() + s.old.size()) + 4;
    const qint64 needed
        = bytesNeeded + (journal + blockSize - 1) / blockSize * blockSize + 4 * blockSize;
    const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    constexpr qint64 mb = 1024 * 1024;
    if (needed > free) {
        qDebug().noquote()
            << QStringLiteral("Not enough space to install the update: %1 MB needed, %2 MB free.")
                   .arg((needed + mb - 1) / mb)
                   .arg(free / mb);
        fail(FailureKind::NoSpace, w.work, ENOSPC);
        return false;
    }
    // File systems without a fixed number of entries report none.
    if (fs.f_files > 0 && qint64(fs.f_favail) < inodesNeeded + 4) {
        qDebug().noquote()
            << QStringLiteral(
                   "Not enough free file entries to install the update: %1 needed, %2 free.")
                   .arg(inodesNeeded + 4)
                   .arg(qint64(fs.f_favail));
        fail(FailureKind::NoSpace, w.work, ENOSPC);
        return false;
    }
    return true;
}

bool UpdateTransaction::Private::stage()
{
    for (const QByteArray &folder : {w.staging, w.old}) {
        if (::mkdir(folder.constData(), 0700) != 0) {
            failIo(FailureKind::WriteFailed, "creation of folder", folder, errno);
            discard();
            return false;
        }
    }
    bool ok = true;
    for (const Stage &s : stages) {
        switch (s.kind) {
        case Stage::Folder:
            // Private until it is complete; its own permissions come with FinishFolder.
            if (::mkdir(s.staged.constData(), 0700) != 0)
                ok = failIo(FailureKind::WriteFailed, "creation of folder", s.staged, errno);
            break;
        case Stage::FinishFolder:
            if (::chmod(s.staged.constData(), s.st.st_mode & 07777) != 0)
                ok = failIo(FailureKind::WriteFailed, "setting permissions of", s.staged, errno);
            break;
        case Stage::File:
            ok = stageFile(s);
            break;
        case Stage::Link:
            ok = stageLink(s);
            break;
        }
        if (!ok)
            break;
    }
    // Nothing is switched before every staged byte is on disk.
    if (ok && !syncFolder(w.work, true))
        ok = failIo(FailureKind::WriteFailed, "flush to disk of", w.staging, errno);
    if (!ok)
        discard();
    return ok;
}

bool UpdateTransaction::Private::stageFile(const Stage &s)
{
    if (s.hardLink && !linksRefused) {
        if (::link(s.source.constData(), s.staged.constData()) == 0) {
            advance(s.st.st_size, 1);
            return true;
        }
        // A file system without hard links (or one that refuses them here) gets copies.
        if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP)
            return failIo(FailureKind::WriteFailed, "staging of", s.source, errno);
        linksRefused = true;
    }
    return copyFile(s);
}

bool UpdateTransaction::Private::copyFile(const Stage &s)
{
    // Not blocking: a pipe put in place of a file must not stop the run.
    const int in = ::open(s.source.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0)
        return failIo(FailureKind::ReadFailed, "opening of", s.source, errno);
    struct stat st;
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        qDebug() << kLog << "neither file, folder nor link:" << dec(s.source);
        fail(FailureKind::SpecialFile, s.source, 0);
        return false;
    }
    const int out
        = ::open(s.staged.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return failIo(FailureKind::WriteFailed, "creation of", s.staged, error);
    }
    const qint64 before = state.bytesDone;
    bool ok = copyContent(in, out, s.source, st.st_size);
    ::close(in);
    if (ok && ::fchmod(out, st.st_mode & 07777) != 0)
        ok = failIo(FailureKind::WriteFailed, "setting permissions of", s.staged, errno);
    if (ok) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    if (::close(out) != 0 && ok)
        ok = failIo(FailureKind::WriteFailed, "writing of", s.staged, errno);
    // Counted as planned, whatever the file's size has become meanwhile.
    state.bytesDone = before;
    advance(s.st.st_size, 1);
    return ok;
}

bool UpdateTransaction::Private::copyContent(int in, int out, const QByteArray &from, qint64 size)
{
    qint64 offset = 0;
    qint64 waited = 0;
    bool kernelCopy = true;
    std::vector<char> buffer;
    for (;;) {
        const size_t chunk = size_t(kCopyChunk);
        ssize_t n = -1;
        if (kernelCopy) {
            n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
            if (n < 0
                && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(1024 * 1024);
            n = ::read(in, buffer.data(), buffer.size());
            for (ssize_t written = 0; n > 0 && written < n;) {
                const ssize_t put = ::write(out, buffer.data() + written, size_t(n - written));
                if (put < 0 && errno == EINTR)
                    continue;
                if (put < 0)
                    return failIo(FailureKind::WriteFailed, "writing a copy of", from, errno);
                written += put;
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failIo(errno == EIO ? FailureKind::ReadFailed : FailureKind::WriteFailed,
                          "copy of", from, errno);
        if (n == 0)
            return true;
        // A large file is handed to the disk while it is copied, and what lies more than
        // kWriteBehind back is waited for: it never piles up in memory, and the progress
        // follows the disk.
        if (size > kCopyChunk) {
            ::sync_file_range(out, offset, n, SYNC_FILE_RANGE_WRITE);
            const qint64 settled = offset + n - kWriteBehind;
            if (settled > waited) {
                ::sync_file_range(out, waited, settled - waited,
                                  SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE
                                      | SYNC_FILE_RANGE_WAIT_AFTER);
                waited = settled;
            }
        }
        offset += n;
        advance(n, 0);
    }
}

bool UpdateTransaction::Private::stageLink(const Stage &s)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlink(s.source.constData(), target.data(), size_t(target.size()));
    if (n < 0 || n >= target.size())
        return failIo(FailureKind::ReadFailed, "reading of link", s.source,
                      n < 0 ? errno : ENAMETOOLONG);
    target.truncate(n);
    advance(0, 1);
    if (::symlink(target.constData(), s.staged.constData()) != 0)
        return failIo(FailureKind::WriteFailed, "creation of link", s.staged, errno);
    return true;
}

bool UpdateTransaction::Private::commit()
{
    // The journal's content is on disk before its name: a journal that exists is whole.
    if (!writeFlushed(w.journalNew, journalText(w, switches))) {
        failIo(FailureKind::WriteFailed, "writing of", w.journalNew, errno);
        discard();
        return false;
    }
    if (!renamed(w.journalNew, w.journal) || !syncFolder(w.work)) {
        fail(FailureKind::WriteFailed, w.journal, errno);
        ::unlink(w.journal.constData());
        discard();
        return false;
    }
    std::pair<QByteArray, int> failed;
    switch (switchAll(w, switches, true, &failed)) {
    case SwitchResult::Done:
        return true;
    case SwitchResult::RolledBack:
        restoreFolderTimes();
        qDebug() << kLog
                 << "the switch failed and was undone; the installed folders are unchanged.";
        fail(FailureKind::WriteFailed, failed.first, failed.second);
        return false;
    case SwitchResult::Stuck:
        break;
    }
    // The journal stays: the next start of the installer tries again.
    qDebug() << kLog << "the switch could not be finished; it is repeated at the next start.";
    fail(FailureKind::Unrecovered, failed.first, failed.second);
    return false;
}

void UpdateTransaction::Private::discard()
{
    if (removeLeftovers(w))
        qDebug() << kLog << "staged files removed; the installed folders are unchanged.";
}

void UpdateTransaction::finishCleanUp()
{
    sweeper().wait();
}

UpdateTransaction::Recovery UpdateTransaction::recover(const QString &workFolder)
{
    finishCleanUp();
    const WorkPaths w(enc(workFolder));
    struct stat st;
    if (::lstat(w.work.constData(), &st) != 0)
        return Recovery::NothingToDo;
    if (!S_ISDIR(st.st_mode)) {
        // Never followed: whatever a link there points to is none of this program's work.
        qDebug() << kLog << "not a folder, left alone:" << dec(w.work);
        return Recovery::NothingToDo;
    }
    if (!lexists(w.journal)) {
        if (!lexists(w.staging) && !lexists(w.old) && !lexists(w.journalNew)
            && !lexists(w.rollback))
            return Recovery::NothingToDo;
        // No journal: the switch never began, or it ended before its journal went.
        return removeLeftovers(w) ? Recovery::LeftoversRemoved : Recovery::Failed;
    }
    QByteArray text;
    std::vector<Switch> switches;
    if (!readJournal(w.journal, &text) || !parseJournal(w, text, &switches)) {
        qDebug() << kLog
                 << "the journal of an interrupted installation is damaged; nothing was changed:"
                 << dec(w.journal);
        return Recovery::Failed;
    }
    if (lexists(w.rollback))
        return rollBack(w, switches) ? Recovery::RolledBack : Recovery::Failed;
    switch (switchAll(w, switches, false)) {
    case SwitchResult::Done:
        return Recovery::Completed;
    case SwitchResult::RolledBack:
        return Recovery::RolledBack;
    case SwitchResult::Stuck:
        break;
    }
    return Recovery::Failed;
}
