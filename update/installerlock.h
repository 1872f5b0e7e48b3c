#pragma once
// One installer per device: the lock is held on a file in the installer's work folder
// for the whole run, so a second installer (or a recovery at boot) never works on the
// folders while another one does. The system drops the lock when the process ends,
// however it ends. There is no running without it: any failure to take it ends the run.

#include "workfolder.h"

class InstallerLock
{
public:
    enum class Result {
        Acquired,
        Busy,   // another process holds it
        Failed, // it cannot be taken (logged): the work folder is not open, the file is
                // not a file of ours, the disk refuses
    };

    explicit InstallerLock(const WorkFolder &work);
    ~InstallerLock();
    InstallerLock(const InstallerLock &) = delete;
    InstallerLock &operator=(const InstallerLock &) = delete;

    // Takes the lock without waiting.
    Result acquire();

private:
    const WorkFolder &m_work;
    int m_fd = -1;
};
