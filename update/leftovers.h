#pragma once
// What a finished or abandoned switch leaves in the work folder: the staging folder, the
// replaced (old) entries, a journal that was never completed, a rollback mark.

#include "workfolder.h"

#include <QStringList>

#include <thread>

// Removes the leftovers (never following a link); every failure is logged (with the
// prefix "Update:"), or added to failures when that is given. False when anything stays.
bool removeLeftovers(const WorkFolder &w, QStringList *failures = nullptr);

// Whether the work folder holds anything a switch leaves (the lock aside).
bool hasLeftovers(const WorkFolder &w);

// The removal of the old files after a switch, on a thread of its own: nothing reads
// them any more, the result is shown meanwhile, and a power cut before it is over only
// leaves what the next start removes. One object owns the thread; wait() joins it and
// logs what could not be removed. Destroying the object waits too.
class BackgroundRemoval
{
public:
    BackgroundRemoval() = default;
    ~BackgroundRemoval();
    BackgroundRemoval(const BackgroundRemoval &) = delete;
    BackgroundRemoval &operator=(const BackgroundRemoval &) = delete;

    // Starts removing the leftovers of w (after waiting for an earlier removal).
    void start(const WorkFolder &w);
    // Waits until the removal is over and logs its failures. Nothing when none runs.
    void wait();

private:
    std::thread m_thread;
    QStringList m_failures; // written by the thread only, until it is joined
};
