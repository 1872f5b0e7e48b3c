#pragma once
// The installer's main window: a title, a question line, two buttons and an output
// pane for progress lines. It holds no workflow: the view manager fills it and
// listens to its two button signals.

#include <QElapsedTimer>
#include <QMainWindow>

#include <memory>

namespace Ui {
class InstallerClass;
}

class InstallerView : public QMainWindow
{
    Q_OBJECT

public:
    explicit InstallerView(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
    ~InstallerView() override;

    void setTitle(const QString &text);
    void setQuestion(const QString &text);
    void clearOutput();
    void appendOutput(const QString &text);
    void setButtonsVisible(bool visible);
    void setButtonTexts(const QString &text1, const QString &text2);
    void enableButtons();
    void disableButtons();

    // Shows how far the copy is. The bar appears with the first report and keeps its
    // last value. The window is repainted at most every 50 ms, so a copy of many small
    // files is not slowed down by painting; the last value is painted with the screen
    // that follows the copy.
    void setProgress(qint64 done, qint64 total);
    // Hides the bar and empties it.
    void hideProgress();

    // The form's widgets, for tests and for whoever needs to look at the screen; the
    // caller includes the generated "ui_installerview.h" to reach them.
    const Ui::InstallerClass &form() const;

signals:
    void NotifyButton1Clicked();
    void NotifyButton2Clicked();

private slots:
    void on_button1_clicked();
    void on_button2_clicked();

private:
    std::unique_ptr<Ui::InstallerClass> ui;
    QElapsedTimer m_lastRepaint;
};
