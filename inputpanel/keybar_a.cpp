#include "keybar_a.h"

KeyBar_A::KeyBar_A()
{
    ui.setupUi(this);
    connectKeys(this, &KeyBar_A::saveFocusWidget, &KeyBar_A::buttonClicked);
}

KeyBar_A::~KeyBar_A() = default;

void KeyBar_A::saveFocusWidget(QWidget *, QWidget *newFocus) { rememberFocus(newFocus); }
void KeyBar_A::buttonClicked(QWidget *w) { emit characterGenerated(buttonValue(w)); }
