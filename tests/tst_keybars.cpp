// The ten accent key bars: each key's place, label and the letter a tap sends; the
// bar windows themselves; presses beside the keys and focus keeping.

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

#include <QLineEdit>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

std::unique_ptr<KeyboardWindow> makeBar(const QString &cls)
{
    if (cls == QLatin1String("KeyBar_A"))
        return std::make_unique<KeyBar_A>();
    if (cls == QLatin1String("KeyBar_A_small"))
        return std::make_unique<KeyBar_A_small>();
    if (cls == QLatin1String("KeyBar_E"))
        return std::make_unique<KeyBar_E>();
    if (cls == QLatin1String("KeyBar_E_small"))
        return std::make_unique<KeyBar_E_small>();
    if (cls == QLatin1String("KeyBar_I"))
        return std::make_unique<KeyBar_I>();
    if (cls == QLatin1String("KeyBar_I_small"))
        return std::make_unique<KeyBar_I_small>();
    if (cls == QLatin1String("KeyBar_O"))
        return std::make_unique<KeyBar_O>();
    if (cls == QLatin1String("KeyBar_O_small"))
        return std::make_unique<KeyBar_O_small>();
    if (cls == QLatin1String("KeyBar_U"))
        return std::make_unique<KeyBar_U>();
    if (cls == QLatin1String("KeyBar_U_small"))
        return std::make_unique<KeyBar_U_small>();
    return nullptr;
}

struct Bar
{
    const char *cls;
    const char *form;
    char vowel;       // the capital letter in the key names
    char16_t keys[5]; // left to right: diaeresis, circumflex, acute, grave, tilde (0: no key)
};

const Bar bars[] = {
    {"KeyBar_A", "KeyBar_A_Form", 'A', {0x00C4, 0x00C2, 0x00C1, 0x00C0, 0x00C3}},
    {"KeyBar_A_small", "KeyBar_A_small_Form", 'A', {0x00E4, 0x00E2, 0x00E1, 0x00E0, 0x00E3}},
    {"KeyBar_E", "KeyBar_E_Form", 'E', {0x00CB, 0x00CA, 0x00C9, 0x00C8, 0}},
    {"KeyBar_E_small", "KeyBar_E_small_Form", 'E', {0x00EB, 0x00EA, 0x00E9, 0x00E8, 0}},
    {"KeyBar_I", "KeyBar_I_Form", 'I', {0x00CF, 0x00CE, 0x00CD, 0x00CC, 0}},
    {"KeyBar_I_small", "KeyBar_I_small_Form", 'I', {0x00EF, 0x00EE, 0x00ED, 0x00EC, 0}},
    {"KeyBar_O", "KeyBar_O_Form", 'O', {0x00D6, 0x00D4, 0x00D3, 0x00D2, 0x00D5}},
    {"KeyBar_O_small", "KeyBar_O_small_Form", 'O', {0x00F6, 0x00F4, 0x00F3, 0x00F2, 0x00F5}},
    {"KeyBar_U", "KeyBar_U_Form", 'U', {0x00DC, 0x00DB, 0x00DA, 0x00D9, 0}},
    {"KeyBar_U_small", "KeyBar_U_small_Form", 'U', {0x00FC, 0x00FB, 0x00FA, 0x00F9, 0}},
};

int keyCount(const Bar &bar)
{
    return bar.keys[4] ? 5 : 4;
}

} // namespace

class TestKeyBars : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void key_data();
    void key();
    void bar_data();
    void bar();
    void interface_data();
    void interface();
    void pressBesideKeys_data();
    void pressBesideKeys();
    void tapsKeepFocusInField_data();
    void tapsKeepFocusInField();
    void savedFocusFollowsFocus_data();
    void savedFocusFollowsFocus();
};

void TestKeyBars::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
}

void TestKeyBars::key_data()
{
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QChar>("letter");
    QTest::addColumn<QRect>("geometry");
    for (const Bar &bar : bars) {
        for (int i = 0; i < keyCount(bar); ++i) {
            const QString name
                = QStringLiteral("panelButton_%1_%2").arg(QLatin1Char(bar.vowel)).arg(i + 2);
            QTest::addRow("%s %s", bar.cls, qPrintable(name))
                << QString::fromLatin1(bar.cls) << name << QChar(bar.keys[i])
                << QRect(10 + 60 * i, 10, 50, 50);
        }
    }
}

void TestKeyBars::key()
{
    QFETCH(QString, bar);
    QFETCH(QString, name);
    QFETCH(QChar, letter);
    QFETCH(QRect, geometry);

    const auto window = makeBar(bar);
    auto *key = window->findChild<QPushButton *>(name);
    QVERIFY(key);
    QCOMPARE(key->geometry(), geometry);
    // The label is exactly the one letter the key sends, decoded from the form's UTF-8.
    QCOMPARE(key->text(), QString(letter));
    QCOMPARE(key->property("buttonValue").toChar(), letter);
    QCOMPARE(key->font().family(), QStringLiteral("Arial"));
    QCOMPARE(key->font().pointSize(), 12);
    QCOMPARE(key->focusPolicy(), Qt::NoFocus);
    QCOMPARE(key->minimumSize(), QSize(45, 40));
    QCOMPARE(key->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(key->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    QSignalSpy sent(window.get(), SIGNAL(characterGenerated(QChar)));
    QTest::mousePress(key, Qt::LeftButton);
    QCOMPARE(sent.count(), 0);
    QTest::mouseRelease(key, Qt::LeftButton);
    QCOMPARE(sent.count(), 1);
    QCOMPARE(sent.at(0).at(0).toChar(), letter);

    // Dragged off the key before release: nothing.
    QTest::mousePress(key, Qt::LeftButton);
    QTest::mouseRelease(key, Qt::LeftButton, {}, QPoint(-100, 25));
    QCOMPARE(sent.count(), 1);
}

void TestKeyBars::bar_data()
{
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("keyNames");
    for (const Bar &bar : bars) {
        QStringList names;
        for (int i = 0; i < keyCount(bar); ++i)
            names << QStringLiteral("panelButton_%1_%2").arg(QLatin1Char(bar.vowel)).arg(i + 2);
        const QSize size(keyCount(bar) == 5 ? 310 : 250, 70);
        QTest::newRow(bar.cls) << QString::fromLatin1(bar.cls) << QString::fromLatin1(bar.form)
                               << size << names;
    }
}

void TestKeyBars::bar()
{
    QFETCH(QString, bar);
    QFETCH(QString, form);
    QFETCH(QSize, size);
    QFETCH(QStringList, keyNames);

    const auto window = makeBar(bar);
    QCOMPARE(QString::fromLatin1(window->metaObject()->className()), bar);
    QCOMPARE(window->objectName(), form);
    QCOMPARE(window->windowTitle(), bar);
    QCOMPARE(window->size(), size);
    QVERIFY(!window->parent());
    QVERIFY(window->isHidden());
    QCOMPARE(window->windowType(), Qt::Tool);
    QVERIFY(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(window->windowFlags().testFlag(Qt::FramelessWindowHint));

    QStringList names;
    for (const QPushButton *key : window->findChildren<QPushButton *>())
        names << key->objectName();
    names.sort();
    QCOMPARE(names, keyNames);

    // A bar reports neither hiding nor closing, and closes when asked.
    QSignalSpy sent(window.get(), SIGNAL(characterGenerated(QChar)));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->hide();
    window->show();
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    QCOMPARE(sent.count(), 0);
}

void TestKeyBars::interface_data()
{
    QTest::addColumn<QString>("bar");
    for (const Bar &bar : bars)
        QTest::newRow(bar.cls) << QString::fromLatin1(bar.cls);
}

// The input context connects to characterGenerated; a bar has no other signal.
void TestKeyBars::interface()
{
    QFETCH(QString, bar);
    const auto window = makeBar(bar);
    const QMetaObject *mo = window->metaObject();
    QStringList methods;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        const char *kind = m.methodType() == QMetaMethod::Signal ? "signal" : "slot";
        const char *access = m.access() == QMetaMethod::Private ? "private" : "public";
        methods << QStringLiteral("%1 %2 %3")
                       .arg(QLatin1String(access), QLatin1String(kind),
                            QString::fromLatin1(m.methodSignature()));
    }
    QCOMPARE(methods,
             (QStringList{"public signal characterGenerated(QChar)",
                          "private slot saveFocusWidget(QWidget*,QWidget*)",
                          "private slot buttonClicked(QWidget*)"}));
}

void TestKeyBars::pressBesideKeys_data()
{
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QPoint>("at");
    for (const Bar &bar : bars) {
        QTest::addRow("%s corner", bar.cls) << QString::fromLatin1(bar.cls) << QPoint(3, 3);
        QTest::addRow("%s between keys", bar.cls) << QString::fromLatin1(bar.cls) << QPoint(65, 35);
        QTest::addRow("%s below keys", bar.cls) << QString::fromLatin1(bar.cls) << QPoint(100, 65);
    }
}

void TestKeyBars::pressBesideKeys()
{
    QFETCH(QString, bar);
    QFETCH(QPoint, at);

    const auto window = makeBar(bar);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QSignalSpy sent(window.get(), SIGNAL(characterGenerated(QChar)));
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, at);
    QCOMPARE(sent.count(), 0);
    QVERIFY(window->isVisible());
}

void TestKeyBars::tapsKeepFocusInField_data()
{
    interface_data();
}

void TestKeyBars::tapsKeepFocusInField()
{
    QFETCH(QString, bar);

    const auto window = makeBar(bar);
    QWidget fieldWindow;
    auto *field = new QLineEdit(&fieldWindow);
    fieldWindow.show();
    fieldWindow.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&fieldWindow));
    field->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), field);

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_COMPARE(QApplication::activeWindow(), &fieldWindow);

    QSignalSpy sent(window.get(), SIGNAL(characterGenerated(QChar)));
    for (QPushButton *key : window->findChildren<QPushButton *>()) {
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, key->geometry().center());
        QVERIFY(!key->hasFocus());
        QCOMPARE(QApplication::focusWidget(), field);
    }
    QCOMPARE(sent.count(), window->findChildren<QPushButton *>().size());
    QCOMPARE(window->savedFocus(), field);
}

void TestKeyBars::savedFocusFollowsFocus_data()
{
    interface_data();
}

void TestKeyBars::savedFocusFollowsFocus()
{
    QFETCH(QString, bar);
    const auto window = makeBar(bar);
    QCOMPARE(window->savedFocus(), nullptr);

    QWidget fieldWindow;
    auto *first = new QLineEdit(&fieldWindow);
    auto *second = new QLineEdit(&fieldWindow);
    fieldWindow.show();
    fieldWindow.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&fieldWindow));
    first->setFocus();
    QTRY_COMPARE(window->savedFocus(), first);

    first->clearFocus();
    QCOMPARE(window->savedFocus(), first);
    auto *inside = new QLineEdit(window.get());
    emit qApp->focusChanged(first, inside);
    QCOMPARE(window->savedFocus(), first);

    second->setFocus();
    QTRY_COMPARE(window->savedFocus(), second);
    delete second;
    QCOMPARE(window->savedFocus(), nullptr);
}

QTEST_MAIN(TestKeyBars)
#include "tst_keybars.moc"
