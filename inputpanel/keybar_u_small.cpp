#include "keybar_u_small.h"

#include "ui_keybar_u_small_form.h"

KeyBar_U_small::KeyBar_U_small()
    : ui(std::make_unique<Ui::KeyBar_U_small_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_U_small::saveFocusWidget, &KeyBar_U_small::buttonClicked);
}

KeyBar_U_small::~KeyBar_U_small() = default;

void KeyBar_U_small::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_U_small::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
