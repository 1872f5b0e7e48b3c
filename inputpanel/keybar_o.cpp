#include "keybar_o.h"

#include "ui_keybar_o_form.h"

KeyBar_O::KeyBar_O()
    : ui(std::make_unique<Ui::KeyBar_O_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_O::saveFocusWidget, &KeyBar_O::buttonClicked);
}

KeyBar_O::~KeyBar_O() = default;

void KeyBar_O::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_O::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
