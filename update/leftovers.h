#pragma once
// What a finished or abandoned switch leaves in the work folder: the staging folder, the
// replaced (old) entries, a journal that was never completed, a rollback mark.

#include "workfolder.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <thread>

// Removes the leftovers (never following a link); every failure is logged (with the
// prefix "Update:"), or added to failures when that is given. False when anything stays.
bool removeLeftovers(const WorkFolder &w, QStringList *failures = nullptr);

class BackgroundRemoval;
// The same by removal in the background when it is given, else at once.
void removeLeftovers(const WorkFolder &w, BackgroundRemoval *removal);

// The mark a switch that went forward to its end leaves until its leftovers are gone.
inline constexpr char kSwitchedMark[] = "switched";

// What the work folder holds besides its lock: the replaced files of a finished
// installation (the mark is there: they lie in old/ when set aside, in staging/ when
// exchanged), or the staged files of one that never switched or was undone.
enum class Leftovers {
    None,
    Staged,   // staged files (or only the empty folders and marks) of an unfinished run
    OldFiles, // the replaced files of a finished installation
};
Leftovers leftoversIn(const WorkFolder &w);

// Carries the end of a removal from its thread to the owner's. The connection is made on
// the owner's thread before any removal starts: the removal's thread only emits.
class RemovalEnd : public QObject
{
    Q_OBJECT
signals:
    void ended(quint64 removal);
};

// The removal of the old files after a switch, on a thread of its own: nothing reads
// them any more, the result is shown meanwhile, and a power cut before it is over only
// leaves what the next start removes. One object owns the thread. When the removal ends,
// its failures are logged on the thread that owns this object as soon as that thread's
// event loop runs, and then finished is called with whether everything went; wait() does
// both at once when it comes first. Destroying the object waits too.
class BackgroundRemoval
{
public:
    explicit BackgroundRemoval(std::function<void(bool removed)> finished = {});
    ~BackgroundRemoval();
    BackgroundRemoval(const BackgroundRemoval &) = delete;
    BackgroundRemoval &operator=(const BackgroundRemoval &) = delete;

    // Starts removing the leftovers of w (after waiting for an earlier removal).
    void start(const WorkFolder &w);
    // Waits until the removal is over, logs its failures and reports. Nothing when none
    // runs or its end was already reported.
    void wait();

private:
    std::function<void(bool)> m_finished;
    RemovalEnd m_end; // on the owner's thread: the end of a removal is queued to it
    std::thread m_thread;
    quint64 m_removals = 0; // which removal a posted end belongs to
    QStringList m_failures; // written by the thread only, until it is joined
    bool m_removed = true;  // likewise
};
