// What the progress display costs: the same installation timed with and without the
// window showing the progress, alternating the two sides, each on a fresh copy of the
// same tree. On the disk (the device's case; BENCH_DIR, default /var/tmp) and, as the
// worst case where the copy itself costs almost nothing, on a memory file system
// (BENCH_MEMORY_DIR, default /dev/shm).

#include "devicefiles.h"
#include "fileinstaller.h"
#include "installerview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace device = corvane::device;

namespace {

void put(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(size, 'x'));
}

// The update of a realistic mix: many small files in nested folders, a few large ones.
void layOut(const QString &root, int files)
{
    QDir(root).removeRecursively();
    for (int i = 0; i < files; ++i) {
        const QString part = i % 4 == 0 ? "System" : "Corvane";
        put(QStringLiteral("%1%2/d%3/e%4/f%5.bin")
                .arg(root,
                     QLatin1String(part == "System" ? device::updateSystemFolder
                                                    : device::updateAppFolder))
                .arg(i % 13)
                .arg(i % 5)
                .arg(i),
            1024 + (i * 7919) % (19 * 1024));
    }
    for (int i = 0; i < 3; ++i)
        put(QStringLiteral("%1%2/media/big%3.bin")
                .arg(root, QLatin1String(device::updateAppFolder))
                .arg(i),
            qint64(8) * 1024 * 1024);
    QDir().mkpath(root + QLatin1String(device::stickFolder));
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Alternating rounds on trees laid out below base; prints the figures.
void measure(const QString &base, int files, int rounds)
{
    QTemporaryDir dir(base + "/corvane-bench-XXXXXX");
    const corvane::DeviceRoot root(dir.path());
    std::vector<double> plain, shown, ratios;
    for (int round = 0; round < rounds * 2; ++round) {
        const bool display = (round % 2 == 1) != (round / 2 % 2 == 1); // ABBA order
        layOut(dir.path(), files);
        ::sync(); // the laid-out tree must not be flushed inside the timed installation
        // A window of its own for each round, as each run of the program has: a bar
        // left showing by the previous round would make its first report a repaint.
        InstallerView view;
        view.showFullScreen();
        QCoreApplication::processEvents();
        FileInstaller installer(nullptr, root);
        if (display)
            QObject::connect(&installer, &FileInstaller::notifyProgress, &view,
                             &InstallerView::setProgress);
        QElapsedTimer timer;
        timer.start();
        installer.installUpdate();
        const double ms = timer.nsecsElapsed() / 1e6;
        installer.finishCleanUp(); // the old files go while the result is shown
        (display ? shown : plain).push_back(ms);
        if (plain.size() == shown.size())
            ratios.push_back(shown.back() / plain.back());
    }
    std::printf("progress display, %d files + 3 x 8 MB on %s, %d rounds each\n", files,
                qPrintable(base), rounds);
    std::printf("  without display: median %.1f ms (min %.1f, max %.1f)\n", median(plain),
                *std::min_element(plain.begin(), plain.end()),
                *std::max_element(plain.begin(), plain.end()));
    std::printf("  with display:    median %.1f ms (min %.1f, max %.1f)\n", median(shown),
                *std::min_element(shown.begin(), shown.end()),
                *std::max_element(shown.begin(), shown.end()));
    std::printf("  overhead: %+.2f %% (median of the paired rounds; goal: under 2 %%)\n",
                (median(ratios) - 1.0) * 100.0);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int files = argc > 1 ? atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 9;
    measure(qEnvironmentVariable("BENCH_DIR", QStringLiteral("/var/tmp")), files, rounds);
    const QString memory = qEnvironmentVariable("BENCH_MEMORY_DIR", QStringLiteral("/dev/shm"));
    if (!memory.isEmpty() && QDir(memory).exists())
        measure(memory, files, rounds);
    return 0;
}
