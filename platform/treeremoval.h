#pragma once
// Removal below a folder that never follows a symbolic link, not even one standing in
// place of the folder itself. Every step works on an open folder (openat, fstatat,
// unlinkat), so a link met on the way is removed as a link, or left alone, and what it
// points to is never touched. Names are handled as the file system's bytes, whatever
// their encoding.

#include "posixfs.h" // quotedForLog

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace corvane {

// What is at a path, the last component not followed.
enum class PathKind { Missing, Folder, Link, Other, Unknown };
PathKind pathKind(const QByteArray &path);

// Removes everything below the folder and then the folder. A missing folder is a
// success. A link or other entry in its place is not entered: the caller decides what
// to do with it (see PathKind). Every failure is logged, or added to failures when that
// is given (for a thread that must not log); false when anything stays.
bool removeFolderTree(const QByteArray &path, QStringList *failures = nullptr);

// Removes whatever the entry `name` of the open folder dirFd is: a folder with
// everything below it, anything else (a link included) as itself. Gone already is a
// success. path names the entry in log lines. Failures as above.
bool removeEntryAt(int dirFd, const QByteArray &name, const QByteArray &path,
                   QStringList *failures = nullptr);

// Removes everything in the open folder folderFd (which stays, for the caller), whatever
// the depth: no recursion, and a bounded number of descriptors. path names it in log
// lines. Failures as above; false when anything stays.
bool removeFolderContents(int folderFd, const QByteArray &path, QStringList *failures = nullptr);

// An entry met by walk(): the open folder that holds it, its name there and its path
// (the walk's path joined with the names on the way).
using EntryAction = std::function<bool(int dirFd, const char *name, const QByteArray &path)>;

// Calls onEntry for every entry below the open folder that is not a folder (links
// included, whatever they point to) and afterFolder (when set) for every sub-folder once
// its content has been walked. Sub-folders are entered without following links. False
// when an action or a listing failed (logged, or added to collected).
bool walk(int dirFd, const QByteArray &path, const EntryAction &onEntry,
          const EntryAction &afterFolder, QStringList *collected = nullptr);

// Called for each entry that removeMatching tried to remove: its path, and 0 when it
// is gone or the errno of the failed removal.
using RemovalReport = std::function<void(const QByteArray &path, int error)>;

// Removes every entry below the folder, at any depth, that is not a folder and whose
// name matches the wildcard (see matchesWildcard). Folders stay. True when every
// attempt succeeded; nothing matched, or no folder at that path, is a success too. A
// link in place of the folder is not followed: nothing is removed and a line is logged.
bool removeMatching(const QByteArray &folder, const QByteArray &wildcard,
                    const RemovalReport &report);
// The same for the folder `name` of the open folder dirFd; folder names it in reports.
bool removeMatchingAt(int dirFd, const QByteArray &name, const QByteArray &folder,
                      const QByteArray &wildcard, const RemovalReport &report);

// Whether a name matches a wildcard: '*' stands for any run of bytes, '?' for one
// byte, everything else for itself with ASCII letters in either case (like the name
// filters of a folder listing, which ignore case).
bool matchesWildcard(const QByteArray &name, const QByteArray &wildcard);

} // namespace corvane
