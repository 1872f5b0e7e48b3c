#include "keybar_o.h"

KeyBar_O::KeyBar_O()
{
    ui.setupUi(this);
    connectKeys(this, &KeyBar_O::saveFocusWidget, &KeyBar_O::buttonClicked);
}

KeyBar_O::~KeyBar_O() = default;

void KeyBar_O::saveFocusWidget(QWidget *, QWidget *newFocus) { rememberFocus(newFocus); }
void KeyBar_O::buttonClicked(QWidget *w) { emit characterGenerated(buttonValue(w)); }
