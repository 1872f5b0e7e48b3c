#pragma once
// The application-wide input context of the on-screen keyboard. It owns the three
// keyboard panels (capital, small, digits) and the ten accent key bars, decides which
// panel is up and places it under the focused text field.
//
// How data passes through it:
// - In: Qt's own signs of a tap into a text field. Installed as an event filter on the
//   application, it turns a left-button release on the focused input-method widget
//   into RequestSoftwareInputPanel and that widget losing focus into
//   CloseSoftwareInputPanel, both handled by filterEvent(). The view manager's
//   notifyShowInputPanel() opens the keyboard when the password page appears.
// - Out: every character a panel or key bar reports becomes a key press event sent to
//   the focused widget. Ok, Cancel and Backspace act on the view manager's password
//   form: Ok asks the manager whether the entry is accepted and reports the outcome
//   (setPasswordAccepted / cancelPassword).
// - Press-and-hold: a vowel held for 800 ms brings up that vowel's accent key bar;
//   the release of the held key then types nothing.

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"

#include <QChar>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>

class InstallerViewManager;
class QEvent;
class QWidget;

class InputPanelContext : public QObject
{
    Q_OBJECT

public:
    // The shell passes the application as parent; the context lives as long as it.
    explicit InputPanelContext(InstallerViewManager *manager, QObject *parent = nullptr);
    ~InputPanelContext() override;

    QString identifierName() const { return QStringLiteral("InputPanelContext"); }
    QString language() const { return QStringLiteral("en_US"); }
    void reset() {}
    bool isComposing() const { return false; }

    // Opens the keyboard on RequestSoftwareInputPanel, hides the capital panel on
    // CloseSoftwareInputPanel (true for both); false for anything else.
    bool filterEvent(const QEvent *event);

    // The focused widget when it accepts input methods, else null.
    QWidget *focusWidget() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void sendCharacter(QChar character);
    void onHideEvent();
    void onCloseEvent();
    void onShowInputPanel();
    void onBackspacePressed();
    void onShiftPressed();
    void onUnShiftPressed();
    void onNumberPressed();
    void onAlphaPressed();
    void onEnterPressed();
    void onCancelPressed();
    void onKeyPressed(QChar c);
    void onOutsidePressed();
    void onPressAndHoldTimeout();
    void onHideInputPanel();
    void onResumeInputPanel();

private:
    using KeyBarSet = std::array<std::unique_ptr<QWidget>, 5>;

    template <typename... Bars>
    static KeyBarSet makeKeyBars();
    // Shift and unshift: the small or the capital panel takes the other's place.
    void switchLetterPanel(bool small);
    template <typename... Bars>
    void connectKeyBars(const KeyBarSet &bars);

    void showCapitalPanel();
    // The panel of the current mode: digits, small or capital letters.
    QWidget *currentPanel() const;
    void updatePosition();
    bool stopPressAndHold();
    void hideKeyBars();
    void hidePanels();
    static bool isVowel(QChar c);

    std::unique_ptr<InputPanel> capitalPanel;
    std::unique_ptr<InputPanelShift> smallPanel;
    std::unique_ptr<InputPanelNumber> numberPanel;
    KeyBarSet capitalKeyBars; // A, E, I, O, U
    KeyBarSet smallKeyBars;   // a, e, i, o, u
    QPointer<InstallerViewManager> viewManager;
    bool smallMode = false;
    bool numberMode = false;
    QTimer pressAndHoldTimer;
    bool keyBarShown = false;
    QChar pressedKey;
    bool keyBarShownAtPress = false;
    // Set while our own key events are on their way, so the filter leaves them alone.
    bool m_sendingKeys = false;
};
