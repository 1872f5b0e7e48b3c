#include "installerview.h"

#include "ui_installerview.h"

#include <QCoreApplication>

namespace {
// Often enough for a bar that moves smoothly, seldom enough to cost nothing.
constexpr int kRepaintIntervalMs = 50;
} // namespace

InstallerView::InstallerView(QWidget *parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
    , ui(std::make_unique<Ui::InstallerClass>())
{
    ui->setupUi(this);
    // The File menu is not for the operator: its Exit would leave the device without
    // the terminal application.
    menuBar()->hide();
    ui->progressBar->hide();
}

InstallerView::~InstallerView() = default;

const Ui::InstallerClass &InstallerView::form() const
{
    return *ui;
}

void InstallerView::setTitle(const QString &text)
{
    ui->txtTitle->setText(text);
}

void InstallerView::setQuestion(const QString &text)
{
    ui->txtQuestion->setText(text);
}

void InstallerView::clearOutput()
{
    ui->txtOutput->clear();
    // Painted at once, also while the caller keeps the GUI thread busy.
    QCoreApplication::processEvents();
}

void InstallerView::appendOutput(const QString &text)
{
    ui->txtOutput->append(text);
    QCoreApplication::processEvents();
}

void InstallerView::setButtonsVisible(bool visible)
{
    ui->button1->setVisible(visible);
    ui->button2->setVisible(visible);
}

void InstallerView::setButtonTexts(const QString &text1, const QString &text2)
{
    ui->button1->setText(text1);
    if (text1.isEmpty())
        ui->button1->hide();
    ui->button2->setText(text2);
    if (text2.isEmpty())
        ui->button2->hide();
}

void InstallerView::enableButtons()
{
    ui->button1->setEnabled(true);
    ui->button2->setEnabled(true);
}

void InstallerView::disableButtons()
{
    ui->button1->setEnabled(false);
    ui->button2->setEnabled(false);
}

void InstallerView::setProgress(qint64 done, qint64 total)
{
    // The bar is only touched when the window is repainted: QProgressBar repaints
    // itself at once on every change of its text (hence its updates are off while the
    // value is set), which per file would cost more than the copy of a small file.
    // Neither the first report (the bar appears) nor the last one paints the window:
    // the screen that follows the copy at once paints it anyway, so a copy shorter
    // than one interval costs no painting of its own.
    const bool first = ui->progressBar->isHidden();
    const bool last = done >= total;
    if (!first && !last && m_lastRepaint.elapsed() < kRepaintIntervalMs)
        return;
    const int scale = ui->progressBar->maximum();
    ui->progressBar->setUpdatesEnabled(false);
    ui->progressBar->setValue(total > 0 ? int(qBound<qint64>(0, done, total) * scale / total)
                                        : (last ? scale : 0));
    ui->progressBar->setUpdatesEnabled(true);
    if (first) {
        ui->progressBar->show();
        m_lastRepaint.start();
        return;
    }
    if (last)
        return;
    m_lastRepaint.start();
    // Taps are left for later: nothing the operator touches may run in the middle of
    // the copy.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void InstallerView::hideProgress()
{
    ui->progressBar->hide();
    ui->progressBar->reset();
}

void InstallerView::on_button1_clicked()
{
    emit NotifyButton1Clicked();
}

void InstallerView::on_button2_clicked()
{
    emit NotifyButton2Clicked();
}
