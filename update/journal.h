#pragma once
// The journal of a switch: which staged entry goes where, and where the installed entry
// it replaces is kept meanwhile. Written and flushed before the first rename (from then
// on the update counts as installed), read back by the recovery after a power cut, and
// removed when the switch is over. Its bytes lie on the flash disk, so reading is strict:
// anything this program would not have written is refused as a whole.
//
//   corvane-update-journal 1
//   <number of entries>
//   <staged> <final> <old>          one line per entry, in the order of the switch
//   end <SHA-256 of the entry lines, hex>
//
// Paths are relative to the folder that holds the work folder and percent-encoded
// (everything but letters, digits, "-._~/" as %XX, upper-case hex), "-" for no old
// entry. staged is <work>/staging/<n>, old is <work>/old/<n> with the same n, and final
// is one of the installed folders or lies below one.
//
// The checksum finds a journal damaged on the disk; it is no seal. Only the installer
// can write the work folder (WorkFolder), so nobody else can have written a journal.

#include <QByteArray>
#include <QList>
#include <QString>

#include <vector>

// One entry of a switch, paths relative to the folder that holds the work folder. old
// is empty when nothing installed is replaced.
struct SwitchEntry
{
    QByteArray staged;
    QByteArray final;
    QByteArray old;

    bool operator==(const SwitchEntry &other) const
    {
        return staged == other.staged && final == other.final && old == other.old;
    }
};

enum class JournalFault {
    None,
    Empty,
    Header,    // not a journal of this format
    Count,     // the number of entries is malformed or does not match
    Truncated, // the end line or the last line feed is missing
    Checksum,
    Fields,    // an entry line without exactly three fields
    Encoding,  // a path not written the one way this program writes it
    Path,      // empty, absolute, "." or ".." components, or too long
    Place,     // staged, old or final where this program never puts them
    Duplicate, // two entries with the same staged or final path
};

// The journal's text for the entries of a switch.
QByteArray journalText(const std::vector<SwitchEntry> &entries);

// Reads a journal's text back into entries. workName is the work folder's name and
// targets the installed folders (relative to the same folder); every final must be one
// of them or lie below one. Nothing is added to entries unless the whole text is sound.
JournalFault parseJournal(const QByteArray &text, const QByteArray &workName,
                          const QList<QByteArray> &targets, std::vector<SwitchEntry> *entries);

// What is wrong, in words for the log.
QString journalFaultText(JournalFault fault);
