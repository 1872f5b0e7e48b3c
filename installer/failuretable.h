#pragma once
// What the technician reads when something fails: for every reason, the line in the
// window's output pane (below "Installing update to Corvane...", or above everything for
// what the start found) and the line in the log on the stick. One row per reason, the
// update engine's (UpdateTransaction::FailureKind) and the run's own alike; a new reason
// is a new row in failuretable.cpp. The engine logs the details (each file, each system
// call) where they happen; these lines say what they amount to.

#include "updatetransaction.h"

#include <QString>

#include <variant>
#include <vector>

// Reasons of a run besides the engine's.
enum class RunTrouble {
    CleanUp,      // old list or backup files could not all be removed
    OldFilesStay, // the files this run replaced could not all be removed afterwards
    // Found by the recovery at the start:
    LastInstallationUnsettled, // an interrupted installation could be neither completed nor undone
    LastInstallationLeftovers, // what the last installation left cannot be removed
};

using FailureReason = std::variant<UpdateTransaction::FailureKind, RunTrouble>;

// In the texts, %1 stands for the path concerned (relative to the flash disk's folder) and
// %2 for the system's reason or what is wrong.
struct FailureRow
{
    FailureReason reason;
    const char *screen;
    const char *log;
};

// Every row.
const std::vector<FailureRow> &failureTable();

// A reason's lines with the path and the reason of failure filled in.
QString failureScreenLine(const FailureReason &reason,
                          const UpdateTransaction::Failure &failure = {});
QString failureLogLine(const FailureReason &reason, const UpdateTransaction::Failure &failure = {});
