#pragma once
// Paths resolved below an open folder without following any link: whatever links a
// user has put in a path (in place of a folder on the way, or of the entry itself),
// nothing outside the folder is reached, and nothing is reached through a link inside
// it either. The installer runs as root and acts on folders that others can write to;
// every name it acts on goes through here.

#include "uniquefd.h"

#include <QByteArray>

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

// Whether a relative path is one that openBeneath takes: not empty, not absolute, no
// empty, "." or ".." components.
bool isPlainRelative(const QByteArray &relative);

// Tests only: resolves every path by the walk that stands in where openat2 is missing
// (on = true), or by openat2 again where the kernel has it. The walk refuses what
// openat2 refuses, so nothing is weakened by it; no option or variable of the installed
// program reaches this.
void forceWalkForTests(bool on);

} // namespace corvane::fs
