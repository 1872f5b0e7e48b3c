#pragma once
// The installer's work folder on the flash disk, beside the folders it installs into and
// on their file system (renames between them are what makes a switch atomic):
//   lock                             held by the one installer that runs
//   journal, journal.new, rollback   the switch and its direction
//   staging/<n>                      one staged entry: a file, a link or a whole new folder
//   old/<n>                          the installed entry it replaces, during the switch
//
// The installer runs as root and renames, deletes and installs what the journal there
// names, so it acts only on a folder that nobody else can have prepared: a real folder
// (no link in its place), owned by the installer's user and writable by nobody else.
// Anything else in its place is moved aside, untouched, and a fresh folder is made.
// Everything in it is then reached through the open folder, never through a path.
//
// What the folder keeps (the journal, the recorded version, the count of wrong entries)
// must not be renamed away by a local user, so the flash disk's folder that holds it is
// checked too: it must belong to root (or the installer's user) and, when group or others
// may write it, carry the sticky bit (then only root may rename root's entries).

#include "beneath.h"

#include <QByteArray>
#include <QString>

class WorkFolder
{
public:
    explicit WorkFolder(const QByteArray &folder);
    explicit WorkFolder(const QString &folder);
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    // Opens the folder that holds the work folder (the flash disk) and the work folder in
    // it, made when missing (0700). A work folder that cannot be trusted is moved aside
    // under a new name (logged, nothing in it used) and a fresh one is made. False, with a
    // log line, when no trusted work folder can be had: then nothing may be done.
    // A flash disk folder that others could rename the work folder out of is refused
    // (flashDiskRefusal()), nothing in it touched.
    bool open();
    // The line that refused the flash disk folder at the last open(), or empty.
    QString flashDiskRefusal() const { return m_flashDiskRefusal; }
    bool isOpen() const { return m_fd.isValid(); }
    // Whether open() had to move an untrusted folder aside: then nothing the installer
    // keeps there (such as the count of wrong entries) was carried over.
    bool wasMovedAside() const { return m_movedAside; }

    // The open work folder and the open folder that holds it.
    int fd() const { return m_fd.get(); }
    int baseFd() const { return m_baseFd.get(); }

    // A host path below base, relative to it; other paths as they are.
    QByteArray relative(const QByteArray &path) const;

    // Host paths, for log lines.
    QByteArray work;
    QByteArray base; // the folder that holds the work folder
    QByteArray journal;
    QByteArray journalNew;
    QByteArray rollback;
    QByteArray staging;
    QByteArray old;
    QByteArray lock;
    // The work folder's name in base, and the names of what it holds, relative to base.
    QByteArray name;
    QByteArray stagingName;
    QByteArray oldName;

private:
    // Why a work folder found at the path cannot be trusted, or empty when it can.
    QString distrust(const struct stat &st) const;
    bool moveAside(const QString &why);
    // Why others could rename entries out of the open flash disk folder, or empty.
    QString flashDiskProblem() const;

    corvane::fs::UniqueFd m_baseFd;
    corvane::fs::UniqueFd m_fd;
    bool m_movedAside = false;
    QString m_flashDiskRefusal;
};
