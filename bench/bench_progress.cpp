// What the progress display costs: the same installation timed with and without the
// window showing the progress, alternating the two sides, on a memory file system
// when one is there (so the figure is the program's own cost, not the disk's).

#include "fileinstaller.h"
#include "installerview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

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
        put(QStringLiteral("%1/FlashDisk/Corvane_Installer/%2/d%3/e%4/f%5.bin")
                .arg(root, part).arg(i % 13).arg(i % 5).arg(i),
            1024 + (i * 7919) % (19 * 1024));
    }
    for (int i = 0; i < 3; ++i)
        put(QStringLiteral("%1/FlashDisk/Corvane_Installer/Corvane/media/big%2.bin").arg(root).arg(i),
            8 * 1024 * 1024);
    QDir().mkpath(root + "/USB HD/Corvane_Installer");
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int files = argc > 1 ? atoi(argv[1]) : 2000;
    const int rounds = argc > 2 ? atoi(argv[2]) : 7;
    const QString base = QDir("/dev/shm").exists() ? "/dev/shm" : QDir::tempPath();
    QTemporaryDir dir(base + "/corvane-bench-XXXXXX");
    qputenv("CORVANE_DEVICE_ROOT", QFile::encodeName(dir.path()));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    InstallerView view;
    view.showFullScreen();
    std::vector<double> plain, shown;
    for (int round = 0; round < rounds * 2; ++round) {
        const bool display = round % 2 == 1;
        layOut(dir.path(), files);
        FileInstaller installer;
        if (display)
            QObject::connect(&installer, &FileInstaller::notifyProgress, &view, &InstallerView::setProgress);
        QElapsedTimer timer;
        timer.start();
        installer.installUpdate();
        const double ms = timer.nsecsElapsed() / 1e6;
        (display ? shown : plain).push_back(ms);
    }
    const double a = median(plain), b = median(shown);
    std::printf("progress display, %d files + 3 x 8 MB on %s, %d rounds each\n", files,
                qPrintable(base), rounds);
    std::printf("  without display: median %.1f ms (min %.1f, max %.1f)\n", a,
                *std::min_element(plain.begin(), plain.end()), *std::max_element(plain.begin(), plain.end()));
    std::printf("  with display:    median %.1f ms (min %.1f, max %.1f)\n", b,
                *std::min_element(shown.begin(), shown.end()), *std::max_element(shown.begin(), shown.end()));
    std::printf("  overhead: %+.2f %% (goal: under 2 %%)\n", (b / a - 1.0) * 100.0);
    return 0;
}
