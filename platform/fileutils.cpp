#include "fileutils.h"

#include "posixfs.h"
#include "treeremoval.h"

#include <QDebug>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

using corvane::fs::enc;

bool FileUtils::dirExists(QString path) const // NOLINT(performance-unnecessary-value-param)
{
    // Polled every 100 ms for the stick: one stat call, no Qt file engine.
    struct stat st;
    return ::stat(enc(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileUtils::fileExists(QString path) const // NOLINT(performance-unnecessary-value-param)
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
        corvane::fs::logFailure("FileUtils:", "removal of", native, errno);
        return false;
    case corvane::PathKind::Other:
        qDebug() << "FileUtils:" << path << "is not a folder; not removed";
        return false;
    default:
        return corvane::removeFolderTree(native);
    }
}
