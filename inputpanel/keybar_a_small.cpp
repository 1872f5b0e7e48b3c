#include "keybar_a_small.h"

#include "ui_keybar_a_small_form.h"

KeyBar_A_small::KeyBar_A_small()
    : ui(std::make_unique<Ui::KeyBar_A_small_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_A_small::saveFocusWidget, &KeyBar_A_small::buttonClicked);
}

KeyBar_A_small::~KeyBar_A_small() = default;

void KeyBar_A_small::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_A_small::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
