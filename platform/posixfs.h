#pragma once
// Small helpers over the POSIX file calls that the file utilities and the update
// transaction share. Paths are the file system's bytes: a name that is not valid
// UTF-8 is still a name that can be copied, installed and removed.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace corvane::fs {

QByteArray enc(const QString &path);
QString dec(const QByteArray &path);
QString errorText(int error);

// A failure as it is logged: <what> "<path>" failed: "<reason>" (path as quotedForLog).
QString failureText(const char *what, const QByteArray &path, int error);
// Logs failureText after a prefix such as "FileUtils:", or adds it to collected when
// that is given (for a thread that must not log).
void logFailure(const char *prefix, const char *what, const QByteArray &path, int error,
                QStringList *collected = nullptr);

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

// Writes a small file (created or emptied, never through a link) and flushes its content
// to disk; putting it in place is the caller's step. False with errno set.
bool writeFlushed(const QByteArray &path, const QByteArray &data);
// The same for a name in an open folder.
bool writeFlushedAt(int dirFd, const QByteArray &name, const QByteArray &data);

// Reads a whole regular file of at most maxSize bytes, never through a link and without
// blocking on a pipe in its place. False with errno set (EFBIG when it is larger,
// EINVAL when it is not a regular file).
bool readSmallFile(const QByteArray &path, qint64 maxSize, QByteArray *content);
// The same for a name in an open folder.
bool readSmallFileAt(int dirFd, const QByteArray &name, qint64 maxSize, QByteArray *content);

} // namespace corvane::fs

namespace corvane {

// A path as it goes into the log, in double quotes: bytes that form valid UTF-8 (the
// local 8-bit encoding) are kept as they are; control bytes and bytes that are not
// UTF-8 become "\xNN", so a log line stays one line of valid text.
QString quotedForLog(const QByteArray &path);

} // namespace corvane
