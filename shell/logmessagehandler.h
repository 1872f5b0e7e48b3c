#pragma once
// Every Qt message of the program becomes one line of the log file on the USB stick.
// The file is opened and closed for each message, so the log on the stick is complete
// whenever the stick is pulled; while the stick folder is missing, messages are dropped.

#include "devicepath.h"

#include <QString>
#include <QtGlobal>

namespace corvane {

// Where the log goes from now on: the stick folder of that device. Set once at start-up
// (tests set their own); until then, the device's own stick folder.
void setLogDevice(const DeviceRoot &root);

// Host path of the log file ("/USB HD/Corvane_Installer/log.txt" on the device).
QString logFilePath();

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

} // namespace corvane
