#pragma once
// Accent key bar for the capital vowel O: Ö Ô Ó Ò Õ. Shown by the input context on a
// long press of that vowel; a tap on a letter emits characterGenerated with it.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class KeyBar_O_Form;
}

class KeyBar_O : public KeyboardWindow
{
    Q_OBJECT

public:
    KeyBar_O();
    ~KeyBar_O() override;

signals:
    void characterGenerated(QChar character);

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);

private:
    std::unique_ptr<Ui::KeyBar_O_Form> ui;
};
