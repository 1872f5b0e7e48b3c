#pragma once
// The count of wrong entries in a row at the password step, and the pauses it earns.
// It lives in a small file of the installer's work folder, so that no restart, kill or
// power cut gives an attacker fresh guesses: the view manager stores the count of an
// entry before it compares the entry, and only a right entry sets it back to zero.
// Only the installer writes that folder; what it finds there that is not a count it
// wrote is read as the most cautious count, never trusted as a small one.

#include "workfolder.h"

#include <QByteArray>
#include <QString>

class EntryCount
{
public:
    // The count kept in the installer's work folder, which is opened (and checked) by its
    // owner before the count is used.
    explicit EntryCount(const WorkFolder &work);

    // The stored count: 0 when there is none. A file that cannot be read, holds anything
    // else than a count, or is larger than a count can be gives cautiousCount(), with a
    // log line; so does a work folder that is not open, or that was just made afresh in
    // place of one that could not be trusted (whose count is not read).
    int load() const;

    // Puts the count in place and flushes it to disk (a temporary, flushed, renamed over
    // the count, the folder flushed), so that it is there after a power cut; zero too. Where
    // no temporary can be made (no free inode or block), the file is rewritten in place
    // (logged). False, with a log line, when it is not on disk.
    bool store(int count) const;

    // Makes the count file (0) when there is none, so that a count can be stored later even
    // on a flash disk whose inodes someone has used up meanwhile. load() does it too.
    void keepFile() const;

    // The pause after `refusals` wrong entries in a row, in milliseconds: none for the
    // first three, then 1 s, doubling with each further one up to 60 s.
    static int pauseMs(int refusals);
    // The smallest count that earns the longest pause.
    static int cautiousCount();

    QString filePath() const;

private:
    const WorkFolder &m_work;
};
