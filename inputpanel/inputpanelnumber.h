#pragma once
// The digit and symbol panel of the on-screen keyboard. Character keys emit
// characterGenerated; "ABC" (numberButton) asks the input context to return to the
// letter panel in use (notifyAlphaPressed). It has no press-and-hold keys, and its
// Shift key is inert: nothing is connected to it. It only turns taps into signals.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class InputPanelNumberForm;
}

class InputPanelNumber : public KeyboardWindow
{
    Q_OBJECT

public:
    InputPanelNumber();
    ~InputPanelNumber() override;

signals:
    void characterGenerated(QChar character);
    void notifyHideEvent();
    void notifyCloseEvent();
    void notifyBackspacePressed();
    void notifyAlphaPressed();
    void notifyEnterPressed();
    void notifyCancelPressed();
    // Declared like on the letter panels, but no key of this panel emits it.
    void notifyKeyPressed(QChar c);
    void notifyOutsidePressed();

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);
    void backspacePressed();
    void enterPressed();
    void alphaPressed();
    void cancelPressed();

private:
    void reportOutsidePress() override { emit notifyOutsidePressed(); }
    void reportHidden() override { emit notifyHideEvent(); }
    void reportClosed() override { emit notifyCloseEvent(); }

    std::unique_ptr<Ui::InputPanelNumberForm> ui;
};
