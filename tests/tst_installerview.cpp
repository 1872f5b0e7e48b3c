// The main window as the view manager and the operator meet it.

#include "installerview.h"
#include "ui_installerview.h"

#include <QMenuBar>
#include <QSignalSpy>
#include <QtTest>

class TestInstallerView : public QObject
{
    Q_OBJECT

private slots:
    void startsHiddenWithoutMenu();
    void buttonsSignalOnce_data();
    void buttonsSignalOnce();
    void buttonTexts();
    void outputKeepsLinesInOrder();
};

void TestInstallerView::startsHiddenWithoutMenu()
{
    InstallerView view;
    QVERIFY(!view.isVisible());
    view.show();
    QVERIFY(view.isVisible());
    QVERIFY(!view.menuBar()->isVisible());
    QCOMPARE(view.size(), QSize(800, 480));
    QCOMPARE(view.form().txtQuestion->text(), QStringLiteral("...please wait"));
}

void TestInstallerView::buttonsSignalOnce_data()
{
    QTest::addColumn<int>("button");
    QTest::newRow("button1") << 1;
    QTest::newRow("button2") << 2;
}

void TestInstallerView::buttonsSignalOnce()
{
    QFETCH(int, button);
    InstallerView view;
    view.show();
    QSignalSpy one(&view, &InstallerView::NotifyButton1Clicked);
    QSignalSpy two(&view, &InstallerView::NotifyButton2Clicked);
    QTest::mouseClick(button == 1 ? view.form().button1 : view.form().button2, Qt::LeftButton);
    QCOMPARE(one.count(), button == 1 ? 1 : 0);
    QCOMPARE(two.count(), button == 2 ? 1 : 0);
}

void TestInstallerView::buttonTexts()
{
    InstallerView view;
    view.show();
    view.setButtonTexts(QString(), QStringLiteral("Retry"));
    QVERIFY(view.form().button1->isHidden());
    QVERIFY(!view.form().button2->isHidden());
    QCOMPARE(view.form().button2->text(), QStringLiteral("Retry"));
    view.setButtonsVisible(false);
    view.setButtonTexts(QStringLiteral("A"), QStringLiteral("B"));
    QVERIFY(view.form().button1->isHidden()); // a text does not show a hidden button
    view.setButtonsVisible(true);
    view.disableButtons();
    QVERIFY(!view.form().button1->isEnabled() && !view.form().button2->isEnabled());
    view.enableButtons();
    QVERIFY(view.form().button1->isEnabled() && view.form().button2->isEnabled());
}

void TestInstallerView::outputKeepsLinesInOrder()
{
    InstallerView view;
    view.appendOutput(QStringLiteral("one"));
    view.appendOutput(QStringLiteral("two"));
    view.appendOutput(QStringLiteral("three"));
    QCOMPARE(view.form().txtOutput->toPlainText(), QStringLiteral("one\ntwo\nthree"));
    QCOMPARE(view.form().txtOutput->document()->blockCount(), 3);
    view.clearOutput();
    QCOMPARE(view.form().txtOutput->toPlainText(), QString());
}

QTEST_MAIN(TestInstallerView)
#include "tst_installerview.moc"
