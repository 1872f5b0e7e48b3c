#pragma once
// The switch: per entry (journal.h), a staged entry is renamed to where nothing was
// ("new": states staged, then final), exchanged with the installed one in one rename
// ("swap": the staged entry's inode at final or not), or, where the file system cannot
// exchange, the installed one is moved aside first ("aside": staged+final, staged+old,
// final+old); an entry already as the update has it only gets its times ("times").
// Every step can be repeated and undone from whichever state it finds, so a switch cut
// short by a power cut is finished or undone by the recovery, which may itself be cut
// short and run again. Every name is reached below the flash disk's folder without
// following a link (places.h); an entry that cannot be reached so stops the whole switch
// before anything of it is done.

#include "journal.h"
#include "workfolder.h"

#include <QByteArray>

#include <utility>
#include <vector>

class BackgroundRemoval;

// What stopped a switch: the entry (relative path; empty for the flash disk's folder) and
// the system's reason.
using SwitchFailure = std::pair<QByteArray, int>;

enum class SwitchResult {
    Done,       // every entry is in place; the journal is gone
    RolledBack, // an entry failed and the switch was undone; the journal is gone
    Stuck,      // neither finished nor undone: the journal stays for the next start
    Refused,    // an entry cannot be reached without a link: nothing was done
};

// Applies every entry in order. fresh: the entries are known to be in their first
// state (the switch of this process), so no name needs looking up. On the first failure
// the whole switch is undone. Whatever the result but Done, *failed names the first
// entry that failed, or could not be reached, and the system's reason. Once the switch is
// done, the leftovers are removed: by removal when given (in the background), else at once.
// hold: the update is held back (pendingupdate.h): once the switch is done and flushed its
// journal is kept as the record of the held-back entries, and nothing is removed.
SwitchResult switchAll(const WorkFolder &w, const std::vector<SwitchEntry> &entries, bool fresh,
                       BackgroundRemoval *removal = nullptr, SwitchFailure *failed = nullptr,
                       bool hold = false);

// Puts every entry back, last first. The rollback mark goes to disk first (again, when a
// rollback cut short is finished), so that a power cut meanwhile is recovered in the
// same direction. Refused or RolledBack, or Stuck when anything could not be put back
// (the journal then stays); *failed as above.
SwitchResult rollBack(const WorkFolder &w, const std::vector<SwitchEntry> &entries,
                      SwitchFailure *failed = nullptr, BackgroundRemoval *removal = nullptr);
