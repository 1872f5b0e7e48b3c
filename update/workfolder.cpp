#include "workfolder.h"

#include "devicefiles.h"
#include "posixfs.h"

using corvane::fs::join;

WorkFolder::WorkFolder(const QByteArray &folder)
    : work(folder)
    , base(corvane::fs::parentOf(folder))
    , journal(join(folder, "journal"))
    , journalNew(join(folder, "journal.new"))
    , rollback(join(folder, "rollback"))
    , staging(join(folder, "staging"))
    , old(join(folder, "old"))
    , lock(join(folder, corvane::device::installLockName))
{
}

WorkFolder::WorkFolder(const QString &folder)
    : WorkFolder(corvane::fs::enc(folder))
{
}

QByteArray WorkFolder::relative(const QByteArray &path) const
{
    return path.startsWith(base + '/') ? path.mid(base.size() + 1) : path;
}
