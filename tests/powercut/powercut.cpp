// Power cuts during an update, on a simulated device with a realistic update (a few
// hundred files in nested folders, large ones, replaced ones and new ones).
//
// Kill mode (default): the real corvane-installer is killed with SIGKILL at moments spread
// uniformly over the copy. After each kill every file below FlashDisk/System and
// FlashDisk/Corvane must be byte for byte its old or its new content; then the installer
// runs again on the same tree and must complete the update (all new contents, no
// temporary files, "Status:  true"). A killed process keeps the page cache, so kills show
// torn files from the write/rename order only, never a missing flush.
//
// Strict mode (--strict): one installation runs under strace; every system call is then
// taken as a power cut under a pessimistic disk model (written data is on disk only after
// fsync/syncfs, a rename may reach the disk at once), and every installed path must be old
// or complete new content at every such point, and every rename made durable by the end.
//
//   powercut [--kills N] [--seed S] [--strict] [--keep] [--work DIR] [--installer EXE]
// --installer runs that program instead of the one built with this test (a copy keeps a
// long run safe from rebuilds). --work puts the simulated devices in DIR (default: /dev/shm when writable, else the
// temporary folder; "--work /tmp" puts them on a disk, about 6 s a kill).
// CTest runs "powercut --kills 50" and "powercut --strict". The long mode, about 15 to 20
// minutes on 2 cores:   build-robust/tests/powercut --kills 500
// Exit code 0 when nothing was torn and every rerun completed the update.

#include "fileutils.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
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

namespace {

const QStringList kCheckedFolders = {QStringLiteral("FlashDisk/System"),
                                     QStringLiteral("FlashDisk/Corvane")};
const char kInstallingLine[] = "Installing update to Corvane...";
const char kStatusLine[] = "Status: ";
QString g_installer = QStringLiteral(CORVANE_INSTALLER_EXE);

using Tree = QHash<QString, QByteArray>; // relative path -> content hash ("link:" target for links)

void say(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
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

bool put(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
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
    const QString update = root + QStringLiteral("/FlashDisk/Corvane_Installer");
    const QString installed = root + QStringLiteral("/FlashDisk");
    const QStringList folders = {
        "System/drivers", "System/drivers/usb", "System/fonts", "System/config/a/b/c",
        "Corvane/lang", "Corvane/modules/scale", "Corvane/modules/scale/profiles",
        "Corvane/modules/printer/layouts/labels", "Corvane/modules/printer/layouts/receipts",
        "Corvane/plugins/a/b/c/d/e", "Corvane/web/static/css", "Corvane/web/static/img",
        "Corvane/web/templates", "Corvane/help/de", "Corvane/help/en", "Corvane/help/fr",
        "Corvane/data/defaults", "Corvane"};
    bool ok = true;
    for (int i = 0; i < 320; ++i) {
        const QString rel = folders[int(random.bounded(folders.size()))]
            + QStringLiteral("/file%1.bin").arg(i, 3, 10, QLatin1Char('0'));
        const qint64 size = 64 + random.bounded(48 * 1024);
        ok = put(update + '/' + rel, randomBytes(random, size)) && ok;
        if (random.bounded(2) == 0) // an older version is installed
            ok = put(installed + '/' + rel, randomBytes(random, 64 + random.bounded(48 * 1024))) && ok;
    }
    // Large files: one replaced by a shorter one, one replaced by one of the same size, one new.
    ok = put(installed + "/Corvane/media/intro.mpg", randomBytes(random, 9 * 1024 * 1024)) && ok;
    ok = put(update + "/Corvane/media/intro.mpg", randomBytes(random, 7 * 1024 * 1024 + 123)) && ok;
    ok = put(installed + "/System/firmware/fw.bin", randomBytes(random, 4 * 1024 * 1024)) && ok;
    ok = put(update + "/System/firmware/fw.bin", randomBytes(random, 4 * 1024 * 1024)) && ok;
    ok = put(update + "/Corvane/help/manual.pdf", randomBytes(random, 5 * 1024 * 1024)) && ok;
    // Installed files that the update leaves alone, and a link that the update brings.
    ok = put(installed + "/Corvane/data/settings.dat", "device settings") && ok;
    ok = put(installed + "/System/drivers/custom.dll", "device-specific driver") && ok;
    ok = QFile::link(QStringLiteral("modules/scale"), update + "/Corvane/scale") && ok;
    // A folder the installed application does not have yet.
    ok = put(update + "/Corvane/modules/reports/2024/q1/summary.bin", randomBytes(random, 2048)) && ok;
    return ok;
}

QByteArray hashOf(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return "link:" + QFile::encodeName(info.symLinkTarget());
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "unreadable";
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(&f);
    return hash.result().toHex();
}

// Every file and link below the checked folders; temporaries are listed apart.
Tree snapshot(const QString &root, QStringList *temporaries = nullptr)
{
    Tree tree;
    for (const QString &folder : kCheckedFolders) {
        QDirIterator it(root + '/' + folder, QDir::Files | QDir::System | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString rel = QDir(root).relativeFilePath(path);
            if (false) {
                if (temporaries)
                    *temporaries << rel;
                continue;
            }
            tree.insert(rel, hashOf(path));
        }
    }
    return tree;
}

QByteArray readLog(const QString &root)
{
    QFile f(root + QStringLiteral("/USB HD/Corvane_Installer/log.txt"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void startInstaller(QProcess &process, const QString &root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_DEVICE_ROOT"), root);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(g_installer, QStringList());
}

// Waits (polling every millisecond) until the log holds the text; false after the timeout.
bool waitForLog(const QString &root, const char *text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!readLog(root).contains(text)) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::usleep(1000);
    }
    return true;
}

// One whole installation to the end; returns the copy's duration (Installing line to
// Status line) in microseconds, or -1.
qint64 installFully(const QString &root, QByteArray *log)
{
    QProcess process;
    startInstaller(process, root);
    if (!process.waitForStarted() || !waitForLog(root, kInstallingLine, 30000))
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
    QDir().rename(root + QStringLiteral("/USB HD/Corvane_Installer"), pulled);
    const bool ended = process.waitForFinished(60000) && process.exitCode() == 0;
    QFile f(pulled + QStringLiteral("/log.txt"));
    *log = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    QDir().rename(pulled, root + QStringLiteral("/USB HD/Corvane_Installer"));
    return ended ? copyUs : -1;
}

struct Expected
{
    Tree before;
    Tree after;
};

struct KillFigures
{
    int kills = 0;
    int killsAfterCopy = 0;
    int filesChecked = 0;
    int torn = 0;
    int vanished = 0;
    int unexpected = 0;
    int runsWithTemporaries = 0;
    int temporariesLeft = 0;
    int rerunsCompleted = 0;
    int temporariesAfterRerun = 0;
    int spread[10] = {};
};

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
            if (e.before.contains(it.key())) { // a replaced file must never vanish
                ++f->vanished;
                say(label + QStringLiteral(": vanished ") + it.key());
            }
            continue;
        }
        if (changes && now.value(it.key()) == it.value())
            ++*changedInPlace;
    }
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        ++f->filesChecked;
        const bool isNew = e.after.contains(it.key()) && e.after.value(it.key()) == it.value();
        // Before the kill window the old list files were cleared already, so an old
        // content is fine only where the finished update keeps that path.
        const bool isOld = e.before.contains(it.key()) && e.after.contains(it.key())
            && e.before.value(it.key()) == it.value();
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
        startInstaller(process, root);
        if (!process.waitForStarted() || !waitForLog(root, kInstallingLine, 30000)) {
            say(label + QStringLiteral(": the installer never reached the copy"));
            return 2;
        }
        QThread::usleep(quint64(delayUs));
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(60000);
        ++f.kills;
        if (readLog(root).contains(kStatusLine))
            ++f.killsAfterCopy;

        QStringList temporaries;
        const Tree now = snapshot(root, &temporaries);
        int inPlace = 0, total = 0;
        checkCut(now, e, &f, &inPlace, &total, label);
        if (!temporaries.isEmpty()) {
            ++f.runsWithTemporaries;
            f.temporariesLeft += temporaries.size();
        }
        ++f.spread[qBound(0, total ? inPlace * 10 / total : 9, 9)];

        // The next run finds the update still there and completes it.
        QByteArray log;
        if (installFully(root, &log) < 0) {
            say(label + QStringLiteral(": the rerun did not end normally"));
        }
        QStringList left;
        const Tree final = snapshot(root, &left);
        f.temporariesAfterRerun += left.size();
        const QList<QByteArray> statusLines = log.split('\n');
        const bool statusTrue = statusLines.contains("Status:  true");
        if (final == e.after && left.isEmpty() && statusTrue)
            ++f.rerunsCompleted;
        else
            say(label + QStringLiteral(": rerun incomplete (tree %1, temporaries %2, status %3)")
                            .arg(final == e.after ? "complete" : "differs")
                            .arg(left.size())
                            .arg(statusTrue ? "true" : "missing or false"));
    }

    say(QStringLiteral("Kills: %1 (%2 after the copy had ended), delays uniform over a copy of %3 ms")
            .arg(f.kills).arg(f.killsAfterCopy).arg(copyUs / 1000));
    QString spread;
    for (int b = 0; b < 10; ++b)
        spread += QStringLiteral(" %1-%2%:%3").arg(b * 10).arg(b * 10 + 10).arg(f.spread[b]);
    say(QStringLiteral("Spread (share of changed files in place at the kill):") + spread);
    say(QStringLiteral("Files checked after kills: %1; torn: %2; vanished: %3; unexpected: %4")
            .arg(f.filesChecked).arg(f.torn).arg(f.vanished).arg(f.unexpected));
    say(QStringLiteral("Temporary files left by kills: %1 in %2 runs (hidden names, never loaded); "
                       "left after the rerun: %3")
            .arg(f.temporariesLeft).arg(f.runsWithTemporaries).arg(f.temporariesAfterRerun));
    say(QStringLiteral("Reruns that completed the update: %1 of %2").arg(f.rerunsCompleted).arg(f.kills));
    say(QStringLiteral("Note: a killed process leaves the page cache intact, so kills cannot show a "
                       "missing flush; --strict checks the flush order."));
    const bool passed = f.torn == 0 && f.vanished == 0 && f.unexpected == 0
        && f.rerunsCompleted == f.kills && f.temporariesAfterRerun == 0;
    say(passed ? QStringLiteral("1 passed, 0 failed") : QStringLiteral("0 passed, 1 failed"));
    return passed ? 0 : 1;
}

// ---- strict mode: replay of a system call trace as power cuts --------------------------

struct Call
{
    QString name;
    QStringList paths; // fd paths (strace -y) and path arguments, in order
    bool failed = false;
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
    static const QRegularExpression line(QStringLiteral("^(?:\\d+\\s+)?(\\w+)\\((.*)\\)\\s+=\\s+(-?\\d+)"));
    static const QRegularExpression item(QStringLiteral("<((?:[^>\\\\]|\\\\.)*)>|\"((?:[^\"\\\\]|\\\\.)*)\""));
    while (!f.atEnd()) {
        const QString text = QString::fromLatin1(f.readLine()).trimmed();
        const auto m = line.match(text);
        if (!m.hasMatch())
            continue;
        Call c;
        c.name = m.captured(1);
        c.failed = m.captured(3).toLongLong() < 0;
        auto items = item.globalMatch(m.captured(2));
        while (items.hasNext()) {
            const auto im = items.next();
            c.paths << unescape(im.captured(1).isNull() ? im.captured(2) : im.captured(1));
        }
        calls << c;
    }
    return calls;
}

int strictMode(const QString &work, const QString &pristine, const Expected &e)
{
    const QString root = work + QStringLiteral("/device");
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), root});
    if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, root}))
        return 2;
    const QString trace = work + QStringLiteral("/trace.txt");
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORVANE_DEVICE_ROOT"), root);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("strace"),
                  {"-f", "-qq", "-y", "-s", "0", "-e", "signal=none", "-o", trace, "-e",
                   "trace=openat,write,pwrite64,copy_file_range,sendfile,ftruncate,fsync,fdatasync,"
                   "syncfs,sync,rename,renameat,renameat2,mkdir,mkdirat,symlink,symlinkat,unlink,"
                   "unlinkat",
                   g_installer});
    if (!process.waitForStarted(10000)) {
        say(QStringLiteral("SKIP: strace is not available"));
        return 0;
    }
    if (!waitForLog(root, "delete installer directory", 300000)) {
        say(QStringLiteral("the traced installation did not end"));
        process.kill();
        return 2;
    }
    QDir().rename(root + QStringLiteral("/USB HD/Corvane_Installer"), root + QStringLiteral("/pulled"));
    process.waitForFinished(60000);

    // Only paths below the checked folders matter; the disk model tracks them by name.
    const QString base = QDir(root).canonicalPath() + '/';
    auto checked = [&](const QString &p) {
        for (const QString &folder : kCheckedFolders)
            if (p.startsWith(base + folder + '/'))
                return true;
        return false;
    };
    auto parentOf = [](const QString &p) { return p.left(p.lastIndexOf('/')); };

    const QList<Call> calls = parseTrace(trace);
    std::set<QString> dirty;          // files with data not yet on disk
    std::set<QString> unsyncedRename; // final paths whose rename may not be on disk yet
    std::set<QString> unsyncedFolder; // folders created or changed, entry not yet on disk
    std::map<QString, bool> tornIfCut; // final path -> renamed while its data was not on disk
    int cutPoints = 0, tornPoints = 0, renames = 0;
    for (const Call &c : calls) {
        if (c.failed)
            continue;
        const QString p0 = c.paths.value(0);
        const QString last = c.paths.value(c.paths.size() - 1);
        if (c.name == "write" || c.name == "pwrite64" || c.name == "ftruncate") {
            if (checked(p0))
                dirty.insert(p0);
        } else if (c.name == "copy_file_range" || c.name == "sendfile") {
            if (checked(c.paths.value(1)) && c.name == "copy_file_range")
                dirty.insert(c.paths.value(1));
            else if (checked(p0) && c.name == "sendfile")
                dirty.insert(p0);
        } else if (c.name == "openat") {
            // A created file is empty and dirty until flushed (the name is what counts).
            if (checked(last) && last.contains("/.corvane-install/staging/"))
                dirty.insert(last);
        } else if (c.name == "fsync" || c.name == "fdatasync") {
            dirty.erase(p0);
            for (auto it = unsyncedRename.begin(); it != unsyncedRename.end();)
                it = parentOf(*it) == p0 ? unsyncedRename.erase(it) : std::next(it);
            unsyncedFolder.erase(p0);
        } else if (c.name == "syncfs" || c.name == "sync") {
            dirty.clear();
            unsyncedRename.clear();
            unsyncedFolder.clear();
        } else if (c.name.startsWith("rename")) {
            const QString from = c.paths.value(c.paths.size() - 2), to = last;
            if (checked(to)) {
                ++renames;
                // Pessimistic: the rename can reach the disk before the data of its file.
                tornIfCut[to] = dirty.count(from) > 0;
                dirty.erase(from);
                if (tornIfCut[to])
                    dirty.insert(to);
                unsyncedRename.insert(to);
            }
        } else if (c.name.startsWith("symlink")) {
            if (checked(last))
                dirty.insert(last);
        } else if (c.name.startsWith("mkdir")) {
            if (checked(last))
                unsyncedFolder.insert(parentOf(last));
        }
        // A cut after this call: any renamed path whose data is not yet on disk is torn.
        ++cutPoints;
        bool torn = false;
        for (auto &[path, renamedDirty] : tornIfCut) {
            if (renamedDirty && dirty.count(path))
                torn = true;
            else
                renamedDirty = false;
        }
        tornPoints += torn ? 1 : 0;
    }
    const QStringList checkedEnd = QStringList() << QString::number(unsyncedRename.size())
                                                 << QString::number(unsyncedFolder.size());
    Tree final = snapshot(root);
    const bool complete = final == e.after;
    say(QStringLiteral("Strict: %1 system calls replayed as power cuts, %2 renames into place; "
                       "cut points with a torn file: %3")
            .arg(cutPoints).arg(renames).arg(tornPoints));
    say(QStringLiteral("Strict: at the end, renames not yet flushed: %1, created folders not yet "
                       "flushed: %2; installation complete: %3")
            .arg(checkedEnd[0], checkedEnd[1], complete ? "yes" : "no"));
    const bool passed = renames > 0 && tornPoints == 0 && unsyncedRename.empty()
        && unsyncedFolder.empty() && complete;
    say(passed ? QStringLiteral("1 passed, 0 failed") : QStringLiteral("0 passed, 1 failed"));
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int kills = 50;
    quint32 seed = quint32(QDateTime::currentMSecsSinceEpoch());
    bool strict = false, keep = false;
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
        else if (args[i] == "--keep")
            keep = true;
        else if (args[i] == "--work" && i + 1 < args.size())
            base = args[++i];
        else if (args[i] == "--installer" && i + 1 < args.size())
            g_installer = args[++i];
        else {
            say(QStringLiteral("usage: powercut [--kills N] [--seed S] [--strict] [--keep] [--work DIR] [--installer EXE]"));
            return 2;
        }
    }

    QTemporaryDir workDir(base + QStringLiteral("/powercut-XXXXXX"));
    workDir.setAutoRemove(!keep);
    // The trace shows canonical paths; the device lives under one.
    const QString work = QDir(workDir.path()).canonicalPath();
    const QString pristine = work + QStringLiteral("/pristine");
    if (!layOut(pristine, seed)) {
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
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), reference});
    run(QStringLiteral("cp"), {QStringLiteral("-a"), pristine, reference});
    const qint64 second = installFully(reference, &log);
    if (second > 0)
        copyUs = (copyUs + second) / 2;
    run(QStringLiteral("rm"), {QStringLiteral("-rf"), reference});

    int changed = 0;
    for (auto it = e.after.cbegin(); it != e.after.cend(); ++it)
        changed += e.before.value(it.key()) != it.value() ? 1 : 0;
    say(QStringLiteral("Device: %1 files installed before, %2 after, %3 of them new or replaced; seed %4")
            .arg(e.before.size()).arg(e.after.size()).arg(changed).arg(seed));
    if (keep)
        say(QStringLiteral("Work folder kept: ") + work);

    return strict ? strictMode(work, pristine, e) : killMode(work, pristine, e, copyUs, kills, seed);
}
