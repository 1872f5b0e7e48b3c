#include "inputpanel.h"

#include "ui_inputpanelform.h"

InputPanel::InputPanel()
    : ui(std::make_unique<Ui::InputPanelForm>())
{
    ui->setupUi(this);
    connectKeys(this, &InputPanel::saveFocusWidget, &InputPanel::buttonClicked);
}

InputPanel::~InputPanel() = default;

void InputPanel::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void InputPanel::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
void InputPanel::backspacePressed()
{
    emit notifyBackspacePressed();
}
void InputPanel::enterPressed()
{
    emit notifyEnterPressed();
}
void InputPanel::shiftPressed()
{
    emit notifyShiftPressed();
}
void InputPanel::numberPressed()
{
    emit notifyNumberPressed();
}
void InputPanel::cancelPressed()
{
    emit notifyCancelPressed();
}
void InputPanel::keyPressedA()
{
    emit notifyKeyPressed(QLatin1Char('A'));
}
void InputPanel::keyPressedE()
{
    emit notifyKeyPressed(QLatin1Char('E'));
}
void InputPanel::keyPressedI()
{
    emit notifyKeyPressed(QLatin1Char('I'));
}
void InputPanel::keyPressedO()
{
    emit notifyKeyPressed(QLatin1Char('O'));
}
void InputPanel::keyPressedU()
{
    emit notifyKeyPressed(QLatin1Char('U'));
}
