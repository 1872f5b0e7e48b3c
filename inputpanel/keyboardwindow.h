#pragma once
// What every window of the on-screen keyboard (the three panels and the ten accent
// key bars) has in common: a parentless, frameless, stay-on-top tool window whose
// keys never take focus. Character keys carry their character in the dynamic
// property "buttonValue"; their clicks run through `keyMapper` to the concrete
// window's buttonClicked(), which emits that window's characterGenerated(). The
// window remembers the last widget outside it that had focus and hands window
// activation back to it, so the edited field keeps the keyboard focus.
//
// The concrete windows declare their own signals and slots; they set up their form
// and then call connectKeys() with their two pattern slots. Panels answer the
// report*() hooks with their notify signals; key bars report nothing.

#include <QApplication>
#include <QChar>
#include <QPointer>
#include <QPushButton>
#include <QSignalMapper>
#include <QWidget>

class KeyboardWindow : public QWidget
{
    Q_OBJECT

public:
    ~KeyboardWindow() override;

    // The widget whose window takes the activation back; null until some widget
    // outside this window has had focus, and again once that widget is gone.
    QWidget *savedFocus() const { return savedFocusWidget; }

protected:
    KeyboardWindow();

    // The character a key types: its "buttonValue", or the null character when it
    // carries none.
    static QChar buttonValue(const QWidget *key);

    // Call after the form is set up. Connects the application's focus changes to
    // saveFocus and every character key's click, through keyMapper, to click.
    template <typename Window>
    void connectKeys(Window *self, void (Window::*saveFocus)(QWidget *, QWidget *),
                     void (Window::*click)(QWidget *));

    // The rule behind every saveFocusWidget slot: remember newFocus unless it is
    // null, this window or inside it.
    void rememberFocus(QWidget *newFocus);

    bool event(QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void hideEvent(QHideEvent *e) override;

    // A mouse press delivered to the window itself, i.e. beside every key.
    virtual void reportOutsidePress() {}
    virtual void reportHidden() {}
    virtual void reportClosed() {}

    // Held guarded: the field may be deleted while the keyboard lives on.
    QPointer<QWidget> savedFocusWidget;
    QSignalMapper keyMapper;

private:
    // Keys carrying a "buttonValue", in the order of the form.
    QList<QPushButton *> characterKeys() const;
};

template <typename Window>
void KeyboardWindow::connectKeys(Window *self, void (Window::*saveFocus)(QWidget *, QWidget *),
                                 void (Window::*click)(QWidget *))
{
    connect(qApp, &QApplication::focusChanged, self, saveFocus);
    const QList<QPushButton *> keys = characterKeys();
    for (QPushButton *key : keys) {
        keyMapper.setMapping(key, key);
        connect(key, &QPushButton::clicked, &keyMapper, qOverload<>(&QSignalMapper::map));
    }
    connect(&keyMapper, &QSignalMapper::mappedObject, self,
            [self, click](QObject *key) { (self->*click)(qobject_cast<QWidget *>(key)); });
}
