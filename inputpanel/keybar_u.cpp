#include "keybar_u.h"

#include "ui_keybar_u_form.h"

KeyBar_U::KeyBar_U()
    : ui(std::make_unique<Ui::KeyBar_U_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_U::saveFocusWidget, &KeyBar_U::buttonClicked);
}

KeyBar_U::~KeyBar_U() = default;

void KeyBar_U::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_U::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
