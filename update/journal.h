#pragma once
// The journal of a switch: what each entry of the switch does, written and flushed
// before the first rename (from then on the update counts as installed), read back by
// the recovery after a power cut, and removed when the switch is over. Its bytes lie on
// the flash disk, so reading is strict: anything this program would not have written is
// refused as a whole.
//
//   corvane-update-journal 2
//   <number of entries>
//   <entry>                         one line per entry, in the order of the switch
//   end <SHA-256 of the entry lines, hex>
//
// Entries (fields separated by one space):
//   new <staged> <final>            a staged entry renamed to where nothing was
//   swap <staged> <final> <inode>   exchanged with the installed entry in one rename; the
//                                   staged entry's inode number tells the two states apart
//   aside <staged> <final> <old>    the installed entry moved aside to old first, then the
//                                   staged one renamed into its place (where a file system
//                                   cannot exchange two names)
//   times <final> <atime> <mtime> <old atime> <old mtime>
//                                   an installed entry already as the update has it: only
//                                   its times are set, as a copy would; undone to the old
// Paths are relative to the folder that holds the work folder and percent-encoded
// (everything but letters, digits, "-._~/" as %XX, upper-case hex). staged is
// <work>/staging/<n>, old is <work>/old/<n> with the same n, and final is one of the
// installed folders or lies below one. Times are <seconds>.<nine digits of nanoseconds>;
// numbers are decimal without leading zeros. Format 1 (entries "<staged> <final> <old>",
// old "-" for none) is still read: a journal an earlier version left must be finished.
//
// The checksum finds a journal damaged on the disk; it is no seal. Only the installer
// can write the work folder (WorkFolder), so nobody else can have written a journal.

#include <QByteArray>
#include <QList>
#include <QString>

#include <vector>

#include <time.h>

// One entry of a switch, paths relative to the folder that holds the work folder.
struct SwitchEntry
{
    enum class Kind { New, Swap, Aside, Times };

    Kind kind = Kind::New;
    QByteArray staged; // New, Swap, Aside
    QByteArray final;
    QByteArray old;         // Aside
    quint64 inode = 0;      // Swap
    timespec times[2]{};    // Times: access and modification time to set
    timespec oldTimes[2]{}; // Times: what they were

    bool operator==(const SwitchEntry &other) const;
};

enum class JournalFault {
    None,
    Empty,
    Header,    // not a journal of a format this program writes
    Count,     // the number of entries is malformed or does not match
    Truncated, // the end line or the last line feed is missing
    Checksum,
    Fields,    // an entry line of an unknown kind or the wrong number of fields
    Encoding,  // a path or number not written the one way this program writes it
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

// A time as the journal writes it (<seconds>.<nine digits>), and read back strictly.
QByteArray journalTime(const timespec &t);
bool parseJournalTime(const QByteArray &text, timespec *t);
// A path as the journal writes it (percent-encoded), and read back strictly: false for a
// path not written the one way or one that leaves its folder.
QByteArray journalPath(const QByteArray &path);
bool parseJournalPath(const QByteArray &field, QByteArray *path);
