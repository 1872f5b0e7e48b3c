#pragma once
// Accent key bar for the capital vowel A: Ä Â Á À Ã. Shown by the input context on a
// long press of that vowel; a tap on a letter emits characterGenerated with it.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class KeyBar_A_Form;
}

class KeyBar_A : public KeyboardWindow
{
    Q_OBJECT

public:
    KeyBar_A();
    ~KeyBar_A() override;

signals:
    void characterGenerated(QChar character);

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);

private:
    std::unique_ptr<Ui::KeyBar_A_Form> ui;
};
