#pragma once
// The password page: the form "MainForm" (a masked line edit under its label) on a
// top-level widget of its own. It has no logic: the on-screen keyboard types into the
// line edit, and the view manager sets its length, decides and says when it is shut.

#include <QWidget>

#include <memory>

class QLineEdit;
class QPushButton;

namespace Ui {
class MainForm;
}

class PasswordPage : public QWidget
{
    Q_OBJECT

public:
    // The line edit takes at most maxLength characters.
    explicit PasswordPage(int maxLength, QWidget *parent = nullptr);
    ~PasswordPage() override;

    QLineEdit *lineEdit() const;
    // During a pause after wrong entries the empty field says how long it stays shut:
    // "Try again in N s"; 0 takes the text away. The keyboard is away meanwhile, so the
    // page shows a Cancel key of its own, where the keyboard's stands.
    void showRetryIn(int seconds);

signals:
    // The page's own Cancel key was tapped.
    void cancelPressed();

private:
    std::unique_ptr<Ui::MainForm> m_ui;
    QPushButton *m_cancel = nullptr;
};
