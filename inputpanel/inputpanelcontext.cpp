#include "inputpanelcontext.h"

#include "installerviewmanager.h"
#include "keybar_a.h"
#include "keybar_a_small.h"
#include "keybar_e.h"
#include "keybar_e_small.h"
#include "keybar_i.h"
#include "keybar_i_small.h"
#include "keybar_o.h"
#include "keybar_o_small.h"
#include "keybar_u.h"
#include "keybar_u_small.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>

namespace {
constexpr int kPressAndHoldMs = 800;
// The panel hangs just below the field; the key bars stand level with the panel's
// Ok and Cancel keys, a little to the left of its edge.
const QPoint kPanelOffset(0, 2);
const QPoint kKeyBarOffset(-10, 290);
} // namespace

template <typename... Bars>
InputPanelContext::KeyBarSet InputPanelContext::makeKeyBars()
{
    static_assert(sizeof...(Bars) == 5, "one bar per vowel");
    // Braced initialisation runs left to right: the bars are created in A, E, I, O, U order.
    return KeyBarSet{std::unique_ptr<QWidget>(new Bars)...};
}

template <typename... Bars>
void InputPanelContext::connectKeyBars(const KeyBarSet &bars)
{
    std::size_t i = 0;
    (connect(static_cast<Bars *>(bars[i++].get()), &Bars::characterGenerated, this,
             &InputPanelContext::sendCharacter),
     ...);
}

InputPanelContext::InputPanelContext(InstallerViewManager *manager, QObject *parent)
    : QObject(parent)
    , viewManager(manager)
{
    if (viewManager)
        viewManager->setPasswordAccepted(false);

    connect(&pressAndHoldTimer, &QTimer::timeout, this, &InputPanelContext::onPressAndHoldTimeout);
    pressAndHoldTimer.setInterval(kPressAndHoldMs);
    pressAndHoldTimer.setSingleShot(true);
    pressAndHoldTimer.stop();

    capitalPanel = std::make_unique<InputPanel>();
    smallPanel = std::make_unique<InputPanelShift>();
    numberPanel = std::make_unique<InputPanelNumber>();
    capitalKeyBars = makeKeyBars<KeyBar_A, KeyBar_E, KeyBar_I, KeyBar_O, KeyBar_U>();
    smallKeyBars = makeKeyBars<KeyBar_A_small, KeyBar_E_small, KeyBar_I_small, KeyBar_O_small,
                               KeyBar_U_small>();

    InputPanel *capital = capitalPanel.get();
    connect(capital, &InputPanel::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(capital, &InputPanel::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(capital, &InputPanel::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(capital, &InputPanel::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(capital, &InputPanel::notifyOutsidePressed, this, &InputPanelContext::onOutsidePressed);
    connect(capital, &InputPanel::notifyBackspacePressed, this,
            &InputPanelContext::onBackspacePressed);
    connect(capital, &InputPanel::notifyShiftPressed, this, &InputPanelContext::onShiftPressed);
    connect(capital, &InputPanel::notifyNumberPressed, this, &InputPanelContext::onNumberPressed);
    connect(capital, &InputPanel::notifyEnterPressed, this, &InputPanelContext::onEnterPressed);
    connect(capital, &InputPanel::notifyCancelPressed, this, &InputPanelContext::onCancelPressed);

    InputPanelShift *small = smallPanel.get();
    connect(small, &InputPanelShift::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(small, &InputPanelShift::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(small, &InputPanelShift::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(small, &InputPanelShift::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(small, &InputPanelShift::notifyOutsidePressed, this,
            &InputPanelContext::onOutsidePressed);
    connect(small, &InputPanelShift::notifyBackspacePressed, this,
            &InputPanelContext::onBackspacePressed);
    connect(small, &InputPanelShift::notifyUnShiftPressed, this,
            &InputPanelContext::onUnShiftPressed);
    connect(small, &InputPanelShift::notifyNumberPressed, this,
            &InputPanelContext::onNumberPressed);
    connect(small, &InputPanelShift::notifyEnterPressed, this, &InputPanelContext::onEnterPressed);
    connect(small, &InputPanelShift::notifyCancelPressed, this,
            &InputPanelContext::onCancelPressed);

    InputPanelNumber *number = numberPanel.get();
    connect(number, &InputPanelNumber::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(number, &InputPanelNumber::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(number, &InputPanelNumber::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(number, &InputPanelNumber::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(number, &InputPanelNumber::notifyOutsidePressed, this,
            &InputPanelContext::onOutsidePressed);
    connect(number, &InputPanelNumber::notifyBackspacePressed, this,
            &InputPanelContext::onBackspacePressed);
    connect(number, &InputPanelNumber::notifyAlphaPressed, this,
            &InputPanelContext::onAlphaPressed);
    connect(number, &InputPanelNumber::notifyEnterPressed, this,
            &InputPanelContext::onEnterPressed);
    connect(number, &InputPanelNumber::notifyCancelPressed, this,
            &InputPanelContext::onCancelPressed);

    connectKeyBars<KeyBar_A, KeyBar_E, KeyBar_I, KeyBar_O, KeyBar_U>(capitalKeyBars);
    connectKeyBars<KeyBar_A_small, KeyBar_E_small, KeyBar_I_small, KeyBar_O_small, KeyBar_U_small>(
        smallKeyBars);

    if (viewManager) {
        connect(viewManager.data(), &InstallerViewManager::notifyShowInputPanel, this,
                &InputPanelContext::onShowInputPanel);
        connect(viewManager.data(), &InstallerViewManager::notifyKeyboardEnter, this,
                &InputPanelContext::onEnterPressed);
        connect(viewManager.data(), &InstallerViewManager::notifyHideInputPanel, this,
                &InputPanelContext::onHideInputPanel);
        connect(viewManager.data(), &InstallerViewManager::notifyResumeInputPanel, this,
                &InputPanelContext::onResumeInputPanel);
    }
}

InputPanelContext::~InputPanelContext()
{
    // Panels first, then the key bars, each in member order.
    capitalPanel.reset();
    smallPanel.reset();
    numberPanel.reset();
    for (auto &bar : capitalKeyBars)
        bar.reset();
    for (auto &bar : smallKeyBars)
        bar.reset();
}

QWidget *InputPanelContext::focusWidget() const
{
    QWidget *focus = QApplication::focusWidget();
    return focus && focus->testAttribute(Qt::WA_InputMethodEnabled) ? focus : nullptr;
}

bool InputPanelContext::eventFilter(QObject *watched, QEvent *event)
{
    if (m_sendingKeys)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonRelease: {
        // A tap into the focused text field asks for the keyboard.
        const auto *mouse = static_cast<const QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton && watched->isWidgetType()
            && watched == focusWidget()) {
            const QEvent request(QEvent::RequestSoftwareInputPanel);
            filterEvent(&request);
        }
        break;
    }
    case QEvent::FocusIn:
        // Window activation, and so the focus, may arrive after the keyboard was opened
        // (asynchronously on X11): the open panel then moves under the field.
        if (watched->isWidgetType() && watched == focusWidget()
            && (capitalPanel->isVisible() || smallPanel->isVisible() || numberPanel->isVisible()))
            updatePosition();
        break;
    case QEvent::FocusOut: {
        // The field's window losing activation (to a keyboard window, which hands it
        // straight back) is no loss of focus: the field stays its window's focus widget.
        const auto reason = static_cast<const QFocusEvent *>(event)->reason();
        if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
            break;
        const auto *widget = qobject_cast<const QWidget *>(watched);
        // The new focus widget is already in place: none, or one without input methods.
        if (widget && widget->testAttribute(Qt::WA_InputMethodEnabled) && !focusWidget()) {
            const QEvent close(QEvent::CloseSoftwareInputPanel);
            filterEvent(&close);
        }
        break;
    }
    default:
        break;
    }
    return false;
}

bool InputPanelContext::filterEvent(const QEvent *event)
{
    switch (event->type()) {
    case QEvent::RequestSoftwareInputPanel:
        if (focusWidget() && viewManager && viewManager->passwordEdit())
            viewManager->passwordEdit()->clear();
        if (viewManager)
            viewManager->setPasswordAccepted(false);
        showCapitalPanel();
        return true;
    case QEvent::CloseSoftwareInputPanel:
        capitalPanel->setVisible(false);
        return true;
    default:
        return false;
    }
}

void InputPanelContext::showCapitalPanel()
{
    smallMode = false;
    numberMode = false;
    numberPanel->setVisible(false);
    smallPanel->setVisible(false);
    capitalPanel->setVisible(true);
    updatePosition();
}

QWidget *InputPanelContext::currentPanel() const
{
    if (numberMode)
        return numberPanel.get();
    if (smallMode)
        return smallPanel.get();
    return capitalPanel.get();
}

void InputPanelContext::updatePosition()
{
    const QPointer<QWidget> focus = focusWidget();
    if (!focus)
        return;
    const QRect field = focus->rect();
    const QPoint panelPoint = focus->mapToGlobal(field.bottomLeft() + kPanelOffset);
    const QPoint keyBarPoint = focus->mapToGlobal(field.bottomLeft() + kKeyBarOffset);

    currentPanel()->move(panelPoint);
    if (numberMode)
        return;
    for (auto &bar : smallMode ? smallKeyBars : capitalKeyBars)
        bar->move(keyBarPoint);
}

bool InputPanelContext::isVowel(QChar c)
{
    switch (c.toLower().unicode()) {
    case u'a':
    case u'e':
    case u'i':
    case u'o':
    case u'u':
        return true;
    default:
        return false;
    }
}

void InputPanelContext::sendCharacter(QChar character)
{
    const QPointer<QWidget> focus = focusWidget();
    if (!focus)
        return;
    // The release of a vowel that was held for its key bar types nothing.
    if (isVowel(character) && keyBarShown && pressedKey == character
        && (!keyBarShownAtPress || !pressAndHoldTimer.isActive())) {
        pressedKey = QChar();
        return;
    }
    pressAndHoldTimer.stop();
    hideKeyBars();
    keyBarShown = false;

    // The text travels in the first event only, so a line edit inserts it once.
    QKeyEvent typed(QEvent::KeyPress, character.unicode(), Qt::NoModifier, QString(character),
                    false, 1);
    QKeyEvent bare(QEvent::KeyPress, character.unicode(), Qt::NoModifier, QString(), false, 1);
    m_sendingKeys = true;
    QCoreApplication::sendEvent(focus, &typed);
    if (focus)
        QCoreApplication::sendEvent(focus, &bare);
    m_sendingKeys = false;
}

void InputPanelContext::onHideEvent()
{
}

void InputPanelContext::onCloseEvent()
{
}

void InputPanelContext::onShowInputPanel()
{
    // A page that opens shut (a pause of an earlier run) gets the keyboard when the
    // pause ends (onResumeInputPanel): the capital panel then.
    if (viewManager && viewManager->isEntryPaused()) {
        smallMode = false;
        numberMode = false;
        return;
    }
    showCapitalPanel();
}

void InputPanelContext::onBackspacePressed()
{
    if (!focusWidget())
        return;
    stopPressAndHold();
    // Backspace belongs to the password form, whichever field has focus.
    if (viewManager && viewManager->passwordEdit())
        viewManager->passwordEdit()->backspace();
}

void InputPanelContext::onShiftPressed()
{
    switchLetterPanel(true);
}

void InputPanelContext::onUnShiftPressed()
{
    switchLetterPanel(false);
}

void InputPanelContext::switchLetterPanel(bool small)
{
    if (!focusWidget())
        return;
    stopPressAndHold();
    if (numberMode)
        return;
    smallMode = small;
    QWidget *from = small ? static_cast<QWidget *>(capitalPanel.get()) : smallPanel.get();
    QWidget *to = small ? static_cast<QWidget *>(smallPanel.get()) : capitalPanel.get();
    from->setVisible(false);
    to->setVisible(true);
    updatePosition();
}

void InputPanelContext::onNumberPressed()
{
    if (!focusWidget())
        return;
    stopPressAndHold();
    numberMode = true;
    capitalPanel->setVisible(false);
    smallPanel->setVisible(false);
    numberPanel->setVisible(true);
    updatePosition();
}

void InputPanelContext::onAlphaPressed()
{
    if (!focusWidget())
        return;
    stopPressAndHold();
    numberMode = false;
    numberPanel->setVisible(false);
    if (smallMode) {
        capitalPanel->setVisible(false);
        smallPanel->setVisible(true);
    } else {
        capitalPanel->setVisible(true);
        smallPanel->setVisible(false);
    }
    updatePosition();
}

void InputPanelContext::onEnterPressed()
{
    if (!focusWidget())
        return;
    stopPressAndHold();
    // While the field is shut after refusals, Enter is dropped like every other key.
    if (!viewManager || viewManager->isEntryPaused())
        return;
    // The manager holds the rules: it counts the entry before it compares it, and an
    // expected value that is empty never matches.
    if (viewManager->checkEntry(viewManager->enteredPassword())) {
        hidePanels();
        viewManager->setPasswordAccepted(true);
        return;
    }
    if (viewManager->passwordEdit())
        viewManager->passwordEdit()->clear();
}

void InputPanelContext::onHideInputPanel()
{
    pressAndHoldTimer.stop();
    keyBarShown = false;
    hideKeyBars();
    hidePanels();
}

void InputPanelContext::onResumeInputPanel()
{
    // The panel that was up before: letters stay small, digits stay digits.
    currentPanel()->setVisible(true);
    updatePosition();
}

void InputPanelContext::onCancelPressed()
{
    if (!focusWidget())
        return;
    stopPressAndHold();
    hidePanels();
    if (viewManager)
        viewManager->cancelPassword();
}

void InputPanelContext::onKeyPressed(QChar c)
{
    keyBarShownAtPress = keyBarShown;
    pressedKey = c;
    pressAndHoldTimer.start();
}

void InputPanelContext::onOutsidePressed()
{
    stopPressAndHold();
}

void InputPanelContext::onPressAndHoldTimeout()
{
    keyBarShown = true;
    pressAndHoldTimer.stop();
    if (!focusWidget())
        return;
    hideKeyBars();
    const QChar vowels[] = {u'A', u'E', u'I', u'O', u'U'};
    for (std::size_t i = 0; i < std::size(vowels); ++i) {
        if (pressedKey == vowels[i]) {
            capitalKeyBars[i]->setVisible(true);
            return;
        }
    }
    for (std::size_t i = 0; i < std::size(vowels); ++i) {
        if (pressedKey == vowels[i].toLower()) {
            smallKeyBars[i]->setVisible(true);
            return;
        }
    }
}

bool InputPanelContext::stopPressAndHold()
{
    if (!keyBarShown)
        return false;
    keyBarShown = false;
    hideKeyBars();
    return true;
}

void InputPanelContext::hideKeyBars()
{
    for (auto &bar : capitalKeyBars)
        bar->setVisible(false);
    for (auto &bar : smallKeyBars)
        bar->setVisible(false);
}

void InputPanelContext::hidePanels()
{
    capitalPanel->setVisible(false);
    smallPanel->setVisible(false);
    numberPanel->setVisible(false);
}
