#pragma once
// The installer's main window: a title, a question line, two buttons and an output
// pane for progress lines. It holds no workflow: the view manager fills it and
// listens to its two button signals.

#include <QMainWindow>

#include "ui_installerview.h"

class InstallerView : public QMainWindow
{
    Q_OBJECT

public:
    explicit InstallerView(QWidget *parent = nullptr, Qt::WindowFlags flags = {});

    void setTitle(const QString &text);
    void setQuestion(const QString &text);
    void clearOutput();
    void appendOutput(const QString &text);
    void setButtonsVisible(bool visible);
    void setButtonTexts(const QString &text1, const QString &text2);
    void enableButtons();
    void disableButtons();

    // The form's widgets, for tests and for whoever needs to look at the screen.
    const Ui_InstallerClass &form() const { return ui; }

signals:
    void NotifyButton1Clicked();
    void NotifyButton2Clicked();

private slots:
    void on_button1_clicked();
    void on_button2_clicked();

private:
    Ui_InstallerClass ui;
};
