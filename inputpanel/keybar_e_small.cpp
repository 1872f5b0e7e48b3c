#include "keybar_e_small.h"

#include "ui_keybar_e_small_form.h"

KeyBar_E_small::KeyBar_E_small()
    : ui(std::make_unique<Ui::KeyBar_E_small_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_E_small::saveFocusWidget, &KeyBar_E_small::buttonClicked);
}

KeyBar_E_small::~KeyBar_E_small() = default;

void KeyBar_E_small::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_E_small::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
