#include "keyboardwindow.h"

#include <QCloseEvent>
#include <QEvent>
#include <QHideEvent>

// WindowDoesNotAcceptFocus: on X11 a click on a window that is not active asks for its
// activation, and until the hand-back below has run its course the field has no focus
// and the typed character is lost. Not accepting focus keeps the field's window active.
KeyboardWindow::KeyboardWindow()
    : QWidget(nullptr,
              Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint
                  | Qt::WindowDoesNotAcceptFocus)
{
}

KeyboardWindow::~KeyboardWindow()
{
    // The concrete window's slots are gone by now; a focus change while QWidget tears
    // down the keys must not reach them.
    if (qApp)
        disconnect(qApp, nullptr, this, nullptr);
}

QChar KeyboardWindow::buttonValue(const QWidget *key)
{
    if (!key)
        return QChar();
    return key->property("buttonValue").toChar();
}

void KeyboardWindow::rememberFocus(QWidget *newFocus)
{
    if (newFocus && newFocus != this && !isAncestorOf(newFocus))
        savedFocusWidget = newFocus;
}

bool KeyboardWindow::event(QEvent *e)
{
    switch (e->type()) {
    case QEvent::MouseButtonPress:
        // Keys accept their own presses, so this one landed beside them.
        reportOutsidePress();
        break;
    case QEvent::WindowActivate:
        if (savedFocusWidget)
            savedFocusWidget->activateWindow();
        break;
    default:
        break;
    }
    return QWidget::event(e);
}

void KeyboardWindow::closeEvent(QCloseEvent *e)
{
    reportClosed();
    QWidget::closeEvent(e);
}

void KeyboardWindow::hideEvent(QHideEvent *e)
{
    reportHidden();
    QWidget::hideEvent(e);
}

QList<QPushButton *> KeyboardWindow::characterKeys() const
{
    QList<QPushButton *> keys;
    const QList<QPushButton *> buttons = findChildren<QPushButton *>(Qt::FindDirectChildrenOnly);
    for (QPushButton *button : buttons) {
        if (!buttonValue(button).isNull())
            keys.append(button);
    }
    return keys;
}
