#pragma once
// Device paths: the program names every file by its absolute path on the device
// ("/FlashDisk/...", "/USB HD/..."). A DeviceRoot maps such a path onto the host, so the
// same code runs on a device and against a simulated device tree in tests and the demo.
// The program builds one at start-up from CORVANE_DEVICE_ROOT and hands it to whatever
// needs device paths; tests build their own.

#include <QString>

namespace corvane {

class DeviceRoot
{
public:
    // Device paths as they stand: the device itself.
    DeviceRoot() = default;
    // Every device path below root (a host folder; trailing slashes are ignored).
    explicit DeviceRoot(const QString &root);

    // The root named by CORVANE_DEVICE_ROOT, or the device itself when it is unset or empty.
    // False when it names no absolute folder (a relative path would depend on where the
    // program happens to be started).
    static bool fromEnvironment(DeviceRoot *root);

    // Host path of a device path: the root put in front of it.
    QString path(const QString &devicePath) const { return m_root + devicePath; }
    QString path(const char *devicePath) const { return m_root + QLatin1String(devicePath); }

    // The host folder in front of every device path; empty on the device itself.
    const QString &root() const { return m_root; }

private:
    QString m_root;
};

} // namespace corvane
