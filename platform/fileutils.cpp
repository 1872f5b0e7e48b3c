#include "fileutils.h"

#include "updatetransaction.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

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

bool removeTree(const QByteArray &path)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        logFailure("stat of", path, errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.constData()) == 0 || errno == ENOENT)
            return true;
        logFailure("removal of", path, errno);
        return false;
    }
    std::vector<QByteArray> names;
    if (!listFolder(path, &names)) {
        logFailure("listing of", path, errno);
        return false;
    }
    bool ok = true;
    for (const QByteArray &name : names)
        ok = removeTree(join(path, name.constData())) && ok;
    if (::rmdir(path.constData()) != 0 && errno != ENOENT) {
        logFailure("removal of", path, errno);
        ok = false;
    }
    return ok;
}

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
    struct stat st;
    if (::lstat(native.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) {
        qDebug() << "FileUtils:" << path << "is not a folder; not removed";
        return false;
    }
    return removeTree(native);
}

bool FileUtils::CopyRecursivelyOverwrite(const QString &source, const QString &target,
                                         const QStringList &excludes,
                                         const ProgressCallback &progress) const
{
    // Staged beside the target, on its file system, and switched in as a whole.
    const QFileInfo info(target);
    const QString work = info.absolutePath() + QStringLiteral("/.corvane-copy-") + info.fileName();
    UpdateTransaction copy(work);
    copy.addTree(source, target, UpdateTransaction::Source::Copy, excludes);
    const bool ok = copy.run(progress);
    UpdateTransaction::finishCleanUp();
    // Empty unless a switch is left to finish (then the next copy finishes it).
    ::rmdir(enc(work).constData());
    return ok;
}
