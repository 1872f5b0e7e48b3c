#pragma once
// The installer's work folder on the flash disk, beside the folders it installs into and
// on their file system (renames between them are what makes a switch atomic):
//   lock                             held by the one installer that runs
//   journal, journal.new, rollback   the switch and its direction
//   staging/<n>                      one staged entry: a file, a link or a whole new folder
//   old/<n>                          the installed entry it replaces, during the switch

#include <QByteArray>
#include <QString>

struct WorkFolder
{
    explicit WorkFolder(const QByteArray &folder);
    explicit WorkFolder(const QString &folder);

    // A path below base, relative to it; other paths as they are.
    QByteArray relative(const QByteArray &path) const;

    QByteArray work;
    QByteArray base; // the folder that holds the work folder
    QByteArray journal;
    QByteArray journalNew;
    QByteArray rollback;
    QByteArray staging;
    QByteArray old;
    QByteArray lock;
};
