#include "logmessagehandler.h"

#include "devicepath.h"

#include <QFile>
#include <QTextStream>

#include <fcntl.h>
#include <unistd.h>

namespace corvane {

QString logFilePath()
{
    return devicePath(QStringLiteral("/USB HD/Corvane_Installer/log.txt"));
}

void logMessageHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    // A message raised while a message is written (by the file code itself) would
    // come back here; it is dropped instead.
    static thread_local bool writing = false;
    if (writing)
        return;
    writing = true;
    // Opened without blocking: a named pipe in place of the log (no reader) would
    // otherwise stop the whole run at its first message. Files are not affected.
    const int fd = ::open(QFile::encodeName(logFilePath()).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    QFile file;
    if (fd >= 0) {
        if (file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
            QTextStream stream(&file);
            stream << message << "\n";
        } else {
            ::close(fd);
        }
    }
    writing = false;
}

} // namespace corvane
