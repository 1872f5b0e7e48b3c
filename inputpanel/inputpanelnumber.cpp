#include "inputpanelnumber.h"

#include "ui_inputpanelnumberform.h"

InputPanelNumber::InputPanelNumber()
    : ui(std::make_unique<Ui::InputPanelNumberForm>())
{
    ui->setupUi(this);
    connectKeys(this, &InputPanelNumber::saveFocusWidget, &InputPanelNumber::buttonClicked);
}

InputPanelNumber::~InputPanelNumber() = default;

void InputPanelNumber::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void InputPanelNumber::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
void InputPanelNumber::backspacePressed()
{
    emit notifyBackspacePressed();
}
void InputPanelNumber::enterPressed()
{
    emit notifyEnterPressed();
}
void InputPanelNumber::alphaPressed()
{
    emit notifyAlphaPressed();
}
void InputPanelNumber::cancelPressed()
{
    emit notifyCancelPressed();
}
