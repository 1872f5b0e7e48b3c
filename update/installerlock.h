#pragma once
// One installer per device: the lock is held on a file of the flash disk for the whole
// run, so a second installer (or a recovery at boot) never works on the folders while
// another one does. The system drops the lock when the process ends, however it ends.

#include <QByteArray>
#include <QString>

class InstallerLock
{
public:
    enum class Result {
        Acquired,
        Busy,        // another process holds it
        Unavailable, // the lock file cannot be made (no flash disk, read-only)
    };

    explicit InstallerLock(const QString &path);
    ~InstallerLock();
    InstallerLock(const InstallerLock &) = delete;
    InstallerLock &operator=(const InstallerLock &) = delete;

    // Takes the lock without waiting. Its folder is created when missing.
    Result acquire();

private:
    QByteArray m_path;
    int m_fd = -1;
};
