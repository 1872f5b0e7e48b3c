#pragma once
// The state of one update transaction, shared by its phases: planning (plan.cpp),
// staging (stage.cpp) and the commit (updatetransaction.cpp). Installed and staged
// entries are named relative to the flash disk's folder (the work folder's base), as in
// the journal; update entries relative to their tree's update folder.

#include "beneath.h"
#include "journal.h"
#include "posixfs.h"
#include "updatetransaction.h"
#include "workfolder.h"

#include <QByteArray>
#include <QDebug>

#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

class Places;

class UpdateTransaction::Private
{
public:
    static constexpr char kLog[] = "Update:";

    Private(const WorkFolder &work, BackgroundRemoval *removal_)
        : w(work)
        , removal(removal_)
    {
    }

    struct Tree
    {
        QByteArray source;     // host path of the update folder
        QByteArray target;     // host path of the installed folder
        QByteArray targetName; // the same, relative to the flash disk's folder
        Source how;
        QStringList excludes;
        corvane::fs::UniqueFd sourceFd; // open while staging
    };

    // One step of staging.
    struct Stage
    {
        enum Kind { Folder, FinishFolder, File, Link } kind;
        size_t tree;
        QByteArray source; // relative to the tree's update folder; empty for the folder itself
        QByteArray staged; // relative to the flash disk's folder
        struct stat st;
        bool hardLink = false;
    };

    const WorkFolder &w;
    BackgroundRemoval *removal = nullptr;
    std::vector<Tree> trees;
    std::vector<Stage> stages;
    std::vector<SwitchEntry> switches;
    // Installed folders that the switch renames in, with their times before it: an undone
    // switch leaves them as they were, times included.
    std::vector<std::pair<QByteArray, struct stat>> switchedFolders;
    Failure failure;
    UpdateProgress state;
    ProgressCallback progress;
    quint64 stagedCounter = 0;
    bool linksRefused = false;
    dev_t workDevice = 0;
    qint64 blockSize = 4096;
    qint64 bytesNeeded = 0;
    qint64 inodesNeeded = 0;

    // Host paths, for log lines.
    QByteArray host(const QByteArray &relative) const
    {
        return corvane::fs::join(w.base, relative);
    }
    QByteArray sourcePath(const Tree &tree, const QByteArray &relative) const
    {
        return relative.isEmpty() ? tree.source : corvane::fs::join(tree.source, relative);
    }

    // Failures: the first one is kept, with its path relative to the flash disk's folder.
    void fail(FailureKind kind, const QByteArray &hostPath, int error)
    {
        if (error == ENOSPC || error == EDQUOT)
            kind = FailureKind::NoSpace;
        if (failure.kind == FailureKind::None)
            failure = {kind, corvane::fs::dec(w.relative(hostPath)), error, {}};
    }
    bool failIo(FailureKind kind, const char *what, const QByteArray &hostPath, int error)
    {
        corvane::fs::logFailure(kLog, what, hostPath, error);
        fail(kind, hostPath, error);
        return false;
    }

    // updatetransaction.cpp
    bool prepareWorkFolder();
    bool commit();
    void discard();
    void report();
    void advance(qint64 bytes, qint64 files)
    {
        state.bytesDone += bytes;
        state.filesDone += files;
        report();
    }

    // plan.cpp
    bool plan();
    bool planTree(size_t index);
    // Staging place of the next entry of the switch; its installed one goes to the same
    // number below old/.
    QByteArray nextStaged() { return w.stagingName + '/' + QByteArray::number(++stagedCounter); }
    bool planFolder(size_t index, const QByteArray &from, const QByteArray &to,
                    const QByteArray &staged, bool isNew);
    void planEntry(size_t index, const QByteArray &from, const QByteArray &staged,
                   const struct stat &st, bool *ok);
    void noteSwitchedFolder(const QByteArray &folder);
    void restoreFolderTimes();
    bool enoughSpace();

    // stage.cpp
    bool stage();
    bool stageEntry(Places &places, const Stage &s);
    bool stageFile(int parent, const QByteArray &name, const Stage &s);
    bool copyFile(int in, const struct stat &st, int parent, const QByteArray &name,
                  const Stage &s);
    bool copyContent(int in, int out, const QByteArray &from, qint64 size);
    bool stageLink(int parent, const QByteArray &name, const Stage &s);
    mode_t installedMode(const Stage &s, mode_t mode);
};
