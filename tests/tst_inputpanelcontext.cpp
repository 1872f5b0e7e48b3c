// The on-screen keyboard's input context, operated with real mouse events on the keys
// of its panels and bars: typing, press-and-hold accents, panel switching, placing
// under the field, taps into the field and focus moves, and whole password runs with
// the real view manager (Ok, Cancel, Backspace, the field's own Enter).

#include "devicefiles.h"
#include "fileinstaller.h"
#include "inputpanelcontext.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "testsupport.h"
#include "ui_installerview.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QtTest>

#include <functional>

namespace {

const QString kSuccess = QStringLiteral("Update was successful. Remove stick to start Corvane.");
const QString kNothing = QStringLiteral("Nothing done. Remove stick to start Corvane.");
const char *const kPanelClasses[] = {"InputPanel", "InputPanelShift", "InputPanelNumber"};
const QString kCountFile = QStringLiteral("%1/%2").arg(corvane::device::installWorkFolder,
                                                       corvane::device::wrongEntryCountName);

QList<QWidget *> keyboardWindows()
{
    QList<QWidget *> result;
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    for (QWidget *w : windows) {
        if (qobject_cast<KeyboardWindow *>(w))
            result << w;
    }
    return result;
}

QWidget *keyboardWindow(const char *className)
{
    const QList<QWidget *> windows = keyboardWindows();
    for (QWidget *w : windows) {
        if (qstrcmp(w->metaObject()->className(), className) == 0)
            return w;
    }
    return nullptr;
}

bool isPanel(const QWidget *w)
{
    for (const char *cls : kPanelClasses) {
        if (qstrcmp(w->metaObject()->className(), cls) == 0)
            return true;
    }
    return false;
}

// Class names of the visible panels, or of the visible key bars: "" when none.
QString visible(bool panels)
{
    QStringList names;
    const QList<QWidget *> windows = keyboardWindows();
    for (QWidget *w : windows) {
        if (w->isVisible() && isPanel(w) == panels)
            names << QString::fromLatin1(w->metaObject()->className());
    }
    names.sort();
    return names.join(QLatin1Char('+'));
}
QString visiblePanels()
{
    return visible(true);
}
QString visibleBars()
{
    return visible(false);
}

QWidget *theVisiblePanel()
{
    const QList<QWidget *> windows = keyboardWindows();
    for (QWidget *w : windows) {
        if (w->isVisible() && isPanel(w))
            return w;
    }
    return nullptr;
}

// The key a step names: a letter or digit ("K", "w", "7"), or a function key.
QPushButton *keyOf(QWidget *panel, const QString &name)
{
    static const QHash<QString, QString> special{
        {"shift", "shiftButton"},      {"123", "numberButton"},    {"abc", "numberButton"},
        {"ok", "enterButton"},         {"cancel", "cancelButton"}, {"back", "backspaceButton"},
        {"space", "panelButton_space"}};
    const QString objectName = special.value(name, QStringLiteral("panelButton_") + name.toUpper());
    return panel ? panel->findChild<QPushButton *>(objectName) : nullptr;
}

// Runs keyboard steps against whatever panel is up, each with real mouse events:
//   "K", "w", "7", "space"           tap that key
//   "shift" "123" "abc" "ok" "cancel" "back"   tap that function key
//   "hold E"                         press E, hold it past the 800 ms, release
//   "press A"                        only press the key
//   "wait"                           let the 800 ms pass
//   "bar 4"                          tap the key with number 4 on the visible accent bar
//   "outside"                        press and release on the panel beside the keys
//   "field"                          tap into the field
// Before every step the focus must be back on `focus` (a keyboard window may take the
// window activation when it shows; it hands it back).
struct Driver
{
    QPointer<QLineEdit> field;
    QPointer<QWidget> focus;

    void settle() const
    {
        if (focus)
            QTRY_COMPARE(QApplication::focusWidget(), focus.data());
    }

    void step(const QString &step) const
    {
        settle();
        if (QTest::currentTestFailed())
            return;
        const QStringList parts = step.split(QLatin1Char(' '));
        const QString &verb = parts.first();
        const QString arg = parts.value(1);
        QWidget *panel = theVisiblePanel();
        if (verb == "wait") {
            QTest::qWait(900);
        } else if (verb == "field") {
            QVERIFY(field);
            QTest::mouseClick(field, Qt::LeftButton, {}, QPoint(100, field->height() / 2));
        } else if (verb == "outside") {
            QVERIFY(panel);
            // The lower left of a panel holds no keys.
            QTest::mousePress(panel, Qt::LeftButton, {}, QPoint(20, 320));
            QTest::mouseRelease(panel, Qt::LeftButton, {}, QPoint(20, 320));
        } else if (verb == "bar") {
            const QString bars = visibleBars();
            QVERIFY2(!bars.isEmpty() && !bars.contains('+'), qPrintable(bars));
            QWidget *bar = keyboardWindow(qPrintable(bars));
            QPushButton *key = nullptr;
            for (QPushButton *b : bar->findChildren<QPushButton *>()) {
                if (b->objectName().endsWith(QLatin1Char('_') + arg))
                    key = b;
            }
            QVERIFY(key);
            QTest::mouseClick(key, Qt::LeftButton);
        } else if (verb == "hold" || verb == "press") {
            QPushButton *key = keyOf(panel, arg);
            QVERIFY2(key, qPrintable(step));
            QTest::mousePress(key, Qt::LeftButton);
            if (verb == "hold") {
                QTest::qWait(900);
                settle();
                QTest::mouseRelease(key, Qt::LeftButton);
            }
        } else {
            QPushButton *key = keyOf(panel, verb);
            QVERIFY2(key && key->isVisible(), qPrintable(step + " on " + visiblePanels()));
            QTest::mouseClick(key, Qt::LeftButton);
        }
    }

    void run(const QStringList &steps) const
    {
        for (const QString &s : steps) {
            step(s);
            if (QTest::currentTestFailed())
                return;
        }
    }
};

// A page with a text field, a second text field and a button, and a keyboard without a
// view manager (characters and panel switching need none).
struct Page
{
    QWidget page;
    QLineEdit *field = new QLineEdit(&page);
    QLineEdit *other = new QLineEdit(&page);
    QPushButton *button = new QPushButton(QStringLiteral("Plain"), &page);
    InputPanelContext context{nullptr};
    Driver driver{field, field};

    Page()
    {
        qApp->installEventFilter(&context);
        page.setGeometry(30, 40, 700, 430);
        field->setGeometry(60, 60, 590, 40);
        other->setGeometry(60, 120, 590, 40);
        button->setGeometry(60, 180, 100, 40);
    }
    ~Page() { qApp->removeEventFilter(&context); }

    // Shows the page, puts the focus into the field and taps it: the keyboard opens.
    bool open()
    {
        page.show();
        if (!QTest::qWaitForWindowActive(&page))
            return false;
        field->setFocus();
        driver.step(QStringLiteral("field"));
        return !QTest::currentTestFailed() && visiblePanels() == "InputPanel";
    }
};

// One installer run with the real view manager and the keyboard, whose password page
// is operated by `script` (called once the page has opened).
struct KeyboardRun
{
    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager{nullptr, &view, &installer};
    InputPanelContext context{&manager};
    std::function<void(KeyboardRun &)> script;
    Driver driver;
    bool scriptRan = false;

    explicit KeyboardRun(const DeviceTree &tree)
        : installer(nullptr, tree.device())
    {
        noteRunOn(tree.root());
        qApp->installEventFilter(&context);
        QObject::connect(&manager, &InstallerViewManager::notifyShowInputPanel, &view, [this] {
            QTimer::singleShot(0, &view, [this] {
                scriptRan = true;
                driver.field = manager.passwordEdit();
                driver.focus = manager.passwordEdit();
                if (script)
                    script(*this);
                // A failed check must not leave the page waiting for ever.
                if (QTest::currentTestFailed() || !script)
                    manager.cancelPassword();
            });
        });
    }
    ~KeyboardRun() { qApp->removeEventFilter(&context); }

    QLineEdit *field() const { return manager.passwordEdit(); }
    QString question() const { return view.form().txtQuestion->text(); }
    QString output() const { return view.form().txtOutput->toPlainText(); }
};

// Records the key events that reach a widget, as their texts.
class KeyRecorder : public QObject
{
public:
    QStringList texts;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(e);
            texts << QStringLiteral("%1:%2").arg(key->key(), 0, 16).arg(key->text());
        } else if (e->type() == QEvent::KeyRelease) {
            texts << QStringLiteral("release");
        }
        return false;
    }
};

} // namespace

class TestInputPanelContext : public QObject
{
    Q_OBJECT

private slots:
    void identity();
    void typing_data();
    void typing();
    void twoKeyPressesPerCharacter();
    void holdWithoutFocusShowsNoBar();
    void shiftInDigitModeOnlyHidesBar_data();
    void shiftInDigitModeOnlyHidesBar();
    void focusLeavingClosesOnlyCapitalPanel_data();
    void focusLeavingClosesOnlyCapitalPanel();
    void tapIntoFieldResetsToCapitals_data();
    void tapIntoFieldResetsToCapitals();
    void placement_data();
    void placement();
    void panelFollowsLateFocus();
    void wholeRun_data();
    void wholeRun();
    void backspaceActsOnPasswordField();
    void fieldEnterKey_data();
    void fieldEnterKey();
    void refusalsPauseTheField();
    void countOutlivesTheRun_data();
    void countOutlivesTheRun();
    void closingThePageCancels();
    void cancelDuringAPause_data();
    void cancelDuringAPause();
};

void TestInputPanelContext::identity()
{
    InputPanelContext context(nullptr);
    QCOMPARE(context.identifierName(), QStringLiteral("InputPanelContext"));
    QCOMPARE(context.language(), QStringLiteral("en_US"));
    QVERIFY(!context.isComposing());
    // Thirteen hidden windows, owned by the context.
    QCOMPARE(keyboardWindows().size(), 13);
    QCOMPARE(visiblePanels() + visibleBars(), QString());
    const QEvent other(QEvent::Show);
    QVERIFY(!context.filterEvent(&other));
}

void TestInputPanelContext::typing_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("bars");   // visible accent bars afterwards
    QTest::addColumn<QString>("panels"); // visible panels afterwards

    const QString capital = "InputPanel", small = "InputPanelShift", digits = "InputPanelNumber";
    QTest::newRow("short tap on a vowel") << QStringList{"A"} << "A"
                                          << "" << capital;
    QTest::newRow("consonants and space") << QStringList{"K", "space", "M"} << "K M"
                                          << "" << capital;
    QTest::newRow("long press: capital bar, nothing typed") << QStringList{"hold A"} << ""
                                                            << "KeyBar_A" << capital;
    QTest::newRow("long press: small bar, nothing typed") << QStringList{"shift", "hold o"} << ""
                                                          << "KeyBar_O_small" << small;
    QTest::newRow("accent typed, bar gone") << QStringList{"hold E", "bar 4"} << "É"
                                            << "" << capital;
    QTest::newRow("small accent") << QStringList{"shift", "hold u", "bar 2"} << "ü"
                                  << "" << small;
    QTest::newRow("tap on another vowel with a bar up") << QStringList{"hold A", "U"} << "U"
                                                        << "" << capital;
    QTest::newRow("tap on the same vowel with a bar up") << QStringList{"hold A", "A"} << "A"
                                                         << "" << capital;
    QTest::newRow("long press on another vowel swaps the bar")
        << QStringList{"hold A", "hold I"} << ""
        << "KeyBar_I" << capital;
    QTest::newRow("long press on the same vowel keeps its bar")
        << QStringList{"hold O", "hold O"} << ""
        << "KeyBar_O" << capital;
    QTest::newRow("consonant with a bar up") << QStringList{"hold A", "K"} << "K"
                                             << "" << capital;
    QTest::newRow("press beside the keys hides the bar") << QStringList{"hold A", "outside"} << ""
                                                         << "" << capital;
    QTest::newRow("press beside the keys without a bar") << QStringList{"B", "outside", "C"} << "BC"
                                                         << "" << capital;
    QTest::newRow("shift and back") << QStringList{"shift", "w", "shift", "W"} << "wW"
                                    << "" << capital;
    QTest::newRow("digits, then the capitals again") << QStringList{"123", "7", "abc", "B"} << "7B"
                                                     << "" << capital;
    QTest::newRow("digits from small letters return to small letters")
        << QStringList{"shift", "123", "0", "abc", "b"} << "0b"
        << "" << small;
    QTest::newRow("digit mode stays") << QStringList{"123", "1", "2"} << "12"
                                      << "" << digits;
    QTest::newRow("shift hides a bar") << QStringList{"hold A", "shift"} << ""
                                       << "" << small;
    QTest::newRow("digit key hides a bar") << QStringList{"hold E", "123"} << ""
                                           << "" << digits;
}

void TestInputPanelContext::typing()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, text);
    QFETCH(QString, bars);
    QFETCH(QString, panels);
    Page page;
    QVERIFY(page.open());
    page.driver.run(steps);
    if (QTest::currentTestFailed())
        return;
    page.driver.settle();
    QCOMPARE(page.field->text(), text);
    QCOMPARE(visibleBars(), bars);
    QCOMPARE(visiblePanels(), panels);
    QCOMPARE(page.other->text(), QString());
}

void TestInputPanelContext::twoKeyPressesPerCharacter()
{
    Page page;
    QVERIFY(page.open());
    KeyRecorder recorder;
    page.field->installEventFilter(&recorder);
    page.driver.run({"K", "hold E", "bar 3"});
    QCOMPARE(recorder.texts, (QStringList{"4b:K", "4b:", "ca:Ê", "ca:"}));
    QCOMPARE(page.field->text(), QStringLiteral("KÊ"));
}

void TestInputPanelContext::holdWithoutFocusShowsNoBar()
{
    Page page;
    QVERIFY(page.open());
    // The focus goes to a widget that takes no text: the capital panel closes, so
    // bring the keyboard back by hand and press a vowel long.
    QTest::mouseClick(page.button, Qt::LeftButton);
    QTRY_COMPARE(QApplication::focusWidget(), page.button);
    const QEvent request(QEvent::RequestSoftwareInputPanel);
    QVERIFY(page.context.filterEvent(&request));
    QCOMPARE(visiblePanels(), QStringLiteral("InputPanel"));
    page.driver.focus = page.button;
    page.driver.run({"hold A", "K"});
    QCOMPARE(visibleBars(), QString());
    QCOMPARE(page.field->text(), QString());
}

void TestInputPanelContext::shiftInDigitModeOnlyHidesBar_data()
{
    QTest::addColumn<bool>("shift"); // else unshift
    QTest::newRow("shift") << true;
    QTest::newRow("unshift") << false;
}

void TestInputPanelContext::shiftInDigitModeOnlyHidesBar()
{
    QFETCH(bool, shift);
    Page page;
    QVERIFY(page.open());
    if (!shift)
        page.driver.step("shift");
    // A vowel goes down, the digit key is tapped while it is held, and the delay runs
    // out in digit mode: the bar stands where the letter panel put it.
    page.driver.run({"press A", "123", "wait"});
    const QString bar = shift ? "KeyBar_A" : "KeyBar_A_small";
    QTRY_COMPARE(visibleBars(), bar);
    const QPoint barPlace = keyboardWindow(qPrintable(bar))->pos();
    page.driver.settle();
    if (shift)
        emit static_cast<InputPanel *>(keyboardWindow("InputPanel"))->notifyShiftPressed();
    else
        emit static_cast<InputPanelShift *>(keyboardWindow("InputPanelShift"))
            ->notifyUnShiftPressed();
    QCOMPARE(visibleBars(), QString());
    QCOMPARE(visiblePanels(), QStringLiteral("InputPanelNumber"));
    QCOMPARE(keyboardWindow(qPrintable(bar))->pos(), barPlace);
    // The digit panel starts no press-and-hold.
    page.driver.run({"hold 5"});
    QCOMPARE(visibleBars(), QString());
    QCOMPARE(page.field->text(), QStringLiteral("5"));
    page.driver.step("abc");
    QCOMPARE(visiblePanels(),
             shift ? QStringLiteral("InputPanel") : QStringLiteral("InputPanelShift"));
}

void TestInputPanelContext::focusLeavingClosesOnlyCapitalPanel_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("toPlainWidget"); // else the focus goes to another text field
    QTest::addColumn<QString>("panels");
    QTest::newRow("capital, to a button") << QStringList{} << true << "";
    QTest::newRow("small, to a button") << QStringList{"shift"} << true << "InputPanelShift";
    QTest::newRow("digits, to a button") << QStringList{"123"} << true << "InputPanelNumber";
    QTest::newRow("capital, to a text field") << QStringList{} << false << "InputPanel";
}

void TestInputPanelContext::focusLeavingClosesOnlyCapitalPanel()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, toPlainWidget);
    QFETCH(QString, panels);
    Page page;
    QVERIFY(page.open());
    page.driver.run(steps);
    page.driver.settle();
    QWidget *target = toPlainWidget ? static_cast<QWidget *>(page.button) : page.other;
    target->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), target);
    QCOMPARE(visiblePanels(), panels);
}

void TestInputPanelContext::tapIntoFieldResetsToCapitals_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("from capitals") << QStringList{"K", "L"};
    QTest::newRow("from small letters") << QStringList{"shift", "k"};
    QTest::newRow("from digits reached from small letters")
        << QStringList{"shift", "k", "123", "4"};
}

// With the real view manager: the tap empties the password field.
void TestInputPanelContext::tapIntoFieldResetsToCapitals()
{
    QFETCH(QStringList, steps);
    DeviceTree tree({"--password", "KL9", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    KeyboardRun run(tree);
    QString textBefore, textAfter, panelsAfter;
    run.script = [&](KeyboardRun &r) {
        r.driver.run(steps);
        r.driver.settle();
        textBefore = r.field()->text();
        r.driver.step("field");
        r.driver.settle();
        textAfter = r.field()->text();
        panelsAfter = visiblePanels();
        // The capitals are up: the password goes in from here.
        r.driver.run({"K", "L", "123", "9", "ok"});
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QVERIFY(!textBefore.isEmpty());
    QCOMPARE(textAfter, QString());
    QCOMPARE(panelsAfter, QStringLiteral("InputPanel"));
    QCOMPARE(run.question(), kSuccess);
}

void TestInputPanelContext::placement_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("bar"); // a bar shown by the steps, or none
    QTest::newRow("capital panel and bar") << QStringList{"hold U"} << "InputPanel"
                                           << "KeyBar_U";
    QTest::newRow("small panel and bar") << QStringList{"shift", "hold i"} << "InputPanelShift"
                                         << "KeyBar_I_small";
    QTest::newRow("digit panel") << QStringList{"123"} << "InputPanelNumber"
                                 << "";
}

void TestInputPanelContext::placement()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, panel);
    QFETCH(QString, bar);
    Page page;
    QVERIFY(page.open());
    page.driver.run(steps);
    page.driver.settle();
    // Just below the field's bottom row: its bottom-left corner plus 2 pixels.
    const QPoint bottomLeft = page.field->mapToGlobal(QPoint(0, page.field->height() - 1));
    QCOMPARE(keyboardWindow(qPrintable(panel))->pos(), bottomLeft + QPoint(0, 2));
    QCOMPARE(bottomLeft, QPoint(30 + 60, 40 + 60 + 39));
    if (!bar.isEmpty()) {
        QCOMPARE(visibleBars(), bar);
        QCOMPARE(keyboardWindow(qPrintable(bar))->pos(), bottomLeft + QPoint(-10, 290));
    }
}

// On X11 the page's activation, and so the focus, comes after the keyboard was opened.
void TestInputPanelContext::panelFollowsLateFocus()
{
    Page page;
    page.page.show();
    QVERIFY(QTest::qWaitForWindowActive(&page.page));
    page.button->setFocus();
    QCOMPARE(QApplication::focusWidget(), page.button);
    const QEvent request(QEvent::RequestSoftwareInputPanel);
    page.context.filterEvent(&request);
    QWidget *capital = keyboardWindow("InputPanel");
    QVERIFY(capital->isVisible());
    const QPoint under = page.other->mapToGlobal(QPoint(0, page.other->height() + 1));
    QVERIFY(capital->pos() != under);
    page.other->setFocus();
    QTRY_COMPARE(capital->pos(), under);
}

void TestInputPanelContext::wholeRun_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QStringList>("steps"); // "check" records the field text and the panels
    QTest::addColumn<QStringList>("checks");
    QTest::addColumn<bool>("installed");

    const QStringList stored{"--password", "Kwé7", "--serial", "1234567"};
    QTest::newRow("password with small letters, an accent and a digit")
        << stored << QStringList{"check", "K", "shift", "w", "hold e", "bar 4", "123", "7", "ok"}
        << QStringList{"|InputPanel"} << true;
    QTest::newRow("service code on the digit panel")
        << stored << QStringList{"123", "8", "5", "8", "1", "ok"} << QStringList{} << true;
    QTest::newRow("wrong entry empties the field, keyboard stays")
        << stored << QStringList{"K", "W",      "ok",    "check", "K", "shift",
                                 "w", "hold e", "bar 4", "123",   "7", "ok"}
        << QStringList{"|InputPanel"} << true;
    QTest::newRow("wrong entry in digit mode")
        << stored << QStringList{"123", "8", "5", "8", "ok", "check", "1", "cancel"}
        << QStringList{"|InputPanelNumber"} << false;
    // No system database: the service code is empty, and an empty entry is no code.
    QTest::newRow("empty entry without a service code")
        << QStringList{"--password", "Kwé7"} << QStringList{"ok", "check", "cancel"}
        << QStringList{"|InputPanel"} << false;
    QTest::newRow("cancel") << stored << QStringList{"K", "cancel"} << QStringList{} << false;
    QTest::newRow("cancel from small letters")
        << stored << QStringList{"shift", "k", "cancel"} << QStringList{} << false;
}

void TestInputPanelContext::wholeRun()
{
    QFETCH(QStringList, device);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, checks);
    QFETCH(bool, installed);
    DeviceTree tree(device);
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    KeyboardRun run(tree);
    QStringList seen;
    QPoint panelPlace, fieldCorner;
    run.script = [&](KeyboardRun &r) {
        r.driver.settle();
        panelPlace = keyboardWindow("InputPanel")->pos();
        fieldCorner = r.field()->mapToGlobal(QPoint(0, r.field()->height() - 1));
        for (const QString &s : steps) {
            if (s == "check") {
                r.driver.settle();
                seen << r.field()->text() + '|' + visiblePanels();
                continue;
            }
            r.driver.step(s);
            if (QTest::currentTestFailed())
                return;
        }
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QCOMPARE(seen, checks);
    // The capital panel opened just below the full-screen page's field.
    QCOMPARE(fieldCorner, QPoint(60, 99));
    QCOMPARE(panelPlace, QPoint(60, 101));
    // Ok with a match and Cancel both take the keyboard down.
    QCOMPARE(visiblePanels() + visibleBars(), QString());
    QCOMPARE(run.question(), installed ? kSuccess : kNothing);
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"),
             installed ? QByteArray("boot 2.4.1\n") : QByteArray("boot 2.3.0\n"));
    const QStringList lines = tree.logLines();
    QVERIFY(lines.contains(installed ? "HandleEvents: WaitPassword: Ok."
                                     : "HandleEvents: WaitPassword: Cancelled."));
    if (!installed)
        QCOMPARE(run.output(), QStringLiteral("Cancelled"));
    else
        QVERIFY(lines.contains("HandleEvents: InitialState: Successful."));
}

void TestInputPanelContext::backspaceActsOnPasswordField()
{
    DeviceTree tree({"--password", "Kwé7", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    KeyboardRun run(tree);
    QString passwordAfter, otherAfter;
    run.script = [&](KeyboardRun &r) {
        r.driver.run({"K", "W", "X", "back"});
        r.driver.settle();
        QCOMPARE(r.field()->text(), QStringLiteral("KW"));
        // A second field on the page takes the focus: characters go there, Backspace
        // stays with the password field.
        auto *other = new QLineEdit(r.field()->window());
        other->setGeometry(60, 400, 200, 40);
        other->setText(QStringLiteral("note"));
        other->show();
        other->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), other);
        r.field()->setText(QStringLiteral("KW"));
        r.driver.focus = other;
        r.driver.run({"N", "back"});
        passwordAfter = r.field()->text();
        otherAfter = other->text();
        r.driver.run({"cancel"});
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QCOMPARE(otherAfter, QStringLiteral("noteN"));
    QCOMPARE(passwordAfter, QStringLiteral("K"));
    QCOMPARE(run.question(), kNothing);
}

void TestInputPanelContext::fieldEnterKey_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("right") << "Kwé7" << true;
    QTest::newRow("wrong") << "Kw7" << false;
}

// The field's own Enter (editingFinished, through the manager's notifyKeyboardEnter)
// decides like the Ok key.
void TestInputPanelContext::fieldEnterKey()
{
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    DeviceTree tree({"--password", "Kwé7", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    KeyboardRun run(tree);
    QString textAfterEnter, panelsAfterEnter;
    run.script = [&](KeyboardRun &r) {
        r.driver.settle();
        r.field()->insert(typed);
        QSignalSpy enter(&r.manager, &InstallerViewManager::notifyKeyboardEnter);
        QTest::keyClick(r.field(), Qt::Key_Return);
        QCOMPARE(enter.count(), 1);
        if (!accepted) {
            textAfterEnter = r.field()->text();
            panelsAfterEnter = visiblePanels();
            r.driver.run({"cancel"});
        }
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QCOMPARE(run.question(), accepted ? kSuccess : kNothing);
    if (!accepted) {
        QCOMPARE(textAfterEnter, QString());
        QCOMPARE(panelsAfterEnter, QStringLiteral("InputPanel"));
    }
}

// Wrong entries from a USB keyboard (the field's own Return) and from the Ok key: three
// pass unnoticed, from the fourth on each shuts the field for a pause that doubles up to
// a minute, and the field says how long. Each is on the flash disk by then; the right
// entry removes the count. The pauses are taken by the test's own timer and ended at once.
void TestInputPanelContext::refusalsPauseTheField()
{
    DeviceTree tree({"--password", "Kwé7", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    KeyboardRun run(tree);
    QList<int> pauses;
    std::function<void()> endPause;
    run.manager.setPauseTimer([&](int ms, const std::function<void()> &done) {
        pauses << ms;
        endPause = done;
    });
    QStringList during, after; // the field and the keyboard in each pause, and after it
    QStringList stored;        // the count on the flash disk in each pause
    const auto state = [](QLineEdit *f) {
        const auto *cancel = f->window()->findChild<QPushButton *>("pauseCancelButton");
        return QStringLiteral("%1|%2|%3|%4|%5|%6")
            .arg(f->text(), f->isEnabled() ? "enabled" : "disabled",
                 QApplication::focusWidget() == f ? "focus" : "no focus", visiblePanels(),
                 f->placeholderText(), cancel->isVisible() ? "Cancel" : "");
    };
    run.script = [&](KeyboardRun &r) {
        r.driver.run({"123"});
        for (int entry = 1; entry <= 11 && !QTest::currentTestFailed(); ++entry) {
            QLineEdit *f = r.field();
            if (entry % 2) {
                QTest::keyClicks(f, "0000");
                QTest::keyClick(f, Qt::Key_Return);
            } else {
                r.driver.run({"1", "2", "ok"});
            }
            if (!endPause) {
                QCOMPARE(state(f), QStringLiteral("|enabled|focus|InputPanelNumber||"));
                continue;
            }
            // Keys typed during the pause are lost, the right code included.
            QTest::keyClicks(f, "8581");
            QTest::keyClick(f, Qt::Key_Return);
            during << state(f);
            stored << QString::fromLatin1(tree.read(kCountFile));
            std::exchange(endPause, {})();
            r.driver.settle();
            after << state(f);
        }
        r.driver.run({"8", "5", "8", "1", "ok"});
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QCOMPARE(pauses, (QList<int>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    QStringList expectedDuring, expectedStored;
    for (int i = 0; i < pauses.size(); ++i) {
        expectedDuring
            << QStringLiteral("|disabled|no focus||Try again in %1 s|Cancel").arg(pauses[i] / 1000);
        expectedStored << QStringLiteral("%1\n").arg(i + 4);
    }
    QCOMPARE(during, expectedDuring);
    QCOMPARE(stored, expectedStored);
    QCOMPARE(after, QStringList(8, QStringLiteral("|enabled|focus|InputPanelNumber||")));
    QCOMPARE(run.question(), kSuccess);
    QCOMPARE(tree.read(kCountFile), QByteArray("0\n")); // kept, at zero
    const QStringList lines = tree.logLines();
    QVERIFY(lines.contains("Password refused 4 times in a row: entry closed for 1 s."));
    QVERIFY(lines.contains("Password refused 11 times in a row: entry closed for 60 s."));
    QVERIFY(!lines.join('\n').contains("8581"));
}

void TestInputPanelContext::countOutlivesTheRun_data()
{
    QTest::addColumn<int>("earlier");       // wrong entries of an earlier run, then Cancel
    QTest::addColumn<QByteArray>("damage"); // written over the count afterwards
    QTest::addColumn<QString>("atStart");   // the field and keyboard when the page opens
    QTest::addColumn<QList<int>>("pauses"); // at the start and after one more wrong entry

    QTest::newRow("three earlier: no pause yet")
        << 3 << QByteArray() << "|enabled|InputPanel|" << QList<int>{1000};
    QTest::newRow("five earlier: the pause is served again")
        << 5 << QByteArray() << "|disabled||Try again in 2 s" << QList<int>{2000, 4000};
    QTest::newRow("damaged count: the longest pause")
        << 0 << QByteArray("5x\n") << "|disabled||Try again in 60 s" << QList<int>{60000, 60000};
}

// A new run on the same device (a restart) goes on with the count of the one before: a
// pause that was due is served again when the page opens, counting down, and the
// keyboard comes up when it ends.
void TestInputPanelContext::countOutlivesTheRun()
{
    QFETCH(int, earlier);
    QFETCH(QByteArray, damage);
    QFETCH(QString, atStart);
    QFETCH(QList<int>, pauses);
    DeviceTree tree({"--password", "Kwé7", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    const auto state = [](QLineEdit *f) {
        return QStringLiteral("%1|%2|%3|%4")
            .arg(f->text(), f->isEnabled() ? "enabled" : "disabled", visiblePanels(),
                 f->placeholderText());
    };
    std::function<void()> endPause;
    QList<int> seen;
    const auto takePauses = [&](int ms, const std::function<void()> &done) {
        seen << ms;
        endPause = done;
    };
    // Ends the pause at hand, as its timer would, once the field is closed.
    const auto pass = [&](KeyboardRun &r) {
        if (endPause)
            std::exchange(endPause, {})();
        r.driver.settle();
    };
    if (earlier > 0) {
        KeyboardRun first(tree);
        first.manager.setPauseTimer(takePauses);
        first.script = [&](KeyboardRun &r) {
            for (int i = 0; i < earlier && !QTest::currentTestFailed(); ++i) {
                pass(r);
                QTest::keyClicks(r.field(), "0000");
                QTest::keyClick(r.field(), Qt::Key_Return);
            }
            r.manager.cancelPassword();
        };
        first.manager.onStartup();
        QVERIFY(first.scriptRan);
        endPause = {};
        seen.clear();
    }
    if (!damage.isEmpty())
        QVERIFY(tree.write(kCountFile, damage));

    KeyboardRun run(tree);
    run.manager.setPauseTimer(takePauses);
    QString opened;
    run.script = [&](KeyboardRun &r) {
        opened = state(r.field());
        if (endPause) {
            // The countdown's first tick, on the real clock.
            const int first = seen.first() / 1000;
            QTRY_COMPARE(r.field()->placeholderText(),
                         QStringLiteral("Try again in %1 s").arg(first - 1));
            pass(r);
            QCOMPARE(state(r.field()), QStringLiteral("|enabled|InputPanel|"));
        }
        r.driver.settle();
        QTest::keyClicks(r.field(), "0000");
        QTest::keyClick(r.field(), Qt::Key_Return);
        pass(r);
        r.driver.run({"123", "8", "5", "8", "1", "ok"});
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QCOMPARE(opened, atStart);
    QCOMPARE(seen, pauses);
    // (An earlier run removed the update, as every run does.)
    const QStringList lines = tree.logLines();
    QVERIFY(lines.contains("HandleEvents: WaitPassword: Ok."));
    QCOMPARE(tree.read(kCountFile), QByteArray("0\n")); // kept, at zero
    if (!damage.isEmpty())
        QVERIFY(lines.join('\n').contains("holds no count; counted as 10"));
}

// A close request of the window system (WM_DELETE_WINDOW) on the password page is a
// Cancel: the run goes on to the result screen and the keyboard goes away.
void TestInputPanelContext::closingThePageCancels()
{
    DeviceTree tree({"--password", "Kwé7", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    KeyboardRun run(tree);
    // Should the close not end the page, this ends it, so that the test fails instead of hanging.
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, &run.view, [&] { run.manager.cancelPassword(); });
    run.script = [&](KeyboardRun &r) {
        r.driver.run({"123", "8"});
        QCloseEvent close; // as the platform delivers the window system's request
        QCoreApplication::sendEvent(r.field()->window()->windowHandle(), &close);
        rescue.start(3000);
    };
    run.manager.onStartup();
    QVERIFY(run.scriptRan);
    QVERIFY2(rescue.isActive(), "the close request left the page waiting");
    rescue.stop();
    QCOMPARE(visiblePanels() + visibleBars(), QString());
    QCOMPARE(run.question(), kNothing);
    QCOMPARE(run.output(), QStringLiteral("Cancelled"));
    QVERIFY(tree.logLines().contains("HandleEvents: WaitPassword: Cancelled."));
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"), QByteArray("boot 2.3.0\n"));
}

void TestInputPanelContext::cancelDuringAPause_data()
{
    QTest::addColumn<int>("wrong");        // wrong entries typed on the page
    QTest::addColumn<QByteArray>("count"); // the count an earlier run left, if any
    QTest::addColumn<int>("pause");        // the pause Cancel is tapped in
    QTest::newRow("pause after wrong entries") << 4 << QByteArray() << 1000;
    QTest::newRow("start that opens paused") << 0 << QByteArray("6\n") << 4000;
}

// A pause takes the keyboard away, its Cancel key with it: the page shows a Cancel of its
// own where the keyboard's stands, and it abandons the step as that one does. The count
// stays, so the next start serves the same pause again, whole.
void TestInputPanelContext::cancelDuringAPause()
{
    QFETCH(int, wrong);
    QFETCH(QByteArray, count);
    QFETCH(int, pause);
    DeviceTree tree({"--password", "Kwé7", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    if (!count.isEmpty())
        QVERIFY(WorkFolder(tree.path(corvane::device::installWorkFolder)).open()
                && tree.write(kCountFile, count));
    LogToDevice log(tree);
    QList<int> pauses; // none of them ends: only Cancel leaves the page
    const auto takePauses = [&pauses](int ms, const std::function<void()> &) { pauses << ms; };
    QString before, during;
    QByteArray stored;
    {
        KeyboardRun run(tree);
        run.manager.setPauseTimer(takePauses);
        run.script = [&](KeyboardRun &r) {
            auto *cancel = r.field()->window()->findChild<QPushButton *>("pauseCancelButton");
            QVERIFY(cancel);
            const auto state = [&] {
                const QRect key = cancel->isVisible() ? cancel->geometry() : QRect();
                return QStringLiteral("%1|%2|%3,%4 %5x%6")
                    .arg(r.field()->text(), visiblePanels())
                    .arg(key.x())
                    .arg(key.y())
                    .arg(key.width())
                    .arg(key.height());
            };
            if (wrong > 0)
                r.driver.settle(); // the field has the focus
            before = state();
            for (int i = 0; i < wrong; ++i) {
                QTest::keyClicks(r.field(), "0000");
                QTest::keyClick(r.field(), Qt::Key_Return);
            }
            QTest::keyClicks(r.field(), "8581"); // the right code, lost in the pause
            QTest::keyClick(r.field(), Qt::Key_Return);
            during = state();
            stored = tree.read(kCountFile);
            QTest::mouseClick(cancel, Qt::LeftButton);
            // Should the tap not end the page, this does, so that the test fails, not hangs.
            QTimer::singleShot(3000, &r.view, [&r] {
                r.manager.cancelPassword();
                QFAIL("Cancel during the pause left the page waiting");
            });
        };
        run.manager.onStartup();
        QVERIFY(run.scriptRan);
        QCOMPARE(run.question(), kNothing);
        QCOMPARE(run.output(), QStringLiteral("Cancelled"));
    }
    QCOMPARE(before, wrong > 0 ? QStringLiteral("|InputPanel|0,0 0x0") : during);
    // Where the keyboard's Cancel key stands (630, 288 of the panel under the field, which
    // is at 60, 101), and as large.
    QCOMPARE(during, QStringLiteral("||690,389 80x60"));
    QCOMPARE(visiblePanels(), QString());
    QCOMPARE(stored, count.isEmpty() ? QByteArray::number(wrong) + '\n' : count);
    QCOMPARE(tree.read(kCountFile), stored);
    QVERIFY(tree.logLines().contains("HandleEvents: WaitPassword: Cancelled."));

    KeyboardRun next(tree); // cancelled by the fixture once its page is up
    next.manager.setPauseTimer(takePauses);
    next.manager.onStartup();
    QVERIFY(next.scriptRan);
    QCOMPARE(pauses, (QList<int>{pause, pause}));
}

QTEST_MAIN(TestInputPanelContext)
#include "tst_inputpanelcontext.moc"
