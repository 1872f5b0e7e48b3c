#pragma once
// Small helpers over the POSIX file calls that the file utilities and the update
// transaction share. Paths are the file system's bytes: a name that is not valid
// UTF-8 is still a name that can be copied, installed and removed.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

#include <cerrno>

#include <sys/stat.h>

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

// How many more descriptors this process may open now: its soft limit (RLIMIT_NOFILE)
// less those open, or a quarter of the limit where they cannot be counted.
qint64 descriptorsLeft();

// Flushes a folder's entries to disk, or everything of the file system it is on; false
// with errno set.
bool syncFolder(const QByteArray &folder, bool wholeFileSystem = false);

// Puts a small file in place so that a power cut at any moment leaves either the old
// content or the new one under its name, never a mixture: the content goes into a
// temporary beside it ("<name>.new", whatever a kill left there is removed first, never
// written through), is flushed, renamed over the name, and the folder is flushed. Every
// state file the installer keeps is written this way. False with errno set; the
// temporary is then gone.
bool replaceFileAt(int dirFd, const QByteArray &name, const QByteArray &data, mode_t mode = 0600);
// Removes a state file (a missing one counts as removed) and flushes the folder, so that a
// power cut cannot bring it back. False with errno set.
bool removeFileAt(int dirFd, const QByteArray &name);

// Rewrites an existing small file of the caller's (a regular file owned by the process's user,
// its only link, never through a link) in place, for when no temporary can be made (the
// file system has no free inode): emptied and flushed first, then written and flushed. A
// power cut leaves the old content, an empty file or a beginning of the new content, so
// the caller's format must tell a beginning from the whole (a final line feed). False
// with errno set.
bool rewriteFileInPlaceAt(int dirFd, const QByteArray &name, const QByteArray &data);

// errno of a file that changed while it was read (it grew, shrank or was rewritten).
inline constexpr int kChangedWhileRead = ESTALE;

// Reads a whole regular file of at most maxSize bytes, never through a link in its place
// and without blocking on a pipe there. False with errno set: ENOENT, ELOOP for a link,
// EINVAL when it is not a regular file, EFBIG when it is larger, kChangedWhileRead when
// its size or times changed while it was read. st, when given, receives the open file's
// status (its owner and mode, for callers that check who may have written it).
bool readSmallFile(const QByteArray &path, qint64 maxSize, QByteArray *content,
                   struct stat *st = nullptr);
// The same for a name in an open folder.
bool readSmallFileAt(int dirFd, const QByteArray &name, qint64 maxSize, QByteArray *content,
                     struct stat *st = nullptr);
// Why a file or folder may have been changed by someone other than root and the installer's
// user, for the log ("belongs to user 1000", "can be changed by other users (mode 0777)"),
// or empty when nobody else can change it. Such an entry is owned by root or the
// installer's user and writable by nobody else; writable by its group only when that group
// is root's or the installer's (nobody else is in it). A sticky folder others may write
// passes where stickyAllowed: its entries of root's cannot be renamed or removed by them.
QString othersMayChange(const struct stat &st, bool stickyAllowed = false);

// Why readSmallFile failed with error, in words for the log: "<path> is a link, not read".
QString smallFileProblem(const QByteArray &path, int error, qint64 maxSize);

// Whether an entry belongs to root or to the installer's own user: only then may the
// installer (root) act on what it holds or start it.
bool ownedByInstaller(const struct stat &st);
// A name made of prefix and 16 random hex digits (getrandom): nobody can guess it ahead
// and put something there. Empty, with errno set, when no random bytes can be had.
QByteArray unpredictableName(const QByteArray &prefix);
} // namespace corvane::fs

namespace corvane {

// A path as it goes into the log, in double quotes: bytes that form valid UTF-8 (the
// local 8-bit encoding) are kept as they are; control bytes and bytes that are not
// UTF-8 become "\xNN", so a log line stays one line of valid text.
QString quotedForLog(const QByteArray &path);

} // namespace corvane
