#pragma once
// Accent key bar for the small vowel o: ö ô ó ò õ. Shown by the input context on a
// long press of that vowel; a tap on a letter emits characterGenerated with it.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class KeyBar_O_small_Form;
}

class KeyBar_O_small : public KeyboardWindow
{
    Q_OBJECT

public:
    KeyBar_O_small();
    ~KeyBar_O_small() override;

signals:
    void characterGenerated(QChar character);

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);

private:
    std::unique_ptr<Ui::KeyBar_O_small_Form> ui;
};
