#pragma once
// An update of several folders as one transaction: the device runs either the old
// installation or the new one, never a mixture of both.
//
//   check    where the device holds trusted keys, the update's signed list: its
//            signature, and no update older than the installed one  (signedlist.cpp)
//   plan     walk every update tree beside its target: what is replaced, what is new,
//            and what cannot be installed (a folder where a file goes, a special file);
//            with a list, each entry against it; then check the free space; nothing is
//            written yet                                             (plan.cpp)
//   stage    copy every file into the work folder's staging folder, or hard-link it
//            where its source is removed after the run anyway and nobody else can
//            change or name it; with a list, the staged bytes are hashed in the same
//            pass and compared with it; flush                         (stage.cpp)
//   commit   write the journal of the switch and flush it            (journal.h)
//   switch   per entry, move the installed one aside and rename the staged one into
//            its place; flush; remove the journal                    (switchover.h)
//   clean up remove the staging folder and the old files, in the background when a
//            BackgroundRemoval is given (the result is shown meanwhile) (leftovers.h)
//
// Every name is reached below its own folder without following a link (beneath.h): the
// update's below its update folder, the staged and installed ones below the flash disk's
// folder (places.h). A failure before the switch removes what was staged and leaves the
// installed folders as they were. A failure during the switch undoes it. After a power cut, recover()
// completes a switch whose journal is on disk and otherwise removes what was staged
// (recovery.cpp).

#include "pendingupdate.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class BackgroundRemoval;
class WorkFolder;

// What an update has copied so far, of the total counted before it started.
struct UpdateProgress
{
    qint64 bytesDone = 0;
    qint64 bytesTotal = 0;
    qint64 filesDone = 0;
    qint64 filesTotal = 0;
    // The journal is on disk: from here on the update counts as installed.
    bool committed = false;
};

class UpdateTransaction
{
public:
    using ProgressCallback = std::function<void(const UpdateProgress &)>;

    // How the files of an update tree reach the staging folder.
    enum class Source {
        Copy,
        // Hard-linked, where the file system allows it: for a source that is thrown away
        // after the run, so its data never needs to be written again.
        Link,
    };

    enum class FailureKind {
        None,
        NoSpace,
        FolderInTheWay, // an installed folder where the update has a file or link
        FileInTheWay,   // an installed file or link where the update has a folder
        SpecialFile,    // neither file, folder nor link in the update
        ReadFailed,
        WriteFailed,
        Unrecovered,   // an interrupted earlier run could be neither completed nor undone
        WorkFolder,    // no trusted work folder could be had
        SwitchStuck,   // this run's switch could be neither finished nor undone
        LeftoversStay, // what an earlier run left in the work folder cannot be removed
        NotSigned,     // trusted keys, but no valid signature of one of them
        NotAsListed,   // an entry of the update differs from the signed list
        Older,         // the update is older than the installed one
        // The trusted keys' folder, or a file in it, cannot be read or trusted.
        KeysUnusable,
        // The record of the installed version is damaged or cannot be read.
        VersionRecordUnusable,
        // No trusted keys: an entry differs from the update's own, unsigned list.
        NotAsUnsignedList,
        // The update's list cannot be read, or it is malformed.
        ListUnusable,
        // The last update is not yet confirmed (pendingupdate.h).
        Pending,
    };

    struct Failure
    {
        FailureKind kind = FailureKind::None;
        QString path; // relative to the folder that holds the work folder
        int error = 0;
        // What is wrong where no system error says it: a refused journal, why a signature
        // is not valid, both versions ("<update> <installed>").
        QString detail;
    };

    // Where the update's signed list, its signature and the device's trusted keys are
    // (host paths), and the file in the work folder that records the version of the
    // last signed installation.
    struct SignedList
    {
        QString manifest;
        QString signature;
        QString trustedKeys;
        // The open folder that holds the list and its signature, when set: both are read
        // below it by their names, never through the paths above (log lines).
        int folderFd = -1;
    };

    // Entries of an update tree that are not installed (they are removed from the update
    // before the switch): the entry's path in the tree and its mode (type bits included).
    using Skip = std::function<bool(const QByteArray &path, unsigned mode)>;

    enum class Recovery {
        NothingToDo,
        LeftoversRemoved, // the staged files of an installation that never switched (or was undone)
        OldFilesRemoved,  // the replaced files of a finished installation
        Completed,
        RolledBack,
        LeftoversStay, // the installed folders are whole; what was left cannot all be removed
        Failed,        // neither completed nor undone: the installed folders may be mixed
    };

    // work: the installer's work folder, open (WorkFolder::open), on the targets' file
    // system, in the folder that holds them; it must outlive the transaction. The old
    // files of a successful run are removed by removal when it is given (in the
    // background), else before run() returns.
    explicit UpdateTransaction(const WorkFolder &work, BackgroundRemoval *removal = nullptr);
    ~UpdateTransaction();
    UpdateTransaction(const UpdateTransaction &) = delete;
    UpdateTransaction &operator=(const UpdateTransaction &) = delete;

    // One update tree: everything below source goes over target, but for what skip
    // names. listedAs: the tree's name in the signed list ("System"). Before prepare().
    void addTree(const QString &source, const QString &target, Source how,
                 const QByteArray &listedAs = {}, const Skip &skip = {});
    // The same with the update folder open already (sourceFd, checked by the caller): it is
    // read below that descriptor (a copy is kept), never by its path, which names it in log
    // lines.
    void addTree(int sourceFd, const QString &source, const QString &target, Source how,
                 const QByteArray &listedAs = {}, const Skip &skip = {});

    // Checks the update against its signed list where one is found (see SignedList): with
    // trusted keys on the device, an update without a valid signature, or older than the
    // installed one, is refused, and so is every update while the keys or the record of
    // the installed version cannot be used; without keys it is installed unsigned
    // (logged), and a list that is there is still checked: an update that differs from
    // it is a damaged copy. Before prepare().
    void checkSignedList(const SignedList &where);

    // Everything that can be done without changing the installed folders: the signed
    // list, the plan, the space, and the staging of every entry (hashed and compared with
    // the list). False when the update cannot be installed (failure() tells why); what
    // was staged is then gone. progress, when set, is called with the bytes and files of
    // all trees: first at 0, then rising (short of the totals).
    bool prepare(const ProgressCallback &progress = {});

    // Switches what prepare() staged into place. True when every tree is in place; false
    // when the installed folders are as before, or, after a switch that could be neither
    // finished nor undone (SwitchStuck), until the next start settles them (failure()
    // tells why). progress is called once with the totals and committed when the journal
    // is on disk; a run that fails before that never reports it. A transaction destroyed
    // between prepare() and commit() removes what it staged.
    bool commit();

    // prepare() and commit().
    bool run(const ProgressCallback &progress = {});

    // Holds the update back until it is confirmed (pendingupdate.h): the entries it
    // replaces stay in the work folder, and so does the record of the installed version;
    // the update is recorded as pending before its journal is written. from/to: the
    // product versions, for the history; folders: those the clearing (ClearedFiles)
    // touched, with their times before it. Before commit(). Needs no space beyond the
    // switch's: what is held back is moved, never copied.
    struct HoldBack
    {
        QByteArray from;
        QByteArray to;
        std::vector<corvane::update::FolderTimes> folders;
    };
    void holdBack(const HoldBack &hold);

    const Failure &failure() const;

    // Completes or rolls back what an interrupted run left in an open work folder; targets
    // are the installed folders (host paths) an update may put things in: a journal that
    // names anything else is refused, and nothing of it is done. Cheap when there is
    // nothing: one look at the folder. why, when given, tells what stopped a recovery that
    // is Failed (Unrecovered, WorkFolder) or LeftoversStay.
    static Recovery recover(const WorkFolder &work, const QStringList &targets,
                            Failure *why = nullptr);

private:
    class Private;
    std::unique_ptr<Private> d;
};
