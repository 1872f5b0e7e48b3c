#pragma once
// An update that is installed but not yet confirmed. After its switch, what it replaced is
// held back in the work folder (moved there, never copied) until the application has
// proved itself, or root confirms it; when the application fails, the held-back entries
// are exchanged back as an undone switch is, and the device runs the old installation.
//
// In the work folder, besides the lock:
//   pending        the record below; written before the journal of a switch that holds
//                  back, and replaced whole (replaceFileAt) at every change
//   held           the switch's journal, renamed once the switch is done and flushed: its
//                  staging/ and old/ entries are the replaced ones
//   held-version   the record of the installed version the update replaced (a second
//                  name of the old record's file)
//   cleared/       the list, xml and backup files the clearing moved out, each at its path
//                  relative to the flash disk's folder
//   history        one line per confirmation and fallback (the last 200)
//   history-shown  the number of the last history line that a stick's log received
//
// The record's state, and what every start of the installer does in it:
//   (none)     nothing is pending. A cleared/ folder without the mark of a finished switch
//              is what a cut left of a clearing whose switch never came: put back.
//   held       pending. Neither "held" nor a journal: the switch never happened, so all of
//              it is put back as it was (an interrupted installation, no history line).
//              Otherwise the start is counted, and the third one falls back.
//   confirmed  decided good: history line, mark of a finished switch, record removed, then
//              the held-back files removed (in the background where the caller allows).
//   fallback   decided bad: cleared files and version record back, the switch undone
//              ("held" renamed to the journal, the rollback mark first), folder times back,
//              history line, record removed.
// Each step can be repeated from whatever a cut left, so a start completes what a decision
// began. Every name is reached below the work folder or the flash disk's folder through
// descriptors (places.h), never by path.

#include "switchover.h"
#include "workfolder.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include <sys/stat.h>

class BackgroundRemoval;

namespace corvane::update {

inline constexpr char kPendingName[] = "pending";
inline constexpr char kHeldName[] = "held";
inline constexpr char kHeldVersionName[] = "held-version";
inline constexpr char kClearedName[] = "cleared";
inline constexpr char kHistoryName[] = "history";
inline constexpr char kHistoryShownName[] = "history-shown";
// Starts without a confirmation after which an update is undone.
inline constexpr int kStartsBeforeFallback = 3;

// A folder's times before the update touched it: put back by a fallback. Path relative to
// the flash disk's folder (empty: that folder itself).
struct FolderTimes
{
    QByteArray path;
    timespec times[2]{};
};

struct PendingRecord
{
    enum class State { Held, Confirmed, FallingBack };
    // What happened to the record of the installed version: left as it was (an unsigned
    // update), replaced (the old one is held-version), or made where there was none.
    enum class VersionRecord { Kept, Held, None };

    State state = State::Held;
    qint64 since = 0; // wall-clock seconds of the switch (for the history only)
    int starts = 0;   // starts of the installer since, without a confirmation
    QByteArray from;  // product versions, empty when unknown
    QByteArray to;
    VersionRecord versionRecord = VersionRecord::Kept;
    QString reason; // of the decision
    std::vector<FolderTimes> folders;
};

QByteArray pendingText(const PendingRecord &record);
bool parsePending(const QByteArray &text, PendingRecord *record);

enum class PendingRead { None, Found, Damaged };
// Whether a record is there (sound or not).
bool isPending(const WorkFolder &w);
PendingRead readPending(const WorkFolder &w, PendingRecord *record);
// Replaced whole and flushed; false with errno set.
bool writePending(const WorkFolder &w, const PendingRecord &record);

// The update as the history names it: "2.3.0 -> 2.4.1".
QString pendingVersions(const PendingRecord &record);

// Appends a line to the history ("<n> <UTC time> <text>"), keeping the last 200 lines.
bool appendHistory(const WorkFolder &w, const QString &text);
// History lines after the last one marked shown, and their last number.
QStringList historyNotShown(const WorkFolder &w, qint64 *last);
bool markHistoryShown(const WorkFolder &w, qint64 last);

// Clearing that holds back: the entries are moved below cleared/, and the folders they
// were in are noted with their times before the first one went.
class ClearedFiles
{
public:
    explicit ClearedFiles(const WorkFolder &w);
    // Moves the entry (relative to the flash disk's folder) as a whole; one missing is fine.
    bool holdBack(const QByteArray &relative, const std::function<void(int error)> &report);
    // Moves every entry that is not a folder below the folder whose name matches the
    // wildcard; links are moved, never followed. report: each entry, 0 or the errno.
    bool holdBackMatching(const QByteArray &relativeFolder, const QByteArray &wildcard,
                          const std::function<void(const QByteArray &, int error)> &report);
    const std::vector<FolderTimes> &touchedFolders() const { return m_touched; }

private:
    bool moveOut(int parentFd, const QByteArray &name, const QByteArray &relative);
    void noteFolder(int fd, const QByteArray &relative);

    const WorkFolder &m_w;
    std::vector<FolderTimes> m_touched;
};

// Puts every held-back cleared entry back where it was (what stands there now, made by
// the new application meanwhile, goes). True when cleared/ is gone.
bool restoreCleared(const WorkFolder &w);

// Undoes what an update that holds back did before its switch, or after a switch that
// was undone: cleared files, version record, record. Silent but for failures.
bool undoHold(const WorkFolder &w, const PendingRecord &record);

// The decisions, each completed from whatever state a cut left. targets: the installed
// folders (host paths), as for UpdateTransaction::recover(). False when something could
// not be done (logged): the record stays and the next start tries again.
bool confirmPending(const WorkFolder &w, PendingRecord record, const QString &reason,
                    BackgroundRemoval *removal);
// removal, when given, removes the update's files after the undo in the background, so
// that the old application can start at once.
bool fallBack(const WorkFolder &w, const QStringList &targets, PendingRecord record,
              const QString &reason, BackgroundRemoval *removal = nullptr);

// What a start found and did.
struct Settled
{
    enum class Outcome {
        NothingPending,
        Pending,    // still pending (the start counted when asked)
        Confirmed,  // a confirmation was completed
        FellBack,   // the update was undone now
        Unswitched, // the switch never came: put back as before
        Failed,     // a decision could not be completed (logged)
    } outcome
        = Outcome::NothingPending;
    PendingRecord record;
    QString reason;
};
// Completes a decision a cut interrupted; a held update counts the start when countStart
// and falls back at the third. Run after UpdateTransaction::recover().
Settled settlePending(const WorkFolder &w, const QStringList &targets, bool countStart,
                      BackgroundRemoval *removal);

} // namespace corvane::update
