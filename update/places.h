#pragma once
// The folders an update acts in, reached below the flash disk's folder without following
// any link (see beneath.h). Paths are relative to the flash disk's folder, as in the
// journal. Only the last few folders stay open (an update may have more folders than the
// process may have descriptors); one needed again is opened again the same way, and must
// be the very folder it was when first opened here, else the step fails (ESTALE) rather
// than act in a folder someone put in its place.

#include "beneath.h"

#include <QByteArray>

#include <map>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <time.h>

class Places
{
public:
    // Folders kept open at most; the descriptor parent() returns stays valid until this
    // many other folders have been opened after it.
    static constexpr size_t kKept = 16;

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
    struct Open
    {
        QByteArray folder;
        corvane::fs::UniqueFd fd;
        quint64 used = 0;
    };
    int open(const QByteArray &folder);
    // A rename moved these paths: what is found there from now on is another folder.
    void forget(const QByteArray &path);

    int m_base;
    std::vector<Open> m_open;
    quint64 m_uses = 0;
    // Every folder opened here, by path: its device and inode when first opened.
    std::map<QByteArray, std::pair<dev_t, ino_t>> m_seen;
};
