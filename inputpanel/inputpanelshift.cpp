#include "inputpanelshift.h"

#include "ui_inputpanelshiftform.h"

InputPanelShift::InputPanelShift()
    : ui(std::make_unique<Ui::InputPanelShiftForm>())
{
    ui->setupUi(this);
    connectKeys(this, &InputPanelShift::saveFocusWidget, &InputPanelShift::buttonClicked);
}

InputPanelShift::~InputPanelShift() = default;

void InputPanelShift::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void InputPanelShift::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
void InputPanelShift::backspacePressed()
{
    emit notifyBackspacePressed();
}
void InputPanelShift::enterPressed()
{
    emit notifyEnterPressed();
}
void InputPanelShift::unShiftPressed()
{
    emit notifyUnShiftPressed();
}
void InputPanelShift::numberPressed()
{
    emit notifyNumberPressed();
}
void InputPanelShift::cancelPressed()
{
    emit notifyCancelPressed();
}
void InputPanelShift::keyPressedA()
{
    emit notifyKeyPressed(QLatin1Char('a'));
}
void InputPanelShift::keyPressedE()
{
    emit notifyKeyPressed(QLatin1Char('e'));
}
void InputPanelShift::keyPressedI()
{
    emit notifyKeyPressed(QLatin1Char('i'));
}
void InputPanelShift::keyPressedO()
{
    emit notifyKeyPressed(QLatin1Char('o'));
}
void InputPanelShift::keyPressedU()
{
    emit notifyKeyPressed(QLatin1Char('u'));
}
