#include "logmessagehandler.h"

#include "devicefiles.h"

#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {
// The names are plain characters: messages may still come while static objects are
// destroyed at exit.
using device::logFileName;
using device::stickFolder;

// The stick folder's host path. A plain array, never destroyed: messages may still come
// while static objects are destroyed at exit.
char g_stickFolder[4096] = {};

const char *stickFolderPath()
{
    return g_stickFolder[0] != '\0' ? g_stickFolder : stickFolder;
}

// The log file on the stick, opened for appending, or -1. Only a regular file directly
// in the stick folder qualifies, reached through no link: neither the folder nor the
// file may be a link (a stick can carry links that lead onto the flash disk), and
// nothing else (a device, a pipe, a socket, a folder) is ever opened for writing, since
// opening some devices has effects of its own. "/USB HD" itself, the stick's mount
// point, is the system's and is followed.
int openLog()
{
    const int folder = ::open(stickFolderPath(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return -1;
    struct stat st;
    int fd = -1;
    const bool found = ::fstatat(folder, logFileName, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if ((found && S_ISREG(st.st_mode)) || (!found && errno == ENOENT)) {
        // Without blocking: should a named pipe take the file's place meanwhile, it must
        // not stop the run.
        fd = ::openat(
            folder, logFileName,
            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
        }
    }
    ::close(folder);
    return fd;
}
} // namespace

void setLogDevice(const DeviceRoot &root)
{
    const QByteArray folder = QFile::encodeName(root.path(stickFolder));
    // A folder too long for any path gets no log rather than another device's.
    const QByteArray kept = folder.size() < qsizetype(sizeof g_stickFolder)
        ? folder
        : QByteArray("/nonexistent/too-long-stick-folder");
    std::memcpy(g_stickFolder, kept.constData(), size_t(kept.size()) + 1);
}

QString logFilePath()
{
    return QFile::decodeName(stickFolderPath()) + QLatin1Char('/') + QLatin1String(logFileName);
}

void logMessageHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // A message raised while a message is written (by the file code itself) would
    // come back here; it is dropped instead.
    static thread_local bool writing = false;
    if (writing)
        return;
    writing = true;
    // Logging leaves errno as it found it, for callers that log before they read it.
    const int savedErrno = errno;
    const int fd = openLog();
    QFile file;
    if (fd >= 0) {
        if (file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
            QTextStream stream(&file);
            stream << message << "\n";
        } else {
            ::close(fd);
        }
    }
    errno = savedErrno;
    writing = false;
}

} // namespace corvane
