#include "keybar_a.h"

#include "ui_keybar_a_form.h"

KeyBar_A::KeyBar_A()
    : ui(std::make_unique<Ui::KeyBar_A_Form>())
{
    ui->setupUi(this);
    connectKeys(this, &KeyBar_A::saveFocusWidget, &KeyBar_A::buttonClicked);
}

KeyBar_A::~KeyBar_A() = default;

void KeyBar_A::saveFocusWidget(QWidget *, QWidget *newFocus)
{
    rememberFocus(newFocus);
}
void KeyBar_A::buttonClicked(QWidget *w)
{
    emit characterGenerated(buttonValue(w));
}
