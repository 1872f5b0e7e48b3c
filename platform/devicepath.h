#pragma once
// Device paths: the program names every file by its absolute path on the device
// ("/FlashDisk/...", "/USB HD/..."). devicePath() is the one place that maps such a
// path onto the host, so the same code runs on a device and against a simulated
// device tree (CORVANE_DEVICE_ROOT) in tests and the demo.

#include <QString>

namespace corvane {

// Returns the host path of a device path. With CORVANE_DEVICE_ROOT set, its value is
// put in front of the path; without it the path is returned unchanged.
QString devicePath(const QString &path);

} // namespace corvane
