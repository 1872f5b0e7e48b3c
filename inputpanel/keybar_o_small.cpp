#include "keybar_o_small.h"

#include "ui_keybar_o_small_form.h"

KeyBar_O_small::KeyBar_O_small()
    : ui(std::make_unique<Ui::KeyBar_O_small_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_O_small::saveFocusWidget, &KeyBar_O_small::buttonClicked);
}

KeyBar_O_small::~KeyBar_O_small() = default;

void KeyBar_O_small::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_O_small::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
