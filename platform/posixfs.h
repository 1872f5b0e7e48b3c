#pragma once
// Small helpers over the POSIX file calls that the file utilities and the update
// transaction share. Paths are the file system's bytes: a name that is not valid
// UTF-8 is still a name that can be copied, installed and removed.

#include <QByteArray>
#include <QString>

#include <vector>

namespace corvane::fs {

QByteArray enc(const QString &path);
QString dec(const QByteArray &path);
QString errorText(int error);

// One log line: "<prefix> <what> "<path>" failed: "<reason>"", prefix such as "FileUtils:".
void logFailure(const char *prefix, const char *what, const QByteArray &path, int error);

QByteArray join(const QByteArray &folder, const QByteArray &name);
QByteArray parentOf(const QByteArray &path);

// Entry names of a folder without "." and "..", or false with errno set. An open
// folder stays open and belongs to the caller.
bool listFolder(const QByteArray &folder, std::vector<QByteArray> *names);
bool listFolder(int dirFd, std::vector<QByteArray> *names);

// Whether anything (a dangling link included) has this name; false with errno set.
bool lexists(const QByteArray &path);

// Flushes a folder's entries to disk, or everything of the file system it is on; false
// with errno set.
bool syncFolder(const QByteArray &folder, bool wholeFileSystem = false);

} // namespace corvane::fs
