// From a tap on a key of the on-screen keyboard to the character in the focused line
// edit: the time of one press-and-release on the key, through the panel, the input
// context and the key events into the field. Prints one figure per tap, in ms.
//   bench_keyboard [TAPS]

#include "fileinstaller.h"
#include "inputpanelcontext.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const int taps = argc > 1 ? atoi(argv[1]) : 1000;

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager(nullptr, &view, &installer);
    auto *context = new InputPanelContext(&manager, &app);
    app.installEventFilter(context);

    QWidget page;
    QLineEdit edit(&page);
    edit.setMaxLength(taps + 10);
    page.show();
    edit.setFocus();
    QApplication::processEvents();
    emit manager.notifyShowInputPanel();

    QPushButton *key = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("InputPanelForm") && w->isVisible())
            key = w->findChild<QPushButton *>(QStringLiteral("panelButton_T"));
    }
    if (!key) {
        std::fprintf(stderr, "no visible capital panel\n");
        return 1;
    }
    for (int i = 0; i < taps; ++i) {
        const int before = edit.text().size();
        QElapsedTimer timer;
        timer.start();
        QTest::mouseClick(key, Qt::LeftButton);
        const double ms = timer.nsecsElapsed() / 1e6;
        if (edit.text().size() != before + 1) {
            std::fprintf(stderr, "tap %d typed nothing\n", i);
            return 1;
        }
        std::printf("%.4f\n", ms);
    }
    return 0;
}
