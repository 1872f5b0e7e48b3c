#pragma once
// The state of one update transaction, shared by its phases: planning (plan.cpp),
// staging (stage.cpp) and the commit (updatetransaction.cpp). Installed and staged
// entries are named relative to the flash disk's folder (the work folder's base), as in
// the journal; update entries relative to their tree's update folder.

#include "beneath.h"
#include "copier.h"
#include "hashqueue.h"
#include "journal.h"
#include "manifest.h"
#include "posixfs.h"
#include "updatetransaction.h"
#include "workfolder.h"

#include <QByteArray>
#include <QDebug>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
        QByteArray listedAs; // the tree's name in the signed list
        Skip skip;
        corvane::fs::UniqueFd sourceFd; // open while planning and staging
        corvane::fs::UniqueFd given;    // the update folder as the caller opened it
        bool hasGiven = false;
    };

    using Listed = corvane::update::ManifestEntry;

    // One step of staging.
    struct Stage
    {
        enum Kind { Folder, FinishFolder, File, Link } kind;
        size_t tree;
        QByteArray source; // relative to the tree's update folder; empty for the folder itself
        QByteArray staged; // relative to the flash disk's folder
        struct stat st;
        bool hardLink = false;
        qsizetype listed = -1; // its entry in the signed list, when there is one
    };

    const WorkFolder &w;
    BackgroundRemoval *removal = nullptr;
    std::vector<Tree> trees;
    std::vector<Stage> stages;
    std::vector<SwitchEntry> switches;
    // Installed folders that the switch renames in, with their times before it: an undone
    // switch leaves them as they were, times included.
    std::vector<std::pair<QByteArray, struct stat>> switchedFolders;
    std::set<QByteArray> notedFolders;
    Failure failure;
    UpdateProgress state;
    ProgressCallback progress;
    quint64 stagedCounter = 0;
    bool linksRefused = false;
    const uid_t user = ::geteuid(); // the installer's user and group: what it installs is theirs
    const gid_t group = ::getegid();
    std::vector<char> copyBuffer; // where the kernel cannot copy
    bool prepared = false;
    bool committed = false;
    qint64 unchanged = 0; // installed entries already as the update has them
    // Installed files whose bytes decide whether they are replaced, compared after the walk.
    struct Pending
    {
        size_t tree;
        QByteArray from;
        struct stat st;
        QByteArray target;
        struct stat installed;
        QByteArray folder; // the installed folder that holds it
        bool closed;       // its folders (see planFolder)
        bool same;
    };
    std::vector<Pending> pending;
    bool exchangeWorks = false; // the file system exchanges two names in one rename

    // The signed list, when the update has one (signedlist.cpp).
    std::optional<SignedList> listPlaces;
    bool hasList = false;
    bool listSigned = false; // by a trusted key: set-user-ID bits may come with it
    corvane::update::ManifestIndex manifest;
    std::vector<bool> seen; // by entry: met in the update
    int listMismatches = 0;
    std::optional<QByteArray> previousVersion; // the record before a signed switch
    std::optional<HoldBack> hold;              // held back until confirmed
    corvane::update::PendingRecord pendingRecord;
    std::unique_ptr<HashQueue> hashes;
    std::unique_ptr<Copier> copier; // while staging
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

    // signedlist.cpp
    bool checkList();
    // The entry's number in the list, after checking what can be told without reading the
    // file's content (type, mode, size, link target); -1 when the update has no list.
    // A mismatch fails the run (and is logged).
    qsizetype checkListed(const Tree &tree, const QByteArray &from, const struct stat &st,
                          bool *ok);
    bool checkNothingMissing();
    bool clearedBefore(const Listed &entry) const;
    // The entry's line in the list, looked up only (none without one).
    std::optional<Listed> lookupListed(const Tree &tree, const QByteArray &from) const
    {
        if (!hasList || tree.listedAs.isEmpty())
            return std::nullopt;
        return listedAt(manifest.find(listedPath(tree, from)));
    }
    std::optional<Listed> listedAt(qsizetype entry) const
    {
        return entry < 0 ? std::nullopt : std::optional<Listed>(manifest.entry(entry));
    }
    // The mode an update entry is installed with: the listed one from a signed list, else
    // its own without set-user-ID and set-group-ID bits.
    mode_t modeToInstall(const std::optional<Listed> &line, mode_t mode) const
    {
        return listSigned && line ? line->mode : mode & (07777 & ~(S_ISUID | S_ISGID));
    }
    void notAsListed(const QByteArray &path, const QString &what);
    bool recordVersion();
    void restoreVersion();
    QByteArray listedPath(const Tree &tree, const QByteArray &from) const
    {
        return from.isEmpty() ? tree.listedAs : tree.listedAs + '/' + from;
    }

    // updatetransaction.cpp
    bool prepareWorkFolder();
    bool beginHold();
    void abandonHold();
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
    struct SourceEntry
    {
        QByteArray name;
        struct stat st = {};
        int error = 0;
    };
    bool listSource(const Tree &tree, const QByteArray &from,
                    std::vector<SourceEntry> *entries) const;
    bool plan();
    bool planTree(size_t index);
    // Staging place of the next entry of the switch; its installed one goes to the same
    // number below old/.
    QByteArray nextStaged() { return w.stagingName + '/' + QByteArray::number(++stagedCounter); }
    // closed: the folder `from` and every folder above it up to the tree's top are
    // closedFolder()s, so the update's files there may be linked.
    bool planFolder(size_t index, const QByteArray &from, const QByteArray &to,
                    const QByteArray &staged, bool isNew, bool closed);
    bool planSkipped(size_t index, const QByteArray &from, const struct stat &st);
    void planEntry(size_t index, const QByteArray &from, const QByteArray &staged,
                   const struct stat &st, bool closed, bool *ok);
    enum class Likeness { Differs, Same, BytesDecide };
    Likeness alike(size_t index, const QByteArray &from, const struct stat &st,
                   const QByteArray &target, const struct stat &installed);
    // Whether the installed file at target holds the update's `size` bytes.
    bool sameBytes(size_t index, const QByteArray &from, const QByteArray &target,
                   qint64 size) const;
    void keepInstalled(size_t index, const QByteArray &from, const struct stat &st,
                       const QByteArray &target, const struct stat &installed, bool *ok);
    bool planReplacement(size_t index, const QByteArray &from, const struct stat &st,
                         const QByteArray &target, bool exists, bool closed, bool *ok);
    // Whether nobody but root and the installer's user can add, move or remove names in
    // an update's folder: while a file is linked from there (its count of names at 2),
    // nobody else can give it a name that outlives the update.
    bool closedFolder(const struct stat &st) const
    {
        return (st.st_uid == 0 || st.st_uid == user) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    }
    bool planPending();
    static bool sameTimes(const struct stat &a, const struct stat &b);
    void noteSwitchedFolder(const QByteArray &folder);
    void restoreFolderTimes();
    bool enoughSpace();

    // stage.cpp
    bool stage();
    bool stageEntry(Places &places, const Stage &s);
    bool stageFile(int parent, const QByteArray &name, const Stage &s);
    bool copyFile(int in, const struct stat &st, int parent, const QByteArray &name,
                  const Stage &s);
    bool checkStagedHashes();
    bool probeExchange();
    // Waits for the copier's copies; false (each failure logged) when any failed.
    bool finishCopies();
    bool stageLink(int parent, const QByteArray &name, const Stage &s);
    mode_t installedMode(const Stage &s, mode_t mode);
};
