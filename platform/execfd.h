#pragma once
// Starts a program from an open descriptor of it, so that its name is not resolved again
// between the checks on that descriptor and the start: whatever is put in its place
// meanwhile is not what runs.

#include <QByteArray>

#include <sys/types.h>

namespace corvane::fs {

// Starts the program open at fd with argv[0] = name and no other argument, in a session
// of its own, with every signal at its default and none blocked. detached: it is handed
// over (double fork), never waited for, and 0 is returned; else it is a child of the
// caller, whose pid is returned. -1 with *error set when it could not be started (the
// exec's own error included). A script ("#!") gets the descriptor across the exec, as its
// interpreter reads it through /dev/fd.
pid_t startFromFd(int fd, const QByteArray &name, bool detached, int *error);

} // namespace corvane::fs
