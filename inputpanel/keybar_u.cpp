#include "keybar_u.h"

KeyBar_U::KeyBar_U()
{
    ui.setupUi(this);
    connectKeys(this, &KeyBar_U::saveFocusWidget, &KeyBar_U::buttonClicked);
}

KeyBar_U::~KeyBar_U() = default;

void KeyBar_U::saveFocusWidget(QWidget *, QWidget *newFocus) { rememberFocus(newFocus); }
void KeyBar_U::buttonClicked(QWidget *w) { emit characterGenerated(buttonValue(w)); }
