#pragma once
// Accent key bar for the small vowel u: ü û ú ù. Shown by the input context on a
// long press of that vowel; a tap on a letter emits characterGenerated with it.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class KeyBar_U_small_Form;
}

class KeyBar_U_small : public KeyboardWindow
{
    Q_OBJECT

public:
    KeyBar_U_small();
    ~KeyBar_U_small() override;

signals:
    void characterGenerated(QChar character);

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);

private:
    std::unique_ptr<Ui::KeyBar_U_small_Form> ui;
};
