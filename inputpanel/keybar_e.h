#pragma once
// Accent key bar for the capital vowel E: Ë Ê É È. Shown by the input context on a
// long press of that vowel; a tap on a letter emits characterGenerated with it.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class KeyBar_E_Form;
}

class KeyBar_E : public KeyboardWindow
{
    Q_OBJECT

public:
    KeyBar_E();
    ~KeyBar_E() override;

signals:
    void characterGenerated(QChar character);

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);

private:
    std::unique_ptr<Ui::KeyBar_E_Form> ui;
};
