#include "logmessagehandler.h"

#include "devicepath.h"

#include <QFile>
#include <QTextStream>

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
    QFile file(logFilePath());
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        QTextStream stream(&file);
        stream << message << "\n";
    }
    writing = false;
}

} // namespace corvane
