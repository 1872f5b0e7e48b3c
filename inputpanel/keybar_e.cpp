#include "keybar_e.h"

#include "ui_keybar_e_form.h"

KeyBar_E::KeyBar_E()
    : ui(std::make_unique<Ui::KeyBar_E_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_E::saveFocusWidget, &KeyBar_E::buttonClicked);
}

KeyBar_E::~KeyBar_E() = default;

void KeyBar_E::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_E::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
