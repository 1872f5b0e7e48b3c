#include "keybar_i_small.h"

#include "ui_keybar_i_small_form.h"

KeyBar_I_small::KeyBar_I_small()
    : ui(std::make_unique<Ui::KeyBar_I_small_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_I_small::saveFocusWidget, &KeyBar_I_small::buttonClicked);
}

KeyBar_I_small::~KeyBar_I_small() = default;

void KeyBar_I_small::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_I_small::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
