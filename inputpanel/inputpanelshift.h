#pragma once
// The small-letter panel of the on-screen keyboard: the twin of the capital-letter
// panel (same grid, same keys), typing a to z. Its Shift key asks the input context
// to go back to the capitals (notifyUnShiftPressed); its vowel keys report their
// press with the small vowel. Like every panel it only turns taps into signals.

#include "keyboardwindow.h"

#include <memory>

namespace Ui {
class InputPanelShiftForm;
}

class InputPanelShift : public KeyboardWindow
{
    Q_OBJECT

public:
    InputPanelShift();
    ~InputPanelShift() override;

signals:
    void characterGenerated(QChar character);
    void notifyHideEvent();
    void notifyCloseEvent();
    void notifyBackspacePressed();
    void notifyUnShiftPressed();
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
    void unShiftPressed();
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

    std::unique_ptr<Ui::InputPanelShiftForm> ui;
};
