#pragma once
// Paths resolved below an open folder without following any link: whatever links a
// user has put in a path (in place of a folder on the way, or of the entry itself),
// nothing outside the folder is reached, and nothing is reached through a link inside
// it either. The installer runs as root and acts on folders that others can write to;
// every name it acts on goes through here.

#include "uniquefd.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace corvane::fs {

// Opens `relative` (a path without a leading "/", "." or ".." components, or empty for
// dirFd itself) below the open folder dirFd. No link is followed, neither on the way nor
// at the end (ELOOP), and the path cannot leave dirFd (EXDEV for "..", absolute paths).
// flags are open(2)'s; O_CLOEXEC and O_NOFOLLOW are added. -1 with errno set.
int openBeneath(int dirFd, const QByteArray &relative, int flags, mode_t mode = 0);

// Opens a file below dirFd for reading, as openBeneath does, without blocking on a pipe in
// its place and, where allowed, without changing its access time: a check that only reads
// should not write an inode for every file it looks at.
int openForReadingBeneath(int dirFd, const QByteArray &relative);

// The folder that holds `relative` below dirFd, opened as openBeneath does, and the
// entry's own name in it. Fails with errno set (EXDEV when relative has no name).
bool openParentBeneath(int dirFd, const QByteArray &relative, UniqueFd *parent, QByteArray *name);

// Opens `relative` below dirFd as openBeneath does (no link followed), for a caller that
// believes only what root controls: every folder on the way and the entry itself must pass
// othersMayChange (no sticky exception), checked on the opened descriptors. -1 with errno
// set; EPERM with *problem ("<path> belongs to user 1000", path being where + relative)
// when a check failed. (A name below a folder nobody else can change stays what was
// checked, so a library that opens the entry again by its name meets the same file.)
int openOwnedBeneath(int dirFd, const QByteArray &relative, int flags, const QByteArray &where,
                     QString *problem);

// Opens an absolute path, for a caller that believes only what root controls: "/" and every
// folder on the way must pass othersMayChange (a sticky folder passes: the next entry is
// checked itself), and a link on the way is followed only when it is root's (or the
// installer's user's) in such a folder. The entry itself is opened with flags and never
// through a link (ELOOP); checking it is the caller's. -1 with errno set; EPERM with
// *problem when a check failed.
int openOwnedPath(const QByteArray &path, int flags, QString *problem);

// Whether a relative path is one that openBeneath takes: not empty, not absolute, no
// empty, "." or ".." components.
bool isPlainRelative(const QByteArray &relative);

// Tests only: resolves every path by the walk that stands in where openat2 is missing
// (on = true), or by openat2 again where the kernel has it. The walk refuses what
// openat2 refuses, so nothing is weakened by it; no option or variable of the installed
// program reaches this.
void forceWalkForTests(bool on);

} // namespace corvane::fs
