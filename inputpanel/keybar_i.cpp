#include "keybar_i.h"

#include "ui_keybar_i_form.h"

KeyBar_I::KeyBar_I()
    : ui(std::make_unique<Ui::KeyBar_I_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_I::saveFocusWidget, &KeyBar_I::buttonClicked);
}

KeyBar_I::~KeyBar_I() = default;

void KeyBar_I::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_I::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
