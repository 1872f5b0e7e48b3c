#include "fileutils.h"

#include "treeremoval.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// A batch of written but not yet renamed files is flushed once it holds this much,
// which bounds the extra disk space a copy needs while keeping the number of flushes low.
constexpr qint64 kBatchBytes = 64 * 1024 * 1024;
constexpr int kBatchFiles = 512;
constexpr qint64 kCopyChunk = 4 * 1024 * 1024;
constexpr qint64 kWriteBehind = 32 * 1024 * 1024;
const char kTempPrefix[] = ".corvane-tmp-";

QByteArray enc(const QString &path) { return QFile::encodeName(path); }
QString dec(const QByteArray &path) { return QFile::decodeName(path); }
QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

void logFailure(const char *what, const QByteArray &path, int error)
{
    qDebug() << "FileUtils:" << what << dec(path) << "failed:" << errorText(error);
}

QByteArray join(const QByteArray &folder, const char *name)
{
    QByteArray result = folder;
    if (!result.endsWith('/'))
        result += '/';
    return result + name;
}

bool isDotEntry(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool isTemporary(const char *name)
{
    return std::strncmp(name, kTempPrefix, sizeof(kTempPrefix) - 1) == 0;
}

// Entry names of a folder without "." and "..", or false with errno set.
bool listFolder(const QByteArray &folder, std::vector<QByteArray> *names)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    errno = 0;
    while (dirent *entry = ::readdir(dir)) {
        if (!isDotEntry(entry->d_name))
            names->emplace_back(entry->d_name);
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0;
}

bool isExcluded(const char *name, const QStringList &excludes)
{
    return !excludes.isEmpty() && excludes.contains(QFile::decodeName(name));
}

void measure(const QByteArray &folder, const QStringList &excludes, FileUtils::CopyProgress *p)
{
    std::vector<QByteArray> names;
    if (!listFolder(folder, &names))
        return;
    for (const QByteArray &name : names) {
        if (isTemporary(name.constData()) || isExcluded(name.constData(), excludes))
            continue;
        const QByteArray path = join(folder, name.constData());
        struct stat st;
        if (::lstat(path.constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            measure(path, excludes, p);
        } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
            ++p->filesTotal;
            if (S_ISREG(st.st_mode))
                p->bytesTotal += st.st_size;
        }
    }
}

// One copy run: walks the source, writes temporary files next to their targets and
// commits them in batches (flush, then rename, then flush of the folders).
class TreeCopier
{
public:
    TreeCopier(const QStringList &excludes, const FileUtils::ProgressCallback &progress)
        : m_excludes(excludes), m_progress(progress)
    {
    }

    bool run(const QByteArray &source, const QByteArray &target)
    {
        if (m_progress) {
            m_state = FileUtils::measureTree(dec(source), m_excludes);
            report();
        }
        bool ok = copyFolder(source, target);
        ok = commit() && ok;
        if (m_progress) {
            m_state.bytesDone = m_state.bytesTotal;
            m_state.filesDone = m_state.filesTotal;
            report();
        }
        return ok;
    }

private:
    struct Pending
    {
        QByteArray temporary;
        QByteArray final;
        QByteArray folder;
    };

    void report()
    {
        // A walk that found more than was measured (files added meanwhile) never
        // reports past the total.
        FileUtils::CopyProgress p = m_state;
        p.bytesDone = qMin(p.bytesDone, p.bytesTotal);
        p.filesDone = qMin(p.filesDone, p.filesTotal);
        m_progress(p);
    }

    void advance(qint64 bytes, qint64 files)
    {
        m_state.bytesDone += bytes;
        m_state.filesDone += files;
        if (m_progress)
            report();
    }

    QByteArray temporaryIn(const QByteArray &folder)
    {
        return join(folder, (m_temporaryStem + QByteArray::number(++m_counter)).constData());
    }

    // Creates the target folder when it is missing and clears temporaries that an
    // interrupted earlier copy left in it.
    bool prepareFolder(const QByteArray &folder, mode_t mode)
    {
        struct stat st;
        if (::stat(folder.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                qDebug() << "FileUtils: target" << dec(folder) << "is not a folder";
                return false;
            }
        } else if (errno == ENOENT) {
            if (::mkdir(folder.constData(), mode & 07777) != 0 && errno != EEXIST) {
                logFailure("creation of folder", folder, errno);
                return false;
            }
            ::chmod(folder.constData(), mode & 07777);
            const int slash = folder.lastIndexOf('/');
            m_touchedFolders.insert(slash > 0 ? folder.left(slash) : QByteArray("/"));
            return true;
        } else {
            logFailure("stat of", folder, errno);
            return false;
        }
        std::vector<QByteArray> names;
        if (listFolder(folder, &names)) {
            for (const QByteArray &name : names) {
                if (isTemporary(name.constData())) {
                    const QByteArray stale = join(folder, name.constData());
                    if (::unlink(stale.constData()) == 0) {
                        qDebug() << "FileUtils: removed unfinished temporary file" << dec(stale);
                        m_touchedFolders.insert(folder);
                    }
                }
            }
        }
        return true;
    }

    bool copyFolder(const QByteArray &source, const QByteArray &target)
    {
        struct stat st;
        if (::stat(source.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            logFailure("reading of source folder", source, errno ? errno : ENOTDIR);
            return false;
        }
        if (!prepareFolder(target, st.st_mode))
            return false;
        std::vector<QByteArray> names;
        if (!listFolder(source, &names)) {
            logFailure("listing of", source, errno);
            return false;
        }
        bool ok = true;
        for (const QByteArray &name : names) {
            if (isTemporary(name.constData()) || isExcluded(name.constData(), m_excludes))
                continue;
            const QByteArray from = join(source, name.constData());
            const QByteArray to = join(target, name.constData());
            struct stat entry;
            if (::lstat(from.constData(), &entry) != 0) {
                logFailure("stat of", from, errno);
                ok = false;
            } else if (S_ISDIR(entry.st_mode)) {
                ok = copyFolder(from, to) && ok;
            } else if (S_ISREG(entry.st_mode)) {
                ok = copyFile(from, to, target, entry) && ok;
            } else if (S_ISLNK(entry.st_mode)) {
                ok = copyLink(from, to, target) && ok;
            } else {
                qDebug() << "FileUtils: skipped" << dec(from) << "(neither file, folder nor link)";
                ok = false;
            }
        }
        return ok;
    }

    bool copyContent(int in, int out, const QByteArray &from, qint64 size)
    {
        qint64 left = size;
        qint64 offset = 0;
        qint64 waited = 0;
        bool kernelCopy = true;
        std::vector<char> buffer;
        while (left > 0) {
            const size_t chunk = size_t(qMin(left, kCopyChunk));
            ssize_t n = -1;
            if (kernelCopy) {
                n = ::copy_file_range(in, nullptr, out, nullptr, chunk, 0);
                if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL
                              || errno == EOPNOTSUPP)) {
                    kernelCopy = false;
                    continue;
                }
            } else {
                buffer.resize(1024 * 1024);
                n = ::read(in, buffer.data(), qMin(chunk, buffer.size()));
                if (n > 0) {
                    ssize_t written = 0;
                    while (written < n) {
                        const ssize_t w = ::write(out, buffer.data() + written, size_t(n - written));
                        if (w < 0) {
                            if (errno == EINTR)
                                continue;
                            logFailure("writing a copy of", from, errno);
                            return false;
                        }
                        written += w;
                    }
                }
            }
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                logFailure("copy of", from, errno);
                return false;
            }
            if (n == 0)
                break; // the file shrank meanwhile; what is there is copied
            // Start writing this chunk to disk at once and wait for what lies more than
            // kWriteBehind back: a large file never piles up in memory, the progress
            // follows the disk, and the disk always has work queued.
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
            left -= n;
            advance(n, 0);
        }
        // The file grew meanwhile: copy the rest as well.
        char rest[65536];
        for (;;) {
            const ssize_t n = ::read(in, rest, sizeof rest);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                logFailure("reading of", from, errno);
                return false;
            }
            if (::write(out, rest, size_t(n)) != n) {
                logFailure("writing a copy of", from, errno);
                return false;
            }
        }
        return true;
    }

    bool copyFile(const QByteArray &from, const QByteArray &to, const QByteArray &folder,
                  const struct stat &st)
    {
        const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (in < 0) {
            logFailure("opening of", from, errno);
            advance(st.st_size, 1);
            return false;
        }
        const QByteArray temporary = temporaryIn(folder);
        const int out = ::open(temporary.constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (out < 0) {
            logFailure("creation of a temporary file for", to, errno);
            ::close(in);
            advance(st.st_size, 1);
            return false;
        }
        const qint64 before = m_state.bytesDone;
        bool ok = copyContent(in, out, from, st.st_size);
        ::close(in);
        if (ok && ::fchmod(out, st.st_mode & 07777) != 0) {
            logFailure("setting permissions of", to, errno);
            ok = false;
        }
        if (ok) {
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            ::futimens(out, times);
        }
        if (::close(out) != 0 && ok) {
            logFailure("writing of", to, errno);
            ok = false;
        }
        // Count the file as done whatever its outcome, so the progress stays true to the walk.
        m_state.bytesDone = before;
        advance(st.st_size, 1);
        if (!ok) {
            ::unlink(temporary.constData());
            return false;
        }
        return queue(temporary, to, folder, st.st_size);
    }

    bool copyLink(const QByteArray &from, const QByteArray &to, const QByteArray &folder)
    {
        QByteArray link(4096, Qt::Uninitialized);
        const ssize_t n = ::readlink(from.constData(), link.data(), size_t(link.size()));
        if (n < 0 || n >= link.size()) {
            logFailure("reading of link", from, n < 0 ? errno : ENAMETOOLONG);
            advance(0, 1);
            return false;
        }
        link.truncate(n);
        const QByteArray temporary = temporaryIn(folder);
        advance(0, 1);
        if (::symlink(link.constData(), temporary.constData()) != 0) {
            logFailure("creation of link", to, errno);
            return false;
        }
        return queue(temporary, to, folder, 0);
    }

    bool queue(const QByteArray &temporary, const QByteArray &final, const QByteArray &folder,
               qint64 bytes)
    {
        m_pending.push_back({temporary, final, folder});
        m_pendingBytes += bytes;
        if (m_pendingBytes >= kBatchBytes || int(m_pending.size()) >= kBatchFiles)
            return commit();
        return true;
    }

    // Puts the batch in place: nothing is renamed before its content is on disk.
    bool commit()
    {
        bool ok = true;
        if (!m_pending.empty()) {
            const int fd = ::open(m_pending.front().folder.constData(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 || ::syncfs(fd) != 0) {
                logFailure("flush to disk of the copy into", m_pending.front().folder, errno);
                ok = false;
            }
            if (fd >= 0)
                ::close(fd);
            for (const Pending &p : m_pending) {
                if (!ok) {
                    ::unlink(p.temporary.constData());
                    continue;
                }
                if (::rename(p.temporary.constData(), p.final.constData()) != 0) {
                    logFailure("replacement of", p.final, errno);
                    ::unlink(p.temporary.constData());
                    ok = false;
                } else {
                    m_touchedFolders.insert(p.folder);
                }
            }
            m_pending.clear();
            m_pendingBytes = 0;
        }
        for (const QByteArray &folder : m_touchedFolders) {
            const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0 || ::fsync(fd) != 0) {
                logFailure("flush to disk of folder", folder, errno);
                ok = false;
            }
            if (fd >= 0)
                ::close(fd);
        }
        m_touchedFolders.clear();
        return ok;
    }

    const QStringList &m_excludes;
    const FileUtils::ProgressCallback &m_progress;
    FileUtils::CopyProgress m_state;
    std::vector<Pending> m_pending;
    qint64 m_pendingBytes = 0;
    std::set<QByteArray> m_touchedFolders;
    quint64 m_counter = 0;
    const QByteArray m_temporaryStem = QByteArray(kTempPrefix) + QByteArray::number(::getpid()) + '-';
};

} // namespace

bool FileUtils::dirExists(QString path) const
{
    // Polled every 100 ms for the stick: one stat call, no Qt file engine.
    struct stat st;
    return ::stat(enc(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileUtils::fileExists(QString path) const
{
    struct stat st;
    return ::stat(enc(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FileUtils::removeDir(const QString &path) const
{
    const QByteArray native = enc(path);
    switch (corvane::pathKind(native)) {
    case corvane::PathKind::Missing:
        return true;
    case corvane::PathKind::Link:
        // A link where the folder should be is removed as a link: what it points to is
        // not part of the folder, and a link left here would be installed and followed later.
        if (::unlink(native.constData()) == 0 || errno == ENOENT) {
            qDebug().noquote() << "FileUtils:" << corvane::quotedForLog(native)
                               << "is a symbolic link; removed as a link, not followed";
            return true;
        }
        logFailure("removal of", native, errno);
        return false;
    case corvane::PathKind::Other:
        qDebug() << "FileUtils:" << path << "is not a folder; not removed";
        return false;
    default:
        return corvane::removeFolderTree(native);
    }
}

bool FileUtils::CopyRecursivelyOverwrite(const QString &source, const QString &target,
                                         const QStringList &excludes,
                                         const ProgressCallback &progress) const
{
    TreeCopier copier(excludes, progress);
    return copier.run(enc(source), enc(target));
}

FileUtils::CopyProgress FileUtils::measureTree(const QString &source, const QStringList &excludes)
{
    CopyProgress p;
    measure(enc(source), excludes, &p);
    return p;
}

QString FileUtils::temporaryPrefix()
{
    return QString::fromLatin1(kTempPrefix);
}
