#pragma once
// Accent key bar for the capital vowel E: Ë Ê É È. Shown by the input context on a
// long press of that vowel; a tap on a letter emits characterGenerated with it.

#include "keyboardwindow.h"
#include "ui_keybar_e_form.h"

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
    Ui::KeyBar_E_Form ui;
};
