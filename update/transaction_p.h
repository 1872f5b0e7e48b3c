#pragma once
// The state of one update transaction, shared by its phases: planning (plan.cpp),
// staging (stage.cpp) and the commit (updatetransaction.cpp).

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

class UpdateTransaction::Private
{
public:
    static constexpr char kLog[] = "Update:";

    Private(const QString &workFolder, BackgroundRemoval *removal_)
        : w(workFolder)
        , removal(removal_)
    {
    }

    struct Tree
    {
        QByteArray source;
        QByteArray target;
        Source how;
        QStringList excludes;
    };

    // One step of staging.
    struct Stage
    {
        enum Kind { Folder, FinishFolder, File, Link } kind;
        QByteArray source;
        QByteArray staged;
        struct stat st;
        bool hardLink = false;
    };

    WorkFolder w;
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

    void fail(FailureKind kind, const QByteArray &path, int error)
    {
        if (error == ENOSPC || error == EDQUOT)
            kind = FailureKind::NoSpace;
        if (failure.kind == FailureKind::None)
            failure = {kind, corvane::fs::dec(w.relative(path)), error};
    }
    bool failIo(FailureKind kind, const char *what, const QByteArray &path, int error)
    {
        corvane::fs::logFailure(kLog, what, path, error);
        fail(kind, path, error);
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
    bool planTree(const Tree &tree);
    // Staging place of the next entry of the switch; its installed one goes to the same
    // name below old/.
    QByteArray nextStaged()
    {
        return corvane::fs::join(w.staging, QByteArray::number(++stagedCounter));
    }
    bool planFolder(const Tree &tree, const QByteArray &from, const QByteArray &to,
                    const QByteArray &staged, bool isNew);
    void planEntry(const Tree &tree, const QByteArray &from, const QByteArray &staged,
                   const struct stat &st, bool isNew, bool *ok);
    void noteSwitchedFolder(const QByteArray &folder);
    void restoreFolderTimes();
    bool enoughSpace();

    // stage.cpp
    bool stage();
    bool stageFile(const Stage &s);
    bool copyFile(const Stage &s);
    bool copyContent(int in, int out, const QByteArray &from, qint64 size);
    bool stageLink(const Stage &s);
};
