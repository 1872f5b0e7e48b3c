#pragma once
// The folders an update acts in, reached below the flash disk's folder without following
// any link (see beneath.h), each opened once and kept open for the phase that uses it.
// Paths are relative to the flash disk's folder, as in the journal.

#include "beneath.h"

#include <QByteArray>

#include <map>

#include <sys/stat.h>
#include <time.h>

class Places
{
public:
    explicit Places(int baseFd)
        : m_base(baseFd)
    {
    }

    // The open folder that holds `path`, and the entry's name in it; -1 with errno set.
    int parent(const QByteArray &path, QByteArray *name);
    // Whether anything (a link included) has that name; false with errno set otherwise.
    bool exists(const QByteArray &path);
    bool stat(const QByteArray &path, struct stat *st);
    // rename(2) of two paths; false with errno set.
    bool rename(const QByteArray &from, const QByteArray &to);
    // Exchanges two entries in one rename (RENAME_EXCHANGE); false with errno set.
    bool exchange(const QByteArray &a, const QByteArray &b);
    // Sets an entry's access and modification times (never through a link).
    bool setTimes(const QByteArray &path, const timespec times[2]);

private:
    int m_base;
    std::map<QByteArray, corvane::fs::UniqueFd> m_folders;
};
