#include "installerview.h"

#include <QCoreApplication>

InstallerView::InstallerView(QWidget *parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{
    ui.setupUi(this);
    // The File menu is not for the operator: its Exit would leave the device without
    // the terminal application.
    menuBar()->hide();
    ui.progressBar->hide();
}

void InstallerView::setTitle(const QString &text)
{
    ui.txtTitle->setText(text);
}

void InstallerView::setQuestion(const QString &text)
{
    ui.txtQuestion->setText(text);
}

void InstallerView::clearOutput()
{
    ui.txtOutput->clear();
    // Painted at once, also while the caller keeps the GUI thread busy.
    QCoreApplication::processEvents();
}

void InstallerView::appendOutput(const QString &text)
{
    ui.txtOutput->append(text);
    QCoreApplication::processEvents();
}

void InstallerView::setButtonsVisible(bool visible)
{
    ui.button1->setVisible(visible);
    ui.button2->setVisible(visible);
}

void InstallerView::setButtonTexts(const QString &text1, const QString &text2)
{
    ui.button1->setText(text1);
    if (text1.isEmpty())
        ui.button1->hide();
    ui.button2->setText(text2);
    if (text2.isEmpty())
        ui.button2->hide();
}

void InstallerView::enableButtons()
{
    ui.button1->setEnabled(true);
    ui.button2->setEnabled(true);
}

void InstallerView::disableButtons()
{
    ui.button1->setEnabled(false);
    ui.button2->setEnabled(false);
}

void InstallerView::setProgress(qint64 done, qint64 total)
{
    const int scale = ui.progressBar->maximum();
    const int value = total > 0 ? int(qBound<qint64>(0, done, total) * scale / total)
                                : (done >= total ? scale : 0);
    ui.progressBar->setValue(value);
    if (ui.progressBar->isHidden())
        ui.progressBar->show();
    if (!m_lastRepaint.isValid() || m_lastRepaint.elapsed() >= 50 || done >= total) {
        m_lastRepaint.start();
        // Taps are left for later: nothing the operator touches may run in the middle
        // of the copy.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }
}

void InstallerView::on_button1_clicked()
{
    emit NotifyButton1Clicked();
}

void InstallerView::on_button2_clicked()
{
    emit NotifyButton2Clicked();
}
