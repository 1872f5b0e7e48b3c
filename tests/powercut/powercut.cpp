// Power cuts during an update, on a simulated device with a realistic update (a few
// hundred files in nested folders, large ones, replaced ones and new ones).
//
// Kill mode (default): the real corvane-installer is killed with SIGKILL at moments spread
// uniformly over the copy. After each kill every file below FlashDisk/System and
// FlashDisk/Corvane must be byte for byte its old or its new content; then
// "corvane-installer --recover-only" must leave the two folders together entirely old or
// entirely new, with nothing staged left over; then the installer runs again on the same
// tree and must complete the update ("Status:  true"). A killed process keeps the page
// cache, so kills show what the order of renames does, never a missing flush.
//
// Strict mode (--strict): one installation runs under strace; every system call is then
// taken as a power cut under a pessimistic disk model (written data is on disk only after
// fsync/syncfs, a rename may reach the disk at once, a folder's changes are on disk after
// its fsync), and at every such point no installed file may be torn and recovery must
// find either all old or all new. Then the installer is killed by strace at chosen calls
// of the same run (staging, the journal, first, middle and last rename of the switch, the
// flush and the journal's removal, the clean-up), recovered and rerun. Without strace
// the strict mode is skipped (exit code 77).
//
//   powercut [--kills N] [--seed S] [--strict] [--keep] [--work DIR] [--installer EXE]
// --installer runs that program instead of the one built with this test (a copy keeps a
// long run safe from rebuilds). --work puts the simulated devices in DIR (default: /dev/shm
// when writable, else the temporary folder; "--work /tmp" puts them on a disk).
// CTest runs "powercut --kills 50" and "powercut --strict". The long mode, about 15 to 20
// minutes on 2 cores:   build/tests/powercut --kills 500
// Exit code 0 when nothing was torn or mixed and every rerun completed the update.

#include "devicefiles.h"
#include "fileutils.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <map>
#include <set>

#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace device = corvane::device;

namespace {

constexpr qint64 kMiB = qint64(1024) * 1024;

// The installed folders, relative to the device's root.
const QStringList kCheckedFolders
    = {QLatin1String(device::systemFolder + 1), QLatin1String(device::appFolder + 1)};
// What a snapshot holds: the installed folders and the backups (which an update held back
// must give back).
const QStringList kSnapshotFolders = kCheckedFolders + QStringList{device::backupFolder + 1};
// The installation's window: from its first log line (it checks and stages, clears the
// lists, then switches) to its last.
const char kStartLine[] = "Starting update...";
const char kStatusLine[] = "Status: ";

using Tree = QHash<QString, QByteArray>; // relative path -> content hash ("link:" target for links)

void say(const QString &text)
{
    // Best effort: a report that cannot be printed changes no result.
    (void)std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    (void)std::fflush(stdout);
}

QByteArray randomBytes(QRandomGenerator &random, qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i + 4 <= size; i += 4) {
        const quint32 v = random.generate();
        memcpy(data.data() + i, &v, 4);
    }
    for (qint64 i = size - size % 4; i < size; ++i)
        data[i] = char(random.generate());
    return data;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(300000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The installed device and the update: old versions of half the update's files are
// installed, with other content (and mostly another size), so a mix shows in the hash.
bool layOut(const QString &root, quint32 seed)
{
    QString output;
    if (runTool(QStringLiteral("make-device.sh"), {root}, &output) != 0) {
        say(QStringLiteral("make-device.sh failed: ") + output);
        return false;
    }
    QRandomGenerator random(seed);
    const QString update = QFileInfo(onDevice(root, device::updateSystemFolder)).path();
    const QString installed = root + QStringLiteral("/FlashDisk");
    const QStringList folders = {"System/drivers",
                                 "System/drivers/usb",
                                 "System/fonts",
                                 "System/config/a/b/c",
                                 "Corvane/lang",
                                 "Corvane/modules/scale",
                                 "Corvane/modules/scale/profiles",
                                 "Corvane/modules/printer/layouts/labels",
                                 "Corvane/modules/printer/layouts/receipts",
                                 "Corvane/plugins/a/b/c/d/e",
                                 "Corvane/web/static/css",
                                 "Corvane/web/static/img",
                                 "Corvane/web/templates",
                                 "Corvane/help/de",
                                 "Corvane/help/en",
                                 "Corvane/help/fr",
                                 "Corvane/data/defaults",
                                 "Corvane"};
    bool ok = true;
    for (int i = 0; i < 320; ++i) {
        const QString rel = folders[int(random.bounded(folders.size()))]
            + QStringLiteral("/file%1.bin").arg(i, 3, 10, QLatin1Char('0'));
        const qint64 size = 64 + random.bounded(48 * 1024);
        const QByteArray content = randomBytes(random, size);
        ok = put(update + '/' + rel, content) && ok;
        const int installedAs = random.bounded(4);
        if (installedAs == 0) // already as the update has it (only its times change)
            ok = put(installed + '/' + rel, content) && ok;
        else if (installedAs == 1) // an older version is installed
            ok = put(installed + '/' + rel, randomBytes(random, 64 + random.bounded(48 * 1024)))
                && ok;
    }
    // Large files: one replaced by a shorter one, one replaced by one of the same size, one new.
    ok = put(installed + "/Corvane/media/intro.mpg", randomBytes(random, 9 * kMiB)) && ok;
    ok = put(update + "/Corvane/media/intro.mpg", randomBytes(random, 7 * kMiB + 123)) && ok;
    ok = put(installed + "/System/firmware/fw.bin", randomBytes(random, 4 * kMiB)) && ok;
    ok = put(update + "/System/firmware/fw.bin", randomBytes(random, 4 * kMiB)) && ok;
    ok = put(update + "/Corvane/help/manual.pdf", randomBytes(random, 5 * kMiB)) && ok;
    // Installed files that the update leaves alone, and a link that the update brings.
    ok = put(installed + "/Corvane/data/settings.dat", "device settings") && ok;
    ok = put(installed + "/System/drivers/custom.dll", "device-specific driver") && ok;
    ok = QFile::link(QStringLiteral("modules/scale"), update + "/Corvane/scale") && ok;
    // A folder the installed application does not have yet.
    ok = put(update + "/Corvane/modules/reports/2024/q1/summary.bin", randomBytes(random, 2048))
        && ok;
    return ok;
}

QByteArray hashOf(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return "link:" + QFile::encodeName(info.symLinkTarget());
    return contentHash(path);
}

// Every file and link below the checked folders.
Tree snapshot(const QString &root)
{
    Tree tree;
    for (const QString &folder : kSnapshotFolders) {
        QDirIterator it(root + '/' + folder, QDir::Files | QDir::System | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            tree.insert(QDir(root).relativeFilePath(path), hashOf(path));
        }
    }
    return tree;
}

QStringList leftovers(const QString &root)
{
    return installLeftovers(onDevice(root, device::installWorkFolder));
}

QByteArray readLog(const QString &root)
{
    QFile f(logFileOn(root));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Starts the installer on a device, its output dropped; with a wrapper (strace and its
// options) under it.
void start(QProcess &process, const QString &root, const QStringList &arguments = {},
           const QStringList &wrapper = {})
{
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    startInstaller(process, root, arguments, wrapper);
}

// Waits (polling every millisecond) until the file holds the text; false after the timeout.
bool waitForText(const QString &file, const char *text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!get(file).contains(text)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::usleep(1000);
    }
    return true;
}

bool waitForLog(const QString &root, const char *text, int timeoutMs)
{
    return waitForText(logFileOn(root), text, timeoutMs);
}

// One whole installation to the end; returns its duration (Starting line to
// Status line) in microseconds, or -1.
qint64 installFully(const QString &root, QByteArray *log)
{
    QProcess process;
    start(process, root);
    if (!process.waitForStarted() || !waitForLog(root, kStartLine, 30000))
        return -1;
    QElapsedTimer timer;
    timer.start();
    if (!waitForLog(root, kStatusLine, 120000))
        return -1;
    const qint64 copyUs = timer.nsecsElapsed() / 1000;
    if (!waitForLog(root, "delete installer directory", 30000))
        return -1;
    // Pulling the stick ends the run the normal way.
    const QString pulled = root + QStringLiteral("/pulled-stick");
    QDir().rename(onDevice(root, device::stickFolder), pulled);
    const bool ended = process.waitForFinished(60000) && process.exitCode() == 0;
    QFile f(pulled + QLatin1Char('/') + QLatin1String(device::logFileName));
    *log = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    QDir().rename(pulled, onDevice(root, device::stickFolder));
    return ended ? copyUs : -1;
}

struct Expected
{
    Tree before;
    Tree after;
    Tree old; // before, without what the clean-up ahead of the switch removes
};

struct KillFigures
{
    int kills = 0;
    int killsAfterCopy = 0;
    int filesChecked = 0;
    int torn = 0;
    int vanished = 0;
    int unexpected = 0;
    int recoveredOld = 0;
    int recoveredNew = 0;
    int mixtures = 0;
    int recoveryFailures = 0;
    int leftoversAfterRecovery = 0;
    int rerunsCompleted = 0;
    int spread[10] = {};
};

// Nothing of the update in place: every path as before, all that the update keeps
// there. The list files that the clean-up removes before the switch may be there or not
// (a cut during the clean-up leaves some of them).
bool isAllOld(const Tree &now, const Expected &e)
{
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (e.before.value(it.key()) != it.value())
            return false;
    }
    for (auto it = e.old.cbegin(); it != e.old.cend(); ++it) {
        if (now.value(it.key()) != it.value())
            return false;
    }
    return true;
}

// Runs --recover-only on a device that was cut short and sorts out what it leaves: the
// two folders entirely old or entirely new, nothing staged left.
void recoverAndCheck(const QString &root, const Expected &e, KillFigures *f, const QString &label)
{
    QProcess recovery;
    start(recovery, root, {QStringLiteral("--recover-only")});
    if (!recovery.waitForFinished(120000) || recovery.exitStatus() != QProcess::NormalExit
        || recovery.exitCode() != 0) {
        ++f->recoveryFailures;
        say(label + QStringLiteral(": --recover-only failed"));
    }
    const Tree now = snapshot(root);
    if (isAllOld(now, e)) {
        ++f->recoveredOld;
    } else if (now == e.after) {
        ++f->recoveredNew;
    } else {
        ++f->mixtures;
        int isOld = 0, isNew = 0;
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            isOld += e.before.value(it.key()) == it.value() ? 1 : 0;
            isNew += e.after.value(it.key()) == it.value() ? 1 : 0;
        }
        say(label
            + QStringLiteral(": after recovery a mixture: %1 paths, %2 as old, %3 as new")
                  .arg(now.size())
                  .arg(isOld)
                  .arg(isNew));
    }
    const QStringList left = leftovers(root);
    if (!left.isEmpty()) {
        f->leftoversAfterRecovery += left.size();
        say(label + QStringLiteral(": left in the work folder: ") + left.join(QLatin1Char(' ')));
    }
}

// The next run finds the update still there and completes it.
void rerunAndCheck(const QString &root, const Expected &e, KillFigures *f, const QString &label)
{
    QByteArray log;
    if (installFully(root, &log) < 0)
        say(label + QStringLiteral(": the rerun did not end normally"));
    const Tree final = snapshot(root);
    const QStringList left = leftovers(root);
    const bool statusTrue = log.split('\n').contains("Status:  true");
    if (final == e.after && left.isEmpty() && statusTrue)
        ++f->rerunsCompleted;
    else
        say(label
            + QStringLiteral(": rerun incomplete (tree %1, left over %2, status %3)")
                  .arg(final == e.after ? "complete" : "differs")
                  .arg(left.size())
                  .arg(statusTrue ? "true" : "missing or false"));
}

QString recoveryFigures(const KillFigures &f)
{
    return QStringLiteral(
               "After --recover-only: all old %1, all new %2, mixtures %3, recovery failures "
               "%4, entries left in the work folder %5")
        .arg(f.recoveredOld)
        .arg(f.recoveredNew)
        .arg(f.mixtures)
        .arg(f.recoveryFailures)
        .arg(f.leftoversAfterRecovery);
}

bool recoveredCleanly(const KillFigures &f, int runs)
{
    return f.mixtures == 0 && f.recoveryFailures == 0 && f.leftoversAfterRecovery == 0
        && f.rerunsCompleted == runs;
}

// Checks the tree at a cut point: each path old or new, nothing torn, nothing lost.
void checkCut(const Tree &now, const Expected &e, KillFigures *f, int *changedInPlace,
              int *changedTotal, const QString &label)
{
    *changedInPlace = 0;
    *changedTotal = 0;
    for (auto it = e.after.cbegin(); it != e.after.cend(); ++it) {
        const bool changes = e.before.value(it.key()) != it.value();
        if (changes)
            ++*changedTotal;
        if (!now.contains(it.key())) {
            // Between the two renames of its switch entry an installed file is moved
            // aside; recovery puts it or its new version back (checked after it).
            if (e.before.contains(it.key()))
                ++f->vanished;
            continue;
        }
        if (changes && now.value(it.key()) == it.value())
            ++*changedInPlace;
    }
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        ++f->filesChecked;
        const bool isNew = e.after.contains(it.key()) && e.after.value(it.key()) == it.value();
        // Old list files are there until the clean-up, which comes after the staging.
        const bool isOld = e.before.contains(it.key()) && e.before.value(it.key()) == it.value();
        if (isNew || isOld)
            continue;
        if (e.after.contains(it.key()) || e.before.contains(it.key())) {
            ++f->torn;
            say(label + QStringLiteral(": torn ") + it.key());
        } else {
            ++f->unexpected;
            say(label + QStringLiteral(": unexpected ") + it.key());
        }
    }
}

int killMode(const QString &work, const QString &pristine, const Expected &e, qint64 copyUs,
             int kills, quint32 seed)
{
    QRandomGenerator random(seed ^ 0x5eedU);
    KillFigures f;
    const QString root = work + QStringLiteral("/device");
    for (int i = 0; i < kills; ++i) {
        const QString label = QStringLiteral("kill %1").arg(i + 1);
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), root});
        if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, root})) {
            say(QStringLiteral("could not copy the device"));
            return 2;
        }
        const qint64 delayUs = qint64(random.bounded(double(copyUs)));
        QProcess process;
        start(process, root);
        if (!process.waitForStarted() || !waitForLog(root, kStartLine, 30000)) {
            say(label + QStringLiteral(": the installer never reached the copy"));
            return 2;
        }
        QThread::usleep(quint64(delayUs));
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(60000);
        ++f.kills;
        if (readLog(root).contains(kStatusLine))
            ++f.killsAfterCopy;

        int inPlace = 0, total = 0;
        checkCut(snapshot(root), e, &f, &inPlace, &total, label);
        ++f.spread[qBound(0, total ? inPlace * 10 / total : 9, 9)];
        recoverAndCheck(root, e, &f, label);
        rerunAndCheck(root, e, &f, label);
    }

    say(QStringLiteral(
            "Kills: %1 (%2 after the copy had ended), delays uniform over a copy of %3 ms")
            .arg(f.kills)
            .arg(f.killsAfterCopy)
            .arg(copyUs / 1000));
    QString spread;
    for (int b = 0; b < 10; ++b)
        spread += QStringLiteral(" %1-%2%:%3").arg(b * 10).arg(b * 10 + 10).arg(f.spread[b]);
    say(QStringLiteral("Spread (share of changed files in place at the kill):") + spread);
    say(QStringLiteral("Files checked after kills: %1; torn: %2; unexpected: %3; moved aside until "
                       "recovery: %4")
            .arg(f.filesChecked)
            .arg(f.torn)
            .arg(f.unexpected)
            .arg(f.vanished));
    say(recoveryFigures(f));
    say(QStringLiteral("Reruns that completed the update: %1 of %2")
            .arg(f.rerunsCompleted)
            .arg(f.kills));
    say(QStringLiteral(
        "Note: a killed process leaves the page cache intact, so kills cannot show a "
        "missing flush; --strict checks the flush order."));
    const bool passed = f.torn == 0 && f.unexpected == 0 && recoveredCleanly(f, f.kills);
    say(passed ? QStringLiteral("1 passed, 0 failed") : QStringLiteral("0 passed, 1 failed"));
    return passed ? 0 : 1;
}

// ---- pending mode: kills while an update waits for its confirmation -----------------

// The window of the runs: short, so that a run is over in a second or two.
const char kWindowSeconds[] = "1";
const char kWatchedLine[] = "The application is started and watched";

// Both applications note their pid; the new one fails when the device says so.
QByteArray applicationScript(const QByteArray &name)
{
    return "#!/bin/sh\necho $$ >>\"$CORVANE_DEVICE_ROOT/app.pids\"\n[ " + name
        + " = new ] && [ -e \"$CORVANE_DEVICE_ROOT/faulty\" ] && exit 1\nexec sleep 30\n";
}

bool putApplications(const QString &root)
{
    bool ok = true;
    for (const auto &[path, name] :
         {std::pair<const char *, QByteArray>{device::appExecutable, "old"},
          {"/FlashDisk/Corvane_Installer/Corvane/Corvane.exe", "new"}}) {
        const QString file = onDevice(root, path);
        ok = put(file, applicationScript(name))
            && QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
            && ok;
    }
    return ok;
}

void stopApplications(const QString &root)
{
    for (const QByteArray &pid : get(root + QStringLiteral("/app.pids")).split('\n')) {
        if (pid.toLongLong() > 0)
            ::kill(pid_t(pid.toLongLong()), SIGKILL);
    }
    QFile::remove(root + QStringLiteral("/app.pids"));
}

// A fresh device without a stick (the run goes on to the watch at once), the new
// application faulty or not.
bool freshDevice(const QString &pristine, const QString &root, bool faulty)
{
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), root});
    if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, root}))
        return false;
    QDir(onDevice(root, device::stickFolder)).removeRecursively();
    return !faulty || put(root + QStringLiteral("/faulty"), "yes");
}

void startHeld(QProcess &process, const QString &root)
{
    confirmSeconds() = QLatin1String(kWindowSeconds);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(root + QStringLiteral("/stderr.txt"));
    startInstaller(process, root);
    confirmSeconds() = QStringLiteral("0");
}

bool hasPending(const QString &root)
{
    return QFileInfo::exists(onDevice(root, device::installWorkFolder)
                             + QStringLiteral("/pending"));
}

// A start with the same window as the run (with none, a pending update is confirmed).
int runOnce(const QString &root, const QString &argument)
{
    QProcess p;
    confirmSeconds() = QLatin1String(kWindowSeconds);
    start(p, root, {argument});
    confirmSeconds() = QStringLiteral("0");
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A whole run: from the start to the watch, and from there to the end, in ms.
bool timeHeldRun(const QString &pristine, const QString &root, bool faulty, qint64 *toWatch,
                 qint64 *watchToEnd)
{
    if (!freshDevice(pristine, root, faulty))
        return false;
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    startHeld(process, root);
    if (!waitForText(root + QStringLiteral("/stderr.txt"), kWatchedLine, 60000))
        return false;
    *toWatch = timer.elapsed();
    const bool ended = process.waitForFinished(60000) && process.exitCode() == 0;
    *watchToEnd = timer.elapsed() - *toWatch;
    stopApplications(root);
    return ended;
}

struct PhaseFigures
{
    int kills = 0;
    int old = 0;     // after --recover-only: all old, lists and backups back
    int pending = 0; // all new and still pending
    int fresh = 0;   // all new, settled
    int mixtures = 0;
    int settledOld = 0;
    int settledNew = 0;
    int unsettled = 0; // neither all old nor all new, or something left, in the end
};

QString phaseFigures(const PhaseFigures &pf)
{
    return QStringLiteral("after --recover-only all old %1, all new and pending %2, all new and "
                          "settled %3, mixtures %4; then settled old %5, new %6, unsettled %7")
        .arg(pf.old)
        .arg(pf.pending)
        .arg(pf.fresh)
        .arg(pf.mixtures)
        .arg(pf.settledOld)
        .arg(pf.settledNew)
        .arg(pf.unsettled);
}

// After a kill of a held-back run: each file old or new; the next start leaves all old
// (lists and backups back) or all new; then the faulty update is undone by two more starts,
// the good one confirmed by root, and nothing is left in the work folder but the history.
void settleAndCheck(const QString &root, const Expected &e, bool faulty, const QString &label,
                    KillFigures *f, PhaseFigures *pf)
{
    ++pf->kills;
    ++f->kills;
    int inPlace = 0, total = 0;
    checkCut(snapshot(root), e, f, &inPlace, &total, label);
    // A kill while the old application is being started can leave the lock for a moment
    // with its starter, between its fork and its exec: a start then ends with "Another
    // installer is running". One more start a moment later must settle it.
    bool recovered = runOnce(root, QStringLiteral("--recover-only")) == 0;
    if (!recovered) {
        QThread::msleep(200);
        say(label + QStringLiteral(": --recover-only ended with 1; started again"));
        recovered = runOnce(root, QStringLiteral("--recover-only")) == 0;
    }
    if (!recovered) {
        ++f->recoveryFailures;
        say(label + QStringLiteral(": --recover-only failed"));
    }
    stopApplications(root);
    const Tree now = snapshot(root);
    if (now == e.before) {
        ++pf->old;
    } else if (now == e.after) {
        ++(hasPending(root) ? pf->pending : pf->fresh);
    } else {
        ++pf->mixtures;
        ++f->mixtures;
        say(label + QStringLiteral(": after recovery neither all old nor all new"));
    }
    if (hasPending(root)) {
        if (faulty) {
            runOnce(root, QStringLiteral("--recover-only"));
            runOnce(root, QStringLiteral("--recover-only"));
        } else {
            runOnce(root, QStringLiteral("--confirm"));
        }
    }
    stopApplications(root);
    const Tree settled = snapshot(root);
    QStringList left = leftovers(root);
    left.removeAll(QStringLiteral("history"));
    left.removeAll(QStringLiteral("history-shown"));
    if (settled == e.before && left.isEmpty()) {
        ++pf->settledOld;
    } else if (settled == e.after && left.isEmpty()) {
        ++pf->settledNew;
    } else {
        ++pf->unsettled;
        f->leftoversAfterRecovery += int(left.size());
        say(label
            + QStringLiteral(": not settled (tree %1, left %2)")
                  .arg(settled == e.before      ? "old"
                           : settled == e.after ? "new"
                                                : "mixed")
                  .arg(left.join(QLatin1Char(' '))));
    }
}

int pendingMode(const QString &work, const QString &pristine, const Expected &e, int kills,
                quint32 seed)
{
    const QString root = work + QStringLiteral("/device");
    qint64 goodToWatch = 0, goodAfter = 0, badToWatch = 0, badAfter = 0;
    if (!timeHeldRun(pristine, root, false, &goodToWatch, &goodAfter)
        || !timeHeldRun(pristine, root, true, &badToWatch, &badAfter)) {
        say(QStringLiteral("a whole held-back run did not end"));
        return 2;
    }
    say(QStringLiteral("Held-back runs: %1 ms to the watch; then confirmed after %2 ms (window "
                       "%3 s), or undone after %4 ms")
            .arg(goodToWatch)
            .arg(goodAfter)
            .arg(QLatin1String(kWindowSeconds))
            .arg(badAfter));
    const QStringList phases = {QStringLiteral("pending window"), QStringLiteral("fallback"),
                                QStringLiteral("confirmation")};
    const qint64 windowMs = QByteArray(kWindowSeconds).toLongLong() * 1000;
    QRandomGenerator random(seed ^ 0xfa11U);
    KillFigures f;
    PhaseFigures figures[3];
    for (int i = 0; i < kills; ++i) {
        const int phase = i % 3;
        const QString label = QStringLiteral("kill %1 (%2)").arg(i + 1).arg(phases[phase]);
        if (!freshDevice(pristine, root, phase == 1))
            return 2;
        QProcess process;
        startHeld(process, root);
        if (!process.waitForStarted())
            return 2;
        // From the start through the installation into the window; or from the watch
        // into the fallback; or around the end of the window into the confirmation.
        qint64 delayMs = 0;
        if (phase == 0) {
            delayMs = qint64(random.bounded(double(goodToWatch + windowMs)));
        } else {
            if (!waitForText(root + QStringLiteral("/stderr.txt"), kWatchedLine, 60000)) {
                say(label + QStringLiteral(": the run never reached the watch"));
                return 2;
            }
            delayMs = phase == 1
                ? qint64(random.bounded(double(badAfter) + 1))
                : windowMs - 50 + qint64(random.bounded(double(goodAfter - windowMs) + 50));
        }
        QThread::usleep(quint64(delayMs) * 1000);
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(60000);
        stopApplications(root);
        settleAndCheck(root, e, phase == 1, label, &f, &figures[phase]);
    }
    bool passed = f.torn == 0 && f.unexpected == 0 && f.recoveryFailures == 0 && f.mixtures == 0;
    for (int p = 0; p < 3; ++p) {
        const PhaseFigures &pf = figures[p];
        say(QStringLiteral("%1: %2 kills; %3").arg(phases[p]).arg(pf.kills).arg(phaseFigures(pf)));
        passed = passed && pf.unsettled == 0 && pf.mixtures == 0;
    }
    // Each phase did what it is there for at least once.
    passed = passed && figures[1].settledOld > 0 && figures[2].settledNew > 0;
    say(QStringLiteral("Files checked after kills: %1; torn: %2; unexpected: %3")
            .arg(f.filesChecked)
            .arg(f.torn)
            .arg(f.unexpected));
    say(passed ? QStringLiteral("1 passed, 0 failed") : QStringLiteral("0 passed, 1 failed"));
    return passed ? 0 : 1;
}

// ---- strict mode: replay of a system call trace as power cuts --------------------------

struct Call
{
    QString name;
    QStringList paths; // fd paths (strace -y) and path arguments, in order
    bool failed = false;
    bool creates = false; // an open that may create its file (O_CREAT)
    qint64 pid = 0;       // the thread that made it (strace -f)
};

QString unescape(const QString &s)
{
    QByteArray out;
    const QByteArray in = s.toLatin1();
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
            out += char(in.mid(i + 2, 2).toInt(nullptr, 16));
            i += 3;
        } else if (in[i] == '\\' && i + 1 < in.size()) {
            out += in[++i];
        } else {
            out += in[i];
        }
    }
    return QFile::decodeName(out);
}

QList<Call> parseTrace(const QString &file)
{
    QList<Call> calls;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return calls;
    static const QRegularExpression line(
        QStringLiteral("^(?:(\\d+)\\s+)?(\\w+)\\((.*)\\)\\s+=\\s+(-?\\d+)"));
    static const QRegularExpression item(
        QStringLiteral("<((?:[^>\\\\]|\\\\.)*)>|\"((?:[^\"\\\\]|\\\\.)*)\""));
    while (!f.atEnd()) {
        const QString text = QString::fromLatin1(f.readLine()).trimmed();
        const auto m = line.match(text);
        if (!m.hasMatch())
            continue;
        Call c;
        c.pid = m.captured(1).toLongLong();
        c.name = m.captured(2);
        c.failed = m.captured(4).toLongLong() < 0;
        c.creates = c.name.startsWith("open") && m.captured(3).contains("O_CREAT");
        // The *at calls name a file by an open folder and a name in it: one path.
        const bool relativeToFolder = c.name.endsWith("at") || c.name.endsWith("at2");
        bool afterFolder = false;
        auto items = item.globalMatch(m.captured(3));
        while (items.hasNext()) {
            const auto im = items.next();
            const bool isFolder = !im.captured(1).isNull();
            const QString path = unescape(isFolder ? im.captured(1) : im.captured(2));
            if (relativeToFolder && afterFolder && !isFolder && !path.isEmpty()
                && !path.startsWith('/'))
                c.paths.last() += '/' + path;
            else
                c.paths << path;
            afterFolder = isFolder;
        }
        calls << c;
    }
    return calls;
}

struct Replay
{
    int cutPoints = 0;
    int renames = 0;
    int tornPoints = 0;
    int mixedPoints = 0;
    bool complete = false;
    size_t unsyncedAtEnd = 0;
};

// Replays a traced installation as a power cut after every call. Paths count by name: the
// installed folders (checked) and the work folder with the staged files and the journal.
Replay replay(const QList<Call> &calls, const QString &base)
{
    const QString work = onDevice(base.chopped(1), device::installWorkFolder);
    const QString journal = work + QStringLiteral("/journal");
    auto checked = [&](const QString &p) {
        for (const QString &folder : kCheckedFolders)
            if (p.startsWith(base + folder + '/'))
                return true;
        return false;
    };
    auto staged = [&](const QString &p) { return p.startsWith(work + '/'); };
    auto parentOf = [](const QString &p) { return p.left(p.lastIndexOf('/')); };
    auto isTargetRename = [&](const Call &c) {
        return !c.failed && c.name.startsWith("rename") && c.paths.size() >= 2
            && (checked(c.paths.value(c.paths.size() - 2)) || checked(c.paths.last()));
    };
    int targetRenames = 0;
    for (const Call &c : calls)
        targetRenames += isTargetRename(c) ? 1 : 0;

    Replay r;
    std::set<QString> dirty;           // files with data not yet on disk
    std::multiset<QString> unsyncedIn; // folders with renames not yet on disk
    std::map<QString, bool> tornIfCut; // final path -> renamed while its data was not on disk
    bool journalNamed = false, journalNameOnDisk = false, journalGone = false,
         journalGoneOnDisk = false;
    bool forwardSafe = false; // when the journal got its name, all it refers to was on disk
    int targetsIssued = 0;
    for (const Call &c : calls) {
        if (c.failed)
            continue;
        const QString p0 = c.paths.value(0);
        const QString last = c.paths.value(c.paths.size() - 1);
        auto tracked = [&](const QString &p) { return checked(p) || staged(p); };
        if (c.name == "write" || c.name == "pwrite64" || c.name == "ftruncate"
            || c.name == "sendfile") {
            if (tracked(p0))
                dirty.insert(p0);
        } else if (c.name == "copy_file_range") {
            if (tracked(c.paths.value(1)))
                dirty.insert(c.paths.value(1));
        } else if (c.name == "openat") {
            // A created file is empty and dirty until flushed; folders opened on the way
            // (where openat2 is missing) are not.
            if (c.creates && staged(last))
                dirty.insert(last);
        } else if (c.name == "fsync" || c.name == "fdatasync") {
            dirty.erase(p0);
            unsyncedIn.erase(p0);
            if (p0 == work) {
                journalNameOnDisk = journalNamed;
                journalGoneOnDisk = journalGone;
            }
        } else if (c.name == "syncfs" || c.name == "sync") {
            dirty.clear();
            unsyncedIn.clear();
            journalNameOnDisk = journalNamed;
            journalGoneOnDisk = journalGone;
        } else if (c.name.startsWith("rename")) {
            const QString from = c.paths.value(c.paths.size() - 2);
            const QString &to = last;
            if (to == journal) {
                journalNamed = true;
                forwardSafe = dirty.empty();
            } else if (isTargetRename(c)) {
                ++r.renames;
                ++targetsIssued;
                unsyncedIn.insert(parentOf(to));
                unsyncedIn.insert(parentOf(from));
            }
            if (tracked(to)) {
                // Pessimistic: the rename can reach the disk before the data of its file.
                tornIfCut[to] = dirty.count(from) > 0;
                dirty.erase(from);
                if (tornIfCut[to])
                    dirty.insert(to);
            }
        } else if (c.name == "unlink" || c.name == "unlinkat") {
            if (last == journal)
                journalGone = true;
        } else if (c.name.startsWith("symlink")) {
            if (tracked(last))
                dirty.insert(last);
        } else if (c.name.startsWith("mkdir")) {
            if (tracked(last))
                unsyncedIn.insert(parentOf(last));
        }
        // A cut after this call.
        ++r.cutPoints;
        bool torn = false;
        for (auto &[path, renamedDirty] : tornIfCut) {
            if (renamedDirty && dirty.count(path))
                torn = true;
            else
                renamedDirty = false;
        }
        r.tornPoints += torn ? 1 : 0;
        // Recovery completes the switch when it finds the journal, and otherwise removes
        // what was staged. Either must give all old or all new: a journal that may be
        // there must refer only to data on disk, and a journal that may be gone must
        // leave no rename of the switch unfinished or not yet on disk.
        const bool journalMayBeThere = journalNamed && !journalGoneOnDisk;
        const bool journalMayBeGone = !journalNameOnDisk || journalGone;
        const bool allRenamesOnDisk = targetsIssued == targetRenames && unsyncedIn.empty();
        if ((journalMayBeThere && !forwardSafe)
            || (journalMayBeGone && targetsIssued > 0 && !allRenamesOnDisk))
            ++r.mixedPoints;
    }
    r.unsyncedAtEnd = unsyncedIn.size();
    return r;
}

// A point of the traced run at which an injected kill cuts the installer: the n-th call of
// one system call.
struct InjectionPoint
{
    QString what;
    QString syscall;
    int nth = 0;
};

QList<InjectionPoint> injectionPoints(const QList<Call> &calls, const QString &base)
{
    const QString work = onDevice(base.chopped(1), device::installWorkFolder);
    QHash<QString, int> seen;
    QList<InjectionPoint> points;
    QList<InjectionPoint> switchRenames;
    int syncfsAfterJournal = 0;
    bool journalNamed = false, journalRemoved = false, firstUnlinkOfOld = true, firstLink = true;
    for (const Call &c : calls) {
        const int nth = ++seen[c.name];
        const QString last = c.paths.value(c.paths.size() - 1);
        if (c.failed)
            continue;
        if (c.name.startsWith("link") && firstLink && last.startsWith(work + '/')) {
            firstLink = false;
            points << InjectionPoint{QStringLiteral("staging (first hard link)"), c.name, nth};
        } else if (c.name.startsWith("rename") && last == work + QStringLiteral("/journal")) {
            journalNamed = true;
            points << InjectionPoint{QStringLiteral("the journal's rename"), c.name, nth};
        } else if (c.name.startsWith("rename") && journalNamed) {
            switchRenames << InjectionPoint{QString(), c.name, nth};
        } else if (c.name == "syncfs" && journalNamed && syncfsAfterJournal++ == 0) {
            points << InjectionPoint{QStringLiteral("the flush after the switch"), c.name, nth};
        } else if (c.name.startsWith("unlink") && last == work + QStringLiteral("/journal")) {
            journalRemoved = true;
            points << InjectionPoint{QStringLiteral("the journal's removal"), c.name, nth};
        } else if (c.name.startsWith("unlink") && firstUnlinkOfOld && journalRemoved
                   && (last.startsWith(work + QStringLiteral("/old/"))
                       || last.startsWith(work + QStringLiteral("/staging/")))) {
            // Replaced files end up in old/ when set aside, in staging/ when exchanged.
            firstUnlinkOfOld = false;
            points << InjectionPoint{QStringLiteral("the clean-up of old files"), c.name, nth};
        }
    }
    if (!switchRenames.isEmpty()) {
        const int n = int(switchRenames.size());
        const QList<std::pair<QString, int>> picks
            = {{QStringLiteral("the switch's first rename"), 0},
               {QStringLiteral("the switch's second rename"), 1},
               {QStringLiteral("the middle of the switch"), n / 2},
               {QStringLiteral("the switch's last rename"), n - 1}};
        for (const auto &[what, index] : picks) {
            InjectionPoint p = switchRenames.value(qBound(0, index, n - 1));
            p.what = what;
            points << p;
        }
    }
    return points;
}

int strictMode(const QString &work, const QString &pristine, const Expected &e)
{
    const QString root = work + QStringLiteral("/device");
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), root});
    if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, root}))
        return 2;
    const QString trace = work + QStringLiteral("/trace.txt");
    const QString traced = QStringLiteral(
        "trace=openat,write,pwrite64,copy_file_range,sendfile,ftruncate,fsync,fdatasync,"
        "syncfs,sync,rename,renameat,renameat2,mkdir,mkdirat,symlink,symlinkat,unlink,"
        "unlinkat,link,linkat");
    QProcess process;
    start(process, root, {},
          {"strace", "-f", "-qq", "-y", "-s", "0", "-e", "signal=none", "-o", trace, "-e", traced});
    if (!process.waitForStarted(10000)) {
        say(QStringLiteral("SKIP: strace is not available"));
        return 77;
    }
    if (!waitForLog(root, "delete installer directory", 300000)) {
        say(QStringLiteral("the traced installation did not end"));
        process.kill();
        return 2;
    }
    QDir().rename(onDevice(root, device::stickFolder), root + QStringLiteral("/pulled"));
    process.waitForFinished(60000);

    // The trace shows canonical paths.
    const QString base = QDir(root).canonicalPath() + '/';
    const QList<Call> calls = parseTrace(trace);
    const Replay r = replay(calls, base);
    const bool complete = snapshot(root) == e.after;
    say(QStringLiteral(
            "Strict: %1 system calls replayed as power cuts, %2 renames of the switch; cut "
            "points with a torn file: %3; where recovery could leave a mixture: %4")
            .arg(r.cutPoints)
            .arg(r.renames)
            .arg(r.tornPoints)
            .arg(r.mixedPoints));
    say(QStringLiteral("Strict: at the end, folders with renames not yet flushed: %1; installation "
                       "complete: %2")
            .arg(r.unsyncedAtEnd)
            .arg(complete ? "yes" : "no"));

    // The same installation cut by a kill at chosen calls, recovered and run again.
    KillFigures f;
    const QList<InjectionPoint> points = injectionPoints(calls, base);
    int missed = 0;
    for (const InjectionPoint &point : points) {
        const QString label = QStringLiteral("kill at ") + point.what;
        run(QStringLiteral("rm"), {QStringLiteral("-rf"), root});
        run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, root});
        QProcess killed;
        start(killed, root, {},
              {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + point.syscall, "-e",
               QStringLiteral("inject=%1:signal=KILL:when=%2").arg(point.syscall).arg(point.nth)});
        killed.waitForFinished(120000);
        if (readLog(root).contains("delete installer directory")) { // the kill missed its call
            ++missed;
            say(label + QStringLiteral(": the run was not cut"));
            killed.kill();
            killed.waitForFinished(10000);
        }
        ++f.kills;
        recoverAndCheck(root, e, &f, label);
        rerunAndCheck(root, e, &f, label);
    }
    say(QStringLiteral("Strict: kills injected at %1 calls (%2), %3 missed their call")
            .arg(points.size())
            .arg([&] {
                QStringList names;
                for (const InjectionPoint &p : points)
                    names << p.what;
                return names.join(QStringLiteral(", "));
            }())
            .arg(missed));
    say(QStringLiteral("Strict: ") + recoveryFigures(f));
    say(QStringLiteral("Strict: reruns that completed the update: %1 of %2")
            .arg(f.rerunsCompleted)
            .arg(f.kills));
    const bool passed = r.renames > 0 && r.tornPoints == 0 && r.mixedPoints == 0
        && r.unsyncedAtEnd == 0 && complete && points.size() >= 9 && missed == 0
        && recoveredCleanly(f, f.kills) && f.recoveredOld > 0 && f.recoveredNew > 0;
    say(passed ? QStringLiteral("1 passed, 0 failed") : QStringLiteral("0 passed, 1 failed"));
    return passed ? 0 : 1;
}

// The order a held-back update's steps reach the disk in, from a traced run: at each of
// these calls a power cut must leave what the next start can settle.
//   the journal named     the pending record is on disk (else the switch would be finished
//                         without holding back) and so is all staged data
//   held named            every rename of the switch is on disk
//   held -> journal       the rollback mark is on disk (the undo goes the right way)
//   the journal removed   every rename of the undo is on disk
//   pending removed       at a confirmation, the mark of a finished switch is on disk
struct PendingReplay
{
    int cutPoints = 0;
    int faults = 0;
    QStringList met; // the checks that came up
};

PendingReplay replayPending(const QList<Call> &calls, const QString &base)
{
    const QString work = onDevice(base.chopped(1), device::installWorkFolder);
    const auto inWork = [&](const QString &name) { return work + '/' + name; };
    const auto isTarget = [&](const QString &p) {
        for (const QString &folder : kSnapshotFolders) {
            if (p.startsWith(base + folder + '/'))
                return true;
        }
        return p.startsWith(inWork(QStringLiteral("cleared/")));
    };
    const auto parentOf = [](const QString &p) { return p.left(p.lastIndexOf('/')); };
    PendingReplay r;
    std::set<QString> present, onDisk, dirty;
    std::multiset<QString> unsyncedIn;
    bool heldSeen = false;
    const auto check = [&](bool sound, const QString &what) {
        if (!r.met.contains(what))
            r.met << what;
        if (!sound) {
            ++r.faults;
            say(QStringLiteral("Strict pending: not on disk in time: ") + what);
        }
    };
    for (const Call &c : calls) {
        if (c.failed)
            continue;
        ++r.cutPoints;
        const QString p0 = c.paths.value(0);
        const QString last = c.paths.value(c.paths.size() - 1);
        if (c.name == "write" || c.name == "pwrite64" || c.name == "copy_file_range") {
            dirty.insert(c.name == "copy_file_range" ? c.paths.value(1) : p0);
        } else if (c.name == "fsync" || c.name == "fdatasync") {
            dirty.erase(p0);
            unsyncedIn.erase(p0);
            if (p0 == work)
                onDisk = present;
        } else if (c.name == "syncfs" || c.name == "sync") {
            dirty.clear();
            unsyncedIn.clear();
            onDisk = present;
        } else if (c.name.startsWith("rename")) {
            const QString from = c.paths.value(c.paths.size() - 2);
            if (last == inWork("journal") && from == inWork("journal.new")
                && present.count(inWork("pending")))
                check(onDisk.count(inWork("pending")) && dirty.empty(),
                      QStringLiteral("the pending record and the staged data before the journal"));
            if (last == inWork("held")) {
                heldSeen = true;
                check(unsyncedIn.empty(),
                      QStringLiteral("the switch before the record of held-back entries"));
            }
            if (from == inWork("held") && last == inWork("journal"))
                check(onDisk.count(inWork("rollback")) > 0,
                      QStringLiteral("the rollback mark before the undo's journal"));
            if (isTarget(from) || isTarget(last)) {
                unsyncedIn.insert(parentOf(from));
                unsyncedIn.insert(parentOf(last));
            }
            if (dirty.erase(from))
                dirty.insert(last);
            present.erase(from);
            present.insert(last);
        } else if (c.name.startsWith("unlink")) {
            if (last == inWork("journal") && heldSeen)
                check(unsyncedIn.empty(), QStringLiteral("the undo before the journal's removal"));
            if (last == inWork("pending") && present.count(inWork("switched")))
                check(onDisk.count(inWork("switched")) > 0,
                      QStringLiteral("the mark of a finished switch before the pending record's "
                                     "removal"));
            present.erase(last);
        }
    }
    return r;
}

// Calls of a traced held-back run at which a kill is injected, counted as strace counts
// them: per system call and per thread (the main thread makes every rename of the switch,
// the fallback and the confirmation).
QList<InjectionPoint> pendingInjectionPoints(const QList<Call> &calls, const QString &base)
{
    const QString work = onDevice(base.chopped(1), device::installWorkFolder);
    const qint64 main = calls.isEmpty() ? 0 : calls.first().pid;
    QHash<QString, int> seen;
    QList<InjectionPoint> points;
    QList<InjectionPoint> undoRenames;
    int pendingRenames = 0;
    bool held = false, undoing = false, clearedBack = false;
    for (const Call &c : calls) {
        if (c.pid != main)
            continue;
        const int nth = ++seen[c.name];
        if (c.failed)
            continue;
        const QString last = c.paths.value(c.paths.size() - 1);
        const QString from = c.paths.value(c.paths.size() - 2);
        const auto add = [&](const char *what) {
            points << InjectionPoint{QString::fromUtf8(what), c.name, nth};
        };
        if (c.name.startsWith("rename")) {
            if (last == work + "/pending" && ++pendingRenames <= 2)
                add(pendingRenames == 1 ? "the pending record's rename"
                                        : "the decision's record (fallback or confirmation)");
            else if (last == work + "/journal" && !held)
                add("the journal's rename");
            else if (last == work + "/held") {
                held = true;
                add("the rename of the journal to held");
            } else if (last == work + "/rollback" && held)
                add("the rollback mark of the fallback");
            else if (last == work + "/switched" && held)
                add("the mark of a finished switch at the confirmation");
            else if (from == work + "/held") {
                undoing = true;
                add("the held-back entries turned into the undo's journal");
            } else if (from.startsWith(work + "/cleared/") && !clearedBack) {
                clearedBack = true;
                add("the first cleared file put back");
            } else if (undoing)
                undoRenames << InjectionPoint{QString(), c.name, nth};
        } else if (c.name.startsWith("unlink")) {
            if (last == work + "/journal" && undoing)
                add("the journal's removal after the undo");
            else if (last == work + "/pending" && held)
                add("the pending record's removal");
        }
    }
    if (!undoRenames.isEmpty()) {
        InjectionPoint first = undoRenames.first(), lastRename = undoRenames.last();
        first.what = QStringLiteral("the undo's first rename");
        lastRename.what = QStringLiteral("the undo's last rename");
        points << first << lastRename;
    }
    return points;
}

int strictPendingMode(const QString &work, const QString &pristine, const Expected &e)
{
    const QString root = work + QStringLiteral("/device");
    const QString traced = QStringLiteral(
        "trace=openat,write,pwrite64,copy_file_range,fsync,fdatasync,syncfs,sync,rename,"
        "renameat,renameat2,unlink,unlinkat");
    KillFigures f;
    PhaseFigures figures[2];
    int faults = 0, missed = 0, pointCount = 0;
    QStringList met;
    for (const bool faulty : {true, false}) {
        const QString trace = work + QStringLiteral("/trace.txt");
        if (!freshDevice(pristine, root, faulty))
            return 2;
        QProcess process;
        confirmSeconds() = QLatin1String(kWindowSeconds);
        // The leak check of a sanitized build cannot run under a tracer, and would fail
        // the run at its end.
        const QByteArray sanitizer = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", sanitizer + (sanitizer.isEmpty() ? "" : ":") + "detect_leaks=0");
        start(process, root, {},
              {"strace", "-f", "-qq", "-y", "-s", "0", "-e", "signal=none", "-o", trace, "-e",
               traced});
        qputenv("ASAN_OPTIONS", sanitizer);
        confirmSeconds() = QStringLiteral("0");
        if (!process.waitForStarted(10000)) {
            say(QStringLiteral("SKIP: strace is not available"));
            return 77;
        }
        if (!process.waitForFinished(120000) || process.exitCode() != 0) {
            say(QStringLiteral("the traced held-back run did not end well (%1, exit code %2)")
                    .arg(process.state() == QProcess::NotRunning ? "ended" : "still running")
                    .arg(process.exitCode()));
            return 2;
        }
        stopApplications(root);
        const QString base = QDir(root).canonicalPath() + '/';
        const QList<Call> calls = parseTrace(trace);
        const PendingReplay r = replayPending(calls, base);
        faults += r.faults;
        for (const QString &what : r.met) {
            if (!met.contains(what))
                met << what;
        }
        say(QStringLiteral("Strict pending (%1 application): %2 system calls, %3 checks of the "
                           "order, %4 out of order")
                .arg(faulty ? "faulty" : "good")
                .arg(r.cutPoints)
                .arg(r.met.size())
                .arg(r.faults));
        const QList<InjectionPoint> points = pendingInjectionPoints(calls, base);
        pointCount += int(points.size());
        for (const InjectionPoint &point : points) {
            const QString label = QStringLiteral("kill at ") + point.what;
            if (!freshDevice(pristine, root, faulty))
                return 2;
            QProcess killed;
            confirmSeconds() = QLatin1String(kWindowSeconds);
            start(killed, root, {},
                  {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + point.syscall, "-e",
                   QStringLiteral("inject=%1:signal=KILL:when=%2")
                       .arg(point.syscall)
                       .arg(point.nth)});
            confirmSeconds() = QStringLiteral("0");
            killed.waitForFinished(120000);
            if (killed.exitStatus() == QProcess::NormalExit) {
                ++missed;
                say(label + QStringLiteral(": the run was not cut"));
            }
            stopApplications(root);
            settleAndCheck(root, e, faulty, label, &f, &figures[faulty ? 0 : 1]);
        }
    }
    say(QStringLiteral("Strict pending: order checks met: %1").arg(met.join(QStringLiteral("; "))));
    bool passed = faults == 0 && met.size() == 5 && missed == 0 && f.torn == 0 && f.unexpected == 0
        && f.recoveryFailures == 0 && f.mixtures == 0 && pointCount >= 14;
    for (int i = 0; i < 2; ++i) {
        const PhaseFigures &pf = figures[i];
        say(QStringLiteral(
                "Strict pending, %1 application: kills at %2 calls (%3 missed in all); %4")
                .arg(i == 0 ? "faulty" : "good")
                .arg(pf.kills)
                .arg(missed)
                .arg(phaseFigures(pf)));
        passed = passed && pf.unsettled == 0;
    }
    passed = passed && figures[0].settledOld > 0 && figures[1].settledNew > 0;
    say(passed ? QStringLiteral("1 passed, 0 failed") : QStringLiteral("0 passed, 1 failed"));
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int kills = 50;
    quint32 seed = quint32(QDateTime::currentMSecsSinceEpoch());
    bool strict = false, keep = false, pending = false;
    // Memory-backed when the machine has it: a run is then CPU-bound and 50 kills fit in
    // a minute; what a kill shows does not depend on the disk below the page cache.
    QString base = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm")
                                                                      : QDir::tempPath();
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--kills" && i + 1 < args.size())
            kills = args[++i].toInt();
        else if (args[i] == "--seed" && i + 1 < args.size())
            seed = args[++i].toUInt();
        else if (args[i] == "--strict")
            strict = true;
        else if (args[i] == "--pending")
            pending = true;
        else if (args[i] == "--keep")
            keep = true;
        else if (args[i] == "--work" && i + 1 < args.size())
            base = args[++i];
        else if (args[i] == "--installer" && i + 1 < args.size())
            installerProgram() = args[++i];
        else {
            say(QStringLiteral("usage: powercut [--kills N] [--seed S] [--strict] [--pending] "
                               "[--keep] [--work DIR] [--installer EXE]"));
            return 2;
        }
    }

    QTemporaryDir workDir(base + QStringLiteral("/powercut-XXXXXX"));
    workDir.setAutoRemove(!keep);
    // The trace shows canonical paths; the device lives under one.
    const QString work = QDir(workDir.path()).canonicalPath();
    const QString pristine = work + QStringLiteral("/pristine");
    if (!layOut(pristine, seed) || (pending && !putApplications(pristine))) {
        say(QStringLiteral("could not lay out the device"));
        return 2;
    }
    Expected e;
    e.before = snapshot(pristine);

    // A full installation gives the finished tree and the length of the copy.
    const QString reference = work + QStringLiteral("/reference");
    run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, reference});
    QByteArray log;
    qint64 copyUs = installFully(reference, &log);
    if (copyUs < 0 || !log.split('\n').contains("Status:  true")) {
        say(QStringLiteral("the reference installation failed:\n") + QString::fromUtf8(log));
        return 2;
    }
    e.after = snapshot(reference);
    for (auto it = e.before.cbegin(); it != e.before.cend(); ++it) {
        if (e.after.contains(it.key()))
            e.old.insert(it.key(), it.value());
    }
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), reference});
    run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, reference});
    const qint64 second = installFully(reference, &log);
    if (second > 0)
        copyUs = (copyUs + second) / 2;
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), reference});

    int changed = 0;
    for (auto it = e.after.cbegin(); it != e.after.cend(); ++it)
        changed += e.before.value(it.key()) != it.value() ? 1 : 0;
    say(QStringLiteral(
            "Device: %1 files installed before, %2 after, %3 of them new or replaced; seed %4")
            .arg(e.before.size())
            .arg(e.after.size())
            .arg(changed)
            .arg(seed));
    if (keep)
        say(QStringLiteral("Work folder kept: ") + work);

    if (pending)
        return strict ? strictPendingMode(work, pristine, e)
                      : pendingMode(work, pristine, e, kills, seed);
    return strict ? strictMode(work, pristine, e)
                  : killMode(work, pristine, e, copyUs, kills, seed);
}
