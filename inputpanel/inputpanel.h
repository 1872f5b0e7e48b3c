#pragma once
// The capital-letter panel of the on-screen keyboard (QWERTZ, with Shift, Backspace,
// digit mode, Ok and Cancel). It only turns taps into signals: character keys emit
// characterGenerated, the vowel keys also report their press (notifyKeyPressed) for
// the press-and-hold accent bars, and every function key emits its notify signal.
// The input context decides what they mean and shows, hides and places the panel.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class InputPanelForm;
}

class InputPanel : public KeyboardWindow
{
    Q_OBJECT

public:
    InputPanel();
    ~InputPanel() override;

signals:
    void characterGenerated(QChar character);
    void notifyHideEvent();
    void notifyCloseEvent();
    void notifyBackspacePressed();
    void notifyShiftPressed();
    void notifyNumberPressed();
    void notifyEnterPressed();
    void notifyCancelPressed();
    void notifyKeyPressed(QChar c);
    void notifyOutsidePressed();

private slots:
    void saveFocusWidget(QWidget *oldFocus, QWidget *newFocus);
    void buttonClicked(QWidget *w);
    void backspacePressed();
    void enterPressed();
    void shiftPressed();
    void numberPressed();
    void cancelPressed();
    void keyPressedA();
    void keyPressedE();
    void keyPressedI();
    void keyPressedO();
    void keyPressedU();

private:
    void reportOutsidePress() override { emit notifyOutsidePressed(); }
    void reportHidden() override { emit notifyHideEvent(); }
    void reportClosed() override { emit notifyCloseEvent(); }

    std::unique_ptr<Ui::InputPanelForm> ui;
};
