// The three keyboard panels: every key's place, look and the signals a tap on it
// produces, presses beside the keys, focus keeping and the window itself.

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"

#include <QLineEdit>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <utility>
#include <vector>

namespace {

std::unique_ptr<KeyboardWindow> makePanel(const QString &cls)
{
    if (cls == QLatin1String("InputPanel"))
        return std::make_unique<InputPanel>();
    if (cls == QLatin1String("InputPanelShift"))
        return std::make_unique<InputPanelShift>();
    if (cls == QLatin1String("InputPanelNumber"))
        return std::make_unique<InputPanelNumber>();
    return nullptr;
}

const char *const panelClasses[] = {"InputPanel", "InputPanelShift", "InputPanelNumber"};

QString code(QChar c)
{
    return QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
}

// Records every signal the window itself declares, so that a check can say "this and
// nothing else was emitted".
class SignalLog
{
public:
    explicit SignalLog(QObject *object)
    {
        const QMetaObject *mo = object->metaObject();
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            const QMetaMethod method = mo->method(i);
            if (method.methodType() == QMetaMethod::Signal)
                m_spies.emplace_back(method.name(), std::make_unique<QSignalSpy>(object, method));
        }
    }

    // Every emission as "name" or "name(U+XXXX)", grouped by signal in declaration order.
    QStringList fired() const
    {
        QStringList out;
        for (const auto &[name, spy] : m_spies) {
            for (const QList<QVariant> &args : *spy) {
                QString entry = QString::fromLatin1(name);
                if (!args.isEmpty())
                    entry += QLatin1Char('(') + code(args.first().toChar()) + QLatin1Char(')');
                out << entry;
            }
        }
        return out;
    }

    int count(const char *name) const
    {
        for (const auto &[n, spy] : m_spies) {
            if (n == name)
                return spy->count();
        }
        return -1;
    }

    void clear()
    {
        for (auto &entry : m_spies)
            entry.second->clear();
    }

private:
    std::vector<std::pair<QByteArray, std::unique_ptr<QSignalSpy>>> m_spies;
};

QString charSignal(const char *name, char16_t c)
{
    return QString::fromLatin1(name) + QLatin1Char('(') + code(QChar(c)) + QLatin1Char(')');
}

struct CharacterKey
{
    const char *panel;
    const char *name;
    const char16_t *label;
    char16_t sends;
    int x, y, w;
    char16_t vowel; // what notifyKeyPressed carries on press, 0 for none
};

// The character keys, as the keyboard layout prescribes them.
const CharacterKey characterKeys[] = {
    {"InputPanel", "panelButton_Q", u"Q", 0x51, 0, 20, 50, 0},
    {"InputPanel", "panelButton_W", u"W", 0x57, 60, 20, 50, 0},
    {"InputPanel", "panelButton_E", u"E", 0x45, 120, 20, 50, u'E'},
    {"InputPanel", "panelButton_R", u"R", 0x52, 180, 20, 50, 0},
    {"InputPanel", "panelButton_T", u"T", 0x54, 240, 20, 50, 0},
    {"InputPanel", "panelButton_Z", u"Z", 0x5A, 300, 20, 50, 0},
    {"InputPanel", "panelButton_U", u"U", 0x55, 360, 20, 50, u'U'},
    {"InputPanel", "panelButton_I", u"I", 0x49, 420, 20, 50, u'I'},
    {"InputPanel", "panelButton_O", u"O", 0x4F, 480, 20, 50, u'O'},
    {"InputPanel", "panelButton_P", u"P", 0x50, 540, 20, 50, 0},
    {"InputPanel", "panelButton_A", u"A", 0x41, 40, 80, 50, u'A'},
    {"InputPanel", "panelButton_S", u"S", 0x53, 100, 80, 50, 0},
    {"InputPanel", "panelButton_D", u"D", 0x44, 160, 80, 50, 0},
    {"InputPanel", "panelButton_F", u"F", 0x46, 220, 80, 50, 0},
    {"InputPanel", "panelButton_G", u"G", 0x47, 280, 80, 50, 0},
    {"InputPanel", "panelButton_H", u"H", 0x48, 340, 80, 50, 0},
    {"InputPanel", "panelButton_J", u"J", 0x4A, 400, 80, 50, 0},
    {"InputPanel", "panelButton_K", u"K", 0x4B, 460, 80, 50, 0},
    {"InputPanel", "panelButton_L", u"L", 0x4C, 520, 80, 50, 0},
    {"InputPanel", "panelButton_Y", u"Y", 0x59, 60, 140, 50, 0},
    {"InputPanel", "panelButton_X", u"X", 0x58, 120, 140, 50, 0},
    {"InputPanel", "panelButton_C", u"C", 0x43, 180, 140, 50, 0},
    {"InputPanel", "panelButton_V", u"V", 0x56, 240, 140, 50, 0},
    {"InputPanel", "panelButton_B", u"B", 0x42, 300, 140, 50, 0},
    {"InputPanel", "panelButton_N", u"N", 0x4E, 360, 140, 50, 0},
    {"InputPanel", "panelButton_M", u"M", 0x4D, 420, 140, 50, 0},
    {"InputPanel", "panelButton_at", u"@", 0x40, 90, 200, 50, 0},
    {"InputPanel", "panelButton_space", u"", 0x20, 150, 200, 320, 0},
    {"InputPanel", "panelButton_point", u".", 0x2E, 480, 200, 50, 0},
    {"InputPanel", "panelButton_comma", u",", 0x2C, 540, 200, 50, 0},

    {"InputPanelShift", "panelButton_Q", u"q", 0x71, 0, 20, 50, 0},
    {"InputPanelShift", "panelButton_W", u"w", 0x77, 60, 20, 50, 0},
    {"InputPanelShift", "panelButton_E", u"e", 0x65, 120, 20, 50, u'e'},
    {"InputPanelShift", "panelButton_R", u"r", 0x72, 180, 20, 50, 0},
    {"InputPanelShift", "panelButton_T", u"t", 0x74, 240, 20, 50, 0},
    {"InputPanelShift", "panelButton_Z", u"z", 0x7A, 300, 20, 50, 0},
    {"InputPanelShift", "panelButton_U", u"u", 0x75, 360, 20, 50, u'u'},
    {"InputPanelShift", "panelButton_I", u"i", 0x69, 420, 20, 50, u'i'},
    {"InputPanelShift", "panelButton_O", u"o", 0x6F, 480, 20, 50, u'o'},
    {"InputPanelShift", "panelButton_P", u"p", 0x70, 540, 20, 50, 0},
    {"InputPanelShift", "panelButton_A", u"a", 0x61, 40, 80, 50, u'a'},
    {"InputPanelShift", "panelButton_S", u"s", 0x73, 100, 80, 50, 0},
    {"InputPanelShift", "panelButton_D", u"d", 0x64, 160, 80, 50, 0},
    {"InputPanelShift", "panelButton_F", u"f", 0x66, 220, 80, 50, 0},
    {"InputPanelShift", "panelButton_G", u"g", 0x67, 280, 80, 50, 0},
    {"InputPanelShift", "panelButton_H", u"h", 0x68, 340, 80, 50, 0},
    {"InputPanelShift", "panelButton_J", u"j", 0x6A, 400, 80, 50, 0},
    {"InputPanelShift", "panelButton_K", u"k", 0x6B, 460, 80, 50, 0},
    {"InputPanelShift", "panelButton_L", u"l", 0x6C, 520, 80, 50, 0},
    {"InputPanelShift", "panelButton_Y", u"y", 0x79, 60, 140, 50, 0},
    {"InputPanelShift", "panelButton_X", u"x", 0x78, 120, 140, 50, 0},
    {"InputPanelShift", "panelButton_C", u"c", 0x63, 180, 140, 50, 0},
    {"InputPanelShift", "panelButton_V", u"v", 0x76, 240, 140, 50, 0},
    {"InputPanelShift", "panelButton_B", u"b", 0x62, 300, 140, 50, 0},
    {"InputPanelShift", "panelButton_N", u"n", 0x6E, 360, 140, 50, 0},
    {"InputPanelShift", "panelButton_M", u"m", 0x6D, 420, 140, 50, 0},
    {"InputPanelShift", "panelButton_at", u"@", 0x40, 90, 200, 50, 0},
    {"InputPanelShift", "panelButton_space", u"", 0x20, 150, 200, 320, 0},
    {"InputPanelShift", "panelButton_point", u".", 0x2E, 480, 200, 50, 0},
    {"InputPanelShift", "panelButton_comma", u",", 0x2C, 540, 200, 50, 0},

    {"InputPanelNumber", "panelButton_1", u"1", 0x31, 0, 20, 50, 0},
    {"InputPanelNumber", "panelButton_2", u"2", 0x32, 60, 20, 50, 0},
    {"InputPanelNumber", "panelButton_3", u"3", 0x33, 120, 20, 50, 0},
    {"InputPanelNumber", "panelButton_4", u"4", 0x34, 180, 20, 50, 0},
    {"InputPanelNumber", "panelButton_5", u"5", 0x35, 240, 20, 50, 0},
    {"InputPanelNumber", "panelButton_6", u"6", 0x36, 300, 20, 50, 0},
    {"InputPanelNumber", "panelButton_7", u"7", 0x37, 360, 20, 50, 0},
    {"InputPanelNumber", "panelButton_8", u"8", 0x38, 420, 20, 50, 0},
    {"InputPanelNumber", "panelButton_9", u"9", 0x39, 480, 20, 50, 0},
    {"InputPanelNumber", "panelButton_0", u"0", 0x30, 540, 20, 50, 0},
    {"InputPanelNumber", "panelButton_at2", u"@", 0x40, 40, 80, 50, 0},
    {"InputPanelNumber", "panelButton_hash", u"#", 0x23, 100, 80, 50, 0},
    {"InputPanelNumber", "panelButton_bracketOpen", u"(", 0x28, 160, 80, 50, 0},
    {"InputPanelNumber", "panelButton_bracketClose", u")", 0x29, 220, 80, 50, 0},
    {"InputPanelNumber", "panelButton_equal", u"=", 0x3D, 280, 80, 50, 0},
    {"InputPanelNumber", "panelButton_plus", u"+", 0x2B, 340, 80, 50, 0},
    {"InputPanelNumber", "panelButton_minus", u"-", 0x2D, 400, 80, 50, 0},
    {"InputPanelNumber", "panelButton_star", u"*", 0x2A, 460, 80, 50, 0},
    {"InputPanelNumber", "panelButton_slash", u"/", 0x2F, 520, 80, 50, 0},
    {"InputPanelNumber", "panelButton_exclamation", u"!", 0x21, 60, 140, 50, 0},
    {"InputPanelNumber", "panelButton_question", u"?", 0x3F, 120, 140, 50, 0},
    {"InputPanelNumber", "panelButton_dollar", u"$", 0x24, 180, 140, 50, 0},
    {"InputPanelNumber", "panelButton_semicolon", u";", 0x3B, 240, 140, 50, 0},
    {"InputPanelNumber", "panelButton_colon", u":", 0x3A, 300, 140, 50, 0},
    {"InputPanelNumber", "panelButton_comma2", u",", 0x2C, 360, 140, 50, 0},
    {"InputPanelNumber", "panelButton_point2", u".", 0x2E, 420, 140, 50, 0},
    {"InputPanelNumber", "panelButton_at", u"@", 0x40, 90, 200, 50, 0},
    {"InputPanelNumber", "panelButton_space", u"", 0x20, 150, 200, 320, 0},
    {"InputPanelNumber", "panelButton_point", u".", 0x2E, 480, 200, 50, 0},
    {"InputPanelNumber", "panelButton_comma", u",", 0x2C, 540, 200, 50, 0},
};

struct FunctionKey
{
    const char *panel;
    const char *name;
    const char *label;
    QRect geometry;
    const char *emits; // the one signal a click emits, nullptr for none
};

const FunctionKey functionKeys[] = {
    {"InputPanel", "shiftButton", "Shift", {0, 140, 50, 50}, "notifyShiftPressed"},
    {"InputPanel", "backspaceButton", "<==", {480, 140, 110, 50}, "notifyBackspacePressed"},
    {"InputPanel", "numberButton", "123", {0, 200, 80, 50}, "notifyNumberPressed"},
    {"InputPanel", "enterButton", "Ok", {480, 288, 110, 60}, "notifyEnterPressed"},
    {"InputPanel", "cancelButton", "Cancel", {630, 288, 80, 60}, "notifyCancelPressed"},
    {"InputPanelShift", "shiftButton", "Shift", {0, 140, 50, 50}, "notifyUnShiftPressed"},
    {"InputPanelShift", "backspaceButton", "<==", {480, 140, 110, 50}, "notifyBackspacePressed"},
    {"InputPanelShift", "numberButton", "123", {0, 200, 80, 50}, "notifyNumberPressed"},
    {"InputPanelShift", "enterButton", "Ok", {480, 288, 110, 60}, "notifyEnterPressed"},
    {"InputPanelShift", "cancelButton", "Cancel", {630, 288, 80, 60}, "notifyCancelPressed"},
    {"InputPanelNumber", "shiftButton", "Shift", {0, 140, 50, 50}, nullptr},
    {"InputPanelNumber", "backspaceButton", "<==", {480, 140, 110, 50}, "notifyBackspacePressed"},
    {"InputPanelNumber", "numberButton", "ABC", {0, 200, 80, 50}, "notifyAlphaPressed"},
    {"InputPanelNumber", "enterButton", "Ok", {480, 288, 110, 60}, "notifyEnterPressed"},
    {"InputPanelNumber", "cancelButton", "Cancel", {630, 288, 80, 60}, "notifyCancelPressed"},
};

} // namespace

class TestInputPanels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void characterKey_data();
    void characterKey();
    void functionKey_data();
    void functionKey();
    void vowelPressAndRelease_data();
    void vowelPressAndRelease();
    void pressOnPanel_data();
    void pressOnPanel();
    void onlyFormKeysAreKeys_data();
    void onlyFormKeysAreKeys();

    void window_data();
    void window();
    void hideAndClose_data();
    void hideAndClose();
    void interface_data();
    void interface();

    void tapsKeepFocusInField_data();
    void tapsKeepFocusInField();
    void savedFocusFollowsFocus_data();
    void savedFocusFollowsFocus();
    void activationWithoutSavedFocus();
    void keyWithoutValueSendsNullCharacter();
};

void TestInputPanels::initTestCase()
{
    // The fields' windows in these tests come and go; that must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestInputPanels::characterKey_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QChar>("sends");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QChar>("vowel");
    for (const CharacterKey &k : characterKeys) {
        QTest::addRow("%s %s", k.panel, k.name)
            << QString::fromLatin1(k.panel) << QString::fromLatin1(k.name)
            << QString::fromUtf16(k.label) << QChar(k.sends) << QRect(k.x, k.y, k.w, 50)
            << QChar(k.vowel);
    }
}

void TestInputPanels::characterKey()
{
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QString, label);
    QFETCH(QChar, sends);
    QFETCH(QRect, geometry);
    QFETCH(QChar, vowel);

    const auto window = makePanel(panel);
    auto *key = window->findChild<QPushButton *>(name);
    QVERIFY(key);
    QCOMPARE(key->parentWidget(), window.get());
    QCOMPARE(key->geometry(), geometry);
    QCOMPARE(key->text(), label);
    QCOMPARE(key->property("buttonValue").toChar(), sends);
    QCOMPARE(key->font().family(), QStringLiteral("Arial"));
    QCOMPARE(key->font().pointSize(), 12);
    QCOMPARE(key->focusPolicy(), Qt::NoFocus);
    QCOMPARE(key->minimumSize(), QSize(45, 40));
    QCOMPARE(key->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(key->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    SignalLog log(window.get());
    QTest::mouseClick(key, Qt::LeftButton);
    QStringList expected{charSignal("characterGenerated", sends.unicode())};
    if (!vowel.isNull())
        expected << charSignal("notifyKeyPressed", vowel.unicode());
    QCOMPARE(log.fired(), expected);
}

void TestInputPanels::functionKey_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QStringList>("emits");
    for (const FunctionKey &k : functionKeys) {
        QTest::addRow("%s %s", k.panel, k.name)
            << QString::fromLatin1(k.panel) << QString::fromLatin1(k.name)
            << QString::fromLatin1(k.label) << k.geometry
            << (k.emits ? QStringList{QString::fromLatin1(k.emits)} : QStringList{});
    }
}

void TestInputPanels::functionKey()
{
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QString, label);
    QFETCH(QRect, geometry);
    QFETCH(QStringList, emits);

    const auto window = makePanel(panel);
    auto *key = window->findChild<QPushButton *>(name);
    QVERIFY(key);
    QCOMPARE(key->geometry(), geometry);
    QCOMPARE(key->text(), label);
    QCOMPARE(key->font().family(), QStringLiteral("Arial"));
    QCOMPARE(key->font().pointSize(), 12);
    QCOMPARE(key->focusPolicy(), Qt::NoFocus);
    QVERIFY(!key->property("buttonValue").isValid());

    SignalLog log(window.get());
    QTest::mouseClick(key, Qt::LeftButton);
    QCOMPARE(log.fired(), emits);
    // A press alone is not a click: function keys act on release.
    log.clear();
    QTest::mousePress(key, Qt::LeftButton);
    QCOMPARE(log.fired(), QStringList());
    QTest::mouseRelease(key, Qt::LeftButton);
    QCOMPARE(log.fired(), emits);
}

void TestInputPanels::vowelPressAndRelease_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QChar>("vowel");
    QTest::addColumn<bool>("releaseOverKey");
    const struct
    {
        const char *panel;
        const char *name;
        char16_t vowel;
    } vowels[] = {
        {"InputPanel", "panelButton_A", u'A'},      {"InputPanel", "panelButton_E", u'E'},
        {"InputPanel", "panelButton_I", u'I'},      {"InputPanel", "panelButton_O", u'O'},
        {"InputPanel", "panelButton_U", u'U'},      {"InputPanelShift", "panelButton_A", u'a'},
        {"InputPanelShift", "panelButton_E", u'e'}, {"InputPanelShift", "panelButton_I", u'i'},
        {"InputPanelShift", "panelButton_O", u'o'}, {"InputPanelShift", "panelButton_U", u'u'},
    };
    for (const auto &v : vowels) {
        QTest::addRow("%s %s released over key", v.panel, v.name)
            << QString::fromLatin1(v.panel) << QString::fromLatin1(v.name) << QChar(v.vowel)
            << true;
        QTest::addRow("%s %s dragged off", v.panel, v.name)
            << QString::fromLatin1(v.panel) << QString::fromLatin1(v.name) << QChar(v.vowel)
            << false;
    }
}

void TestInputPanels::vowelPressAndRelease()
{
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QChar, vowel);
    QFETCH(bool, releaseOverKey);

    const auto window = makePanel(panel);
    auto *key = window->findChild<QPushButton *>(name);
    QVERIFY(key);
    SignalLog log(window.get());

    QTest::mousePress(key, Qt::LeftButton);
    const QStringList pressed{charSignal("notifyKeyPressed", vowel.unicode())};
    QCOMPARE(log.fired(), pressed);

    const QPoint releaseAt = releaseOverKey ? key->rect().center() : QPoint(-200, -200);
    QTest::mouseRelease(key, Qt::LeftButton, {}, releaseAt);
    if (releaseOverKey)
        QCOMPARE(log.fired(),
                 QStringList{charSignal("characterGenerated", vowel.unicode())} + pressed);
    else
        QCOMPARE(log.fired(), pressed);
}

void TestInputPanels::pressOnPanel_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<int>("outsidePresses");
    const struct
    {
        const char *what;
        QPoint at;
        int outside;
    } points[] = {
        {"right of the top row", {660, 45}, 1},
        {"between two keys", {55, 45}, 1},
        {"above the top row", {300, 10}, 1},
        {"free area below the rows", {150, 330}, 1},
        {"between Ok and Cancel", {610, 320}, 1},
        {"on the first key", {25, 45}, 0},
        {"on the space key", {300, 225}, 0},
        {"on Shift", {25, 165}, 0},
        {"on Ok", {535, 318}, 0},
    };
    for (const char *panel : panelClasses) {
        for (const auto &p : points)
            QTest::addRow("%s %s", panel, p.what)
                << QString::fromLatin1(panel) << p.at << p.outside;
    }
}

void TestInputPanels::pressOnPanel()
{
    QFETCH(QString, panel);
    QFETCH(QPoint, at);
    QFETCH(int, outsidePresses);

    const auto window = makePanel(panel);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    SignalLog log(window.get());

    // Through the window, so that the press lands on whatever widget is at that point.
    QTest::mousePress(window->windowHandle(), Qt::LeftButton, {}, at);
    QCOMPARE(log.count("notifyOutsidePressed"), outsidePresses);
    if (outsidePresses)
        QCOMPARE(log.fired(), QStringList{QStringLiteral("notifyOutsidePressed")});
    QTest::mouseRelease(window->windowHandle(), Qt::LeftButton, {}, at);
    QCOMPARE(log.count("notifyOutsidePressed"), outsidePresses);
    if (outsidePresses)
        QCOMPARE(log.fired(), QStringList{QStringLiteral("notifyOutsidePressed")});
}

void TestInputPanels::onlyFormKeysAreKeys_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<int>("keys");
    for (const char *panel : panelClasses)
        QTest::newRow(panel) << QString::fromLatin1(panel) << 35;
}

void TestInputPanels::onlyFormKeysAreKeys()
{
    QFETCH(QString, panel);
    QFETCH(int, keys);
    const auto window = makePanel(panel);
    QStringList names;
    for (const QPushButton *key : window->findChildren<QPushButton *>())
        names << key->objectName();
    QCOMPARE(names.size(), keys);
    QStringList expected;
    for (const CharacterKey &k : characterKeys) {
        if (panel == QLatin1String(k.panel))
            expected << QString::fromLatin1(k.name);
    }
    for (const FunctionKey &k : functionKeys) {
        if (panel == QLatin1String(k.panel))
            expected << QString::fromLatin1(k.name);
    }
    names.sort();
    expected.sort();
    QCOMPARE(names, expected);
}

void TestInputPanels::window_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("title");
    QTest::newRow("InputPanel") << "InputPanel"
                                << "InputPanelForm"
                                << "Input Panel";
    QTest::newRow("InputPanelShift") << "InputPanelShift"
                                     << "InputPanelShiftForm"
                                     << "Input Panel";
    QTest::newRow("InputPanelNumber") << "InputPanelNumber"
                                      << "InputPanelNumberForm"
                                      << "Input Panel Number";
}

void TestInputPanels::window()
{
    QFETCH(QString, panel);
    QFETCH(QString, objectName);
    QFETCH(QString, title);

    const auto window = makePanel(panel);
    QCOMPARE(QString::fromLatin1(window->metaObject()->className()), panel);
    QCOMPARE(window->objectName(), objectName);
    QCOMPARE(window->windowTitle(), title);
    QCOMPARE(window->size(), QSize(720, 400));
    QVERIFY(!window->parent());
    QVERIFY(window->isWindow());
    QVERIFY(window->isHidden());
    QCOMPARE(window->windowType(), Qt::Tool);
    QVERIFY(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(window->windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(!window->savedFocus());
}

void TestInputPanels::hideAndClose_data()
{
    QTest::addColumn<QString>("panel");
    for (const char *panel : panelClasses)
        QTest::newRow(panel) << QString::fromLatin1(panel);
}

void TestInputPanels::hideAndClose()
{
    QFETCH(QString, panel);
    const auto window = makePanel(panel);
    SignalLog log(window.get());

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(log.fired(), QStringList());
    window->hide();
    QCOMPARE(log.fired(), QStringList{QStringLiteral("notifyHideEvent")});

    log.clear();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QCOMPARE(log.fired(),
             (QStringList{QStringLiteral("notifyHideEvent"), QStringLiteral("notifyCloseEvent")}));
}

void TestInputPanels::interface_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QStringList>("signalList");
    QTest::addColumn<QStringList>("slotList");

    const QStringList shared{"saveFocusWidget(QWidget*,QWidget*)", "buttonClicked(QWidget*)",
                             "backspacePressed()", "enterPressed()"};
    const QStringList vowels{"keyPressedA()", "keyPressedE()", "keyPressedI()", "keyPressedO()",
                             "keyPressedU()"};
    QTest::newRow("InputPanel")
        << "InputPanel" << QStringList{"characterGenerated(QChar)", "notifyHideEvent()",
                                       "notifyCloseEvent()",        "notifyBackspacePressed()",
                                       "notifyShiftPressed()",      "notifyNumberPressed()",
                                       "notifyEnterPressed()",      "notifyCancelPressed()",
                                       "notifyKeyPressed(QChar)",   "notifyOutsidePressed()"}
        << shared + QStringList{"shiftPressed()", "numberPressed()", "cancelPressed()"} + vowels;
    QTest::newRow("InputPanelShift")
        << "InputPanelShift" << QStringList{"characterGenerated(QChar)", "notifyHideEvent()",
                                            "notifyCloseEvent()",        "notifyBackspacePressed()",
                                            "notifyUnShiftPressed()",    "notifyNumberPressed()",
                                            "notifyEnterPressed()",      "notifyCancelPressed()",
                                            "notifyKeyPressed(QChar)",   "notifyOutsidePressed()"}
        << shared + QStringList{"unShiftPressed()", "numberPressed()", "cancelPressed()"} + vowels;
    QTest::newRow("InputPanelNumber")
        << "InputPanelNumber"
        << QStringList{"characterGenerated(QChar)", "notifyHideEvent()",
                       "notifyCloseEvent()",        "notifyBackspacePressed()",
                       "notifyAlphaPressed()",      "notifyEnterPressed()",
                       "notifyCancelPressed()",     "notifyKeyPressed(QChar)",
                       "notifyOutsidePressed()"}
        << shared + QStringList{"alphaPressed()", "cancelPressed()"};
}

// The input context connects to these by name and argument; their order is part of
// the published interface too.
void TestInputPanels::interface()
{
    QFETCH(QString, panel);
    QFETCH(QStringList, signalList);
    QFETCH(QStringList, slotList);

    const auto window = makePanel(panel);
    const QMetaObject *mo = window->metaObject();
    QStringList signalsFound, slotsFound;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        const QString signature = QString::fromLatin1(m.methodSignature());
        if (m.methodType() == QMetaMethod::Signal) {
            signalsFound << signature;
        } else if (m.methodType() == QMetaMethod::Slot) {
            QCOMPARE(m.access(), QMetaMethod::Private);
            slotsFound << signature;
        }
    }
    QCOMPARE(signalsFound, signalList);
    QCOMPARE(slotsFound, slotList);
}

void TestInputPanels::tapsKeepFocusInField_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("InputPanel") << "InputPanel"
                                << QStringList{"panelButton_Q", "panelButton_A", "shiftButton",
                                               "panelButton_space", "enterButton"};
    QTest::newRow("InputPanelShift") << "InputPanelShift"
                                     << QStringList{"panelButton_Q", "panelButton_E", "shiftButton",
                                                    "backspaceButton", "cancelButton"};
    QTest::newRow("InputPanelNumber")
        << "InputPanelNumber"
        << QStringList{"panelButton_7", "shiftButton", "numberButton", "panelButton_comma2"};
}

void TestInputPanels::tapsKeepFocusInField()
{
    QFETCH(QString, panel);
    QFETCH(QStringList, keys);

    // As in the program: the panel exists before the field is first focused.
    const auto window = makePanel(panel);
    QWidget fieldWindow;
    auto *field = new QLineEdit(&fieldWindow);
    fieldWindow.show();
    fieldWindow.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&fieldWindow));
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), field);
    QCOMPARE(window->savedFocus(), field);

    // Showing the panel activates it; it hands the activation straight back.
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(QApplication::activeWindow(), &fieldWindow);
    QTRY_COMPARE(QApplication::focusWidget(), field);

    for (const QString &name : keys) {
        auto *key = window->findChild<QPushButton *>(name);
        QVERIFY(key);
        const QPoint at = key->geometry().center();
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, at);
        QVERIFY2(!key->hasFocus(), qPrintable(name));
        QCOMPARE(QApplication::focusWidget(), field);
    }
    QCOMPARE(window->savedFocus(), field);
}

void TestInputPanels::savedFocusFollowsFocus_data()
{
    hideAndClose_data();
}

void TestInputPanels::savedFocusFollowsFocus()
{
    QFETCH(QString, panel);
    const auto window = makePanel(panel);

    QWidget fieldWindow;
    auto *first = new QLineEdit(&fieldWindow);
    auto *second = new QLineEdit(&fieldWindow);
    fieldWindow.show();
    fieldWindow.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&fieldWindow));
    first->setFocus();
    QTRY_COMPARE(window->savedFocus(), first);

    // Focus to nothing leaves it.
    first->clearFocus();
    QCOMPARE(QApplication::focusWidget(), nullptr);
    QCOMPARE(window->savedFocus(), first);

    // Focus into the keyboard window (the window itself or something inside it) leaves it.
    auto *inside = new QLineEdit(window.get());
    emit qApp->focusChanged(nullptr, inside);
    emit qApp->focusChanged(inside, window.get());
    QCOMPARE(window->savedFocus(), first);

    second->setFocus();
    QTRY_COMPARE(window->savedFocus(), second);

    // The remembered field may go away; the keyboard must then forget it and still
    // take activation without touching it.
    delete second;
    QCOMPARE(window->savedFocus(), nullptr);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), window.get());
}

void TestInputPanels::activationWithoutSavedFocus()
{
    // Nothing has had focus since the panel was made: its activation stays with it.
    QWidget fieldWindow;
    auto *field = new QLineEdit(&fieldWindow);
    fieldWindow.show();
    fieldWindow.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&fieldWindow));
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), field);

    InputPanel panel;
    QCOMPARE(panel.savedFocus(), nullptr);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    panel.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &panel);
    QTest::qWait(20);
    QCOMPARE(QApplication::activeWindow(), &panel);
}

void TestInputPanels::keyWithoutValueSendsNullCharacter()
{
    InputPanel panel;
    QSignalSpy spy(&panel, &InputPanel::characterGenerated);
    auto *shift = panel.findChild<QPushButton *>(QStringLiteral("shiftButton"));
    QVERIFY(shift);
    QVERIFY(QMetaObject::invokeMethod(&panel, "buttonClicked", Q_ARG(QWidget *, shift)));
    QVERIFY(QMetaObject::invokeMethod(&panel, "buttonClicked", Q_ARG(QWidget *, nullptr)));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toChar(), QChar());
    QCOMPARE(spy.at(1).at(0).toChar(), QChar());
}

QTEST_MAIN(TestInputPanels)
#include "tst_inputpanels.moc"
