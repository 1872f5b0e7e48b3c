#include "keybar_i.h"

KeyBar_I::KeyBar_I()
{
    ui.setupUi(this);
    connectKeys(this, &KeyBar_I::saveFocusWidget, &KeyBar_I::buttonClicked);
}

KeyBar_I::~KeyBar_I() = default;

void KeyBar_I::saveFocusWidget(QWidget *, QWidget *newFocus) { rememberFocus(newFocus); }
void KeyBar_I::buttonClicked(QWidget *w) { emit characterGenerated(buttonValue(w)); }
