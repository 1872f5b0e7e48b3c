// The administrator password step in whole runs: the stored password and the service
// code, the page, the refusals and the cancel. The keyboard's Enter decision is taken
// here by the test, through the view manager's accessors, as the keyboard does.

#include "devicefiles.h"
#include "fileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "testsupport.h"
#include "ui_installerview.h"

#include <QLineEdit>
#include <QSqlDatabase>
#include <QTextBrowser>
#include <QtTest>

#include <functional>

#include <unistd.h>

namespace {

const QString kSuccess = QStringLiteral("Update was successful. Remove stick to start Corvane.");
const QString kNothing = QStringLiteral("Nothing done. Remove stick to start Corvane.");

// One run whose password page is operated by a script of entries: each entry is typed
// into the page and confirmed with Enter; "<cancel>" cancels instead.
struct PasswordRun
{
    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager{nullptr, &view, &installer};
    QStringList script;
    QStringList textAfterEachEntry;
    bool pageSeen = false;
    bool pageMasked = false;
    bool mainWindowHiddenWhilePage = false;
    int pageMaxLength = 0;
    QString serviceCodeSeen;
    int showPanelSignals = 0;

    PasswordRun(const DeviceTree &tree, QStringList entries)
        : installer(nullptr, tree.device())
        , script(std::move(entries))
    {
        noteRunOn(tree.root());
        QObject::connect(&manager, &InstallerViewManager::notifyShowInputPanel, &view, [this] {
            ++showPanelSignals;
            QTimer::singleShot(0, &view, [this] { nextEntry(); });
        });
        // The keyboard's part: Enter decides, a match ends the step, a mismatch empties.
        QObject::connect(&manager, &InstallerViewManager::notifyKeyboardEnter, &view, [this] {
            if (manager.checkEntry(manager.enteredPassword())) {
                manager.setPasswordAccepted(true);
                return;
            }
            if (manager.passwordEdit())
                manager.passwordEdit()->clear();
            textAfterEachEntry << manager.enteredPassword();
            QTimer::singleShot(0, &view, [this] { nextEntry(); });
        });
    }

    void nextEntry()
    {
        QLineEdit *edit = manager.passwordEdit();
        if (!edit)
            return;
        pageSeen = edit->window()->isVisible();
        pageMasked = edit->echoMode() == QLineEdit::Password;
        pageMaxLength = edit->maxLength();
        mainWindowHiddenWhilePage = !view.isVisible();
        serviceCodeSeen = manager.serviceCode();
        if (script.isEmpty()) { // nothing left to try: give up rather than hang
            manager.cancelPassword();
            return;
        }
        const QString entry = script.takeFirst();
        if (entry == "<cancel>") {
            manager.cancelPassword();
            return;
        }
        edit->setFocus();
        for (const QChar c : entry) // any character, as the keyboard's key events carry it
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    QString question() const { return view.form().txtQuestion->text(); }
    QString output() const { return view.form().txtOutput->toPlainText(); }
};

} // namespace

class TestPasswordStep : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
    void noSettingsDatabaseMeansNoPage();
    void cancelInstallsNothing();
    void serviceCodeSources_data();
    void serviceCodeSources();
    void databasesOfOthers_data();
    void databasesOfOthers();
    void makeServiceCode_data();
    void makeServiceCode();
};

void TestPasswordStep::entries_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("refusedEntries"); // the field text after each refusal
    QTest::addColumn<bool>("installed");

    const QStringList stored{"--password", "Geheim-1", "--serial", "1234567"};
    QTest::newRow("password") << stored << QStringList{"Geheim-1"} << QStringList() << true;
    QTest::newRow("service code") << stored << QStringList{"8581"} << QStringList() << true;
    QTest::newRow("wrong, then right") << stored << QStringList{"geheim-1", "Geheim-1 ", "Geheim-1"}
                                       << QStringList{"", ""} << true;
    QTest::newRow("non-ASCII password")
        << QStringList{"--password", "Ürlaub é", "--serial", "1234567"} << QStringList{"Ürlaub é"}
        << QStringList() << true;
    // Without a system database the service code is empty: an empty entry is no code.
    QTest::newRow("empty entry, no system database")
        << QStringList{"--password", "Geheim-1"} << QStringList{"", "Geheim-1"} << QStringList{""}
        << true;
    QTest::newRow("empty entry, empty table")
        << QStringList{"--password", "Geheim-1"} << QStringList{"", "<cancel>"} << QStringList{""}
        << false;
    // A stored value that does not decrypt still asks; only the service code passes.
    QTest::newRow("undecryptable, service code")
        << QStringList{"--stored-value", "not-base64!", "--serial", "0001999"}
        << QStringList{"", "not-base64!", "-5498"} << QStringList{"", ""} << true;
    QTest::newRow("undecryptable, no code")
        << QStringList{"--stored-value", "AAAAAAAAAAAAAAAAAAAAAA=="} << QStringList{"", "<cancel>"}
        << QStringList{""} << false;
}

void TestPasswordStep::entries()
{
    QFETCH(QStringList, device);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, refusedEntries);
    QFETCH(bool, installed);
    DeviceTree tree(device);
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    PasswordRun run(tree, entries);
    run.manager.onStartup();

    QVERIFY(run.pageSeen);
    QVERIFY(run.pageMasked);
    QCOMPARE(run.pageMaxLength, 50);
    QVERIFY(run.mainWindowHiddenWhilePage);
    QCOMPARE(run.showPanelSignals, 1);
    QCOMPARE(run.textAfterEachEntry, refusedEntries);
    QVERIFY(!run.manager.passwordEdit()); // the page is gone
    QCOMPARE(run.question(), installed ? kSuccess : kNothing);
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"),
             installed ? QByteArray("boot 2.4.1\n") : QByteArray("boot 2.3.0\n"));

    const QStringList lines = tree.logLines();
    QVERIFY(lines.contains("Enter Password..."));
    QVERIFY(lines.contains(installed ? "HandleEvents: WaitPassword: Ok."
                                     : "HandleEvents: WaitPassword: Cancelled."));
    if (device.contains("--stored-value"))
        QCOMPARE(lines.count("Stored administrator password could not be decrypted."), 1);
    // No secret reaches the stick.
    const QString text = lines.join('\n');
    for (const QString &secret : device.mid(1) + entries + QStringList{run.serviceCodeSeen}) {
        if (secret.size() >= 4 && !secret.startsWith("--") && secret != "<cancel>")
            QVERIFY2(!text.contains(secret), qPrintable(secret));
    }
    QVERIFY(!text.contains("still in use"));
}

void TestPasswordStep::noSettingsDatabaseMeansNoPage()
{
    DeviceTree tree({"--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    PasswordRun run(tree, {"<cancel>"});
    run.manager.onStartup();
    QCOMPARE(run.showPanelSignals, 0);
    QVERIFY(!run.pageSeen);
    QCOMPARE(run.question(), kSuccess);
    const QStringList lines = tree.logLines();
    // Both values are read before anything is decided.
    QCOMPARE(lines.mid(1, 2),
             (QStringList{"Admin-DB not available.", "HandleEvents: WaitPassword: Ok."}));
    QVERIFY(!lines.contains("Enter Password..."));
}

void TestPasswordStep::cancelInstallsNothing()
{
    DeviceTree tree({"--password", "Geheim-1", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QStringList systemBefore = tree.listTree("/FlashDisk/System");
    LogToDevice log(tree);
    PasswordRun run(tree, {"wrong", "<cancel>"});
    run.manager.onStartup();

    QCOMPARE(run.output(), QStringLiteral("Cancelled"));
    QCOMPARE(run.question(), kNothing);
    QVERIFY(run.view.isVisible());
    QVERIFY(run.view.form().progressBar->isHidden());
    QCOMPARE(run.manager.adminPassword(), QStringLiteral("Geheim-1"));
    QCOMPARE(run.manager.serviceCode(), QStringLiteral("8581"));
    QCOMPARE(tree.listTree("/FlashDisk/System"), systemBefore);
    QVERIFY(tree.exists("/FlashDisk/Corvane/list/articles.xml"));
    // The update's application folder is removed all the same, and the stick watched.
    QVERIFY(!tree.exists("/FlashDisk/Corvane_Installer/Corvane"));
    QCOMPARE(run.manager.currentState(), int(InstallerViewManager::WaitStickRemoval));
    const QStringList lines = tree.logLines();
    QCOMPARE(lines.mid(lines.indexOf("Enter Password...")),
             (QStringList{"Enter Password...", "HandleEvents: WaitPassword: Cancelled.",
                          "delete installer directory  true"}));
    // Enter after the end of the step does nothing.
    QSignalSpy enter(&run.manager, &InstallerViewManager::notifyKeyboardEnter);
    run.manager.onEditingFinished();
    QCOMPARE(enter.count(), 0);
}

void TestPasswordStep::serviceCodeSources_data()
{
    QTest::addColumn<QString>("setup"); // sqlite3 script for the system database, or a special
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("newest by nr")
        << "create table sensor(nr integer, number text); insert into sensor values(2,'1234567'); "
           "insert into sensor values(1,'0001999');"
        << "8581" << QString();
    QTest::newRow("no table") << "create table other(x);" << QString()
                              << "System-DB query not executable.";
    QTest::newRow("empty table") << "create table sensor(nr integer, number text);" << QString()
                                 << "System-DB record not retrievable.";
    QTest::newRow("no number column") << "create table sensor(nr integer, serial text);"
                                      << QString() << "System-DB query not executable.";
    QTest::newRow("text serial")
        << "create table sensor(nr, number); insert into sensor values(1,'abcdefg');"
        << "0000" << QString();
    QTest::newRow("NULL serial")
        << "create table sensor(nr, number); insert into sensor values(1,NULL);"
        << "0000" << QString();
    QTest::newRow("short serial")
        << "create table sensor(nr, number); insert into sensor values(1,'12');"
        << "0000" << QString();
    QTest::newRow("numeric serial")
        << "create table sensor(nr, number); insert into sensor values(1,1234567);"
        << "8581" << QString();
    QTest::newRow("not a database")
        << "<garbage>" << QString() << "System-DB query not executable.";
    QTest::newRow("zero length") << "<empty>" << QString() << "System-DB query not executable.";
    QTest::newRow("missing") << "<missing>" << QString() << "System-DB not available.";
}

void TestPasswordStep::serviceCodeSources()
{
    QFETCH(QString, setup);
    QFETCH(QString, code);
    QFETCH(QString, logLine);
    DeviceTree tree({"--password", "Geheim-1"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString db = tree.path(QLatin1String(corvane::device::systemDatabase));
    QVERIFY(QDir().mkpath(QFileInfo(db).absolutePath()));
    if (setup == "<garbage>") {
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk += char((i * 131 + 7) % 251);
        QVERIFY(tree.write(QLatin1String(corvane::device::systemDatabase), junk));
    } else if (setup == "<empty>") {
        QVERIFY(tree.write(QLatin1String(corvane::device::systemDatabase), QByteArray()));
    } else if (setup != "<missing>") {
        QProcess sqlite;
        sqlite.start("sqlite3", {db, setup});
        QVERIFY(sqlite.waitForFinished(10000));
        QCOMPARE(sqlite.exitCode(), 0);
    }
    LogToDevice log(tree);
    PasswordRun run(tree, {"<cancel>"});
    run.manager.onStartup();
    QCOMPARE(run.serviceCodeSeen, code);
    const QStringList lines = tree.logLines();
    const QStringList systemLines = lines.filter("System-DB");
    QCOMPARE(systemLines, logLine.isEmpty() ? QStringList() : QStringList{logLine});
    QVERIFY(!lines.join('\n').contains("still in use"));
    QVERIFY(!QSqlDatabase::contains(QLatin1String(corvane::device::systemConnection)));
    QVERIFY(!QSqlDatabase::contains(QLatin1String(corvane::device::adminConnection)));
}

void TestPasswordStep::databasesOfOthers_data()
{
    QTest::addColumn<QString>("script"); // run in the device's root; "user: ..." as a user
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("logPart");

    const QStringList code{"8581"}; // the service code of the serial 1234567
    const QStringList both{"Geheim-1", "8581"};
    QTest::newRow("root's") << "true" << code << true << QString();
    QTest::newRow("writable by root's group") << "chmod 664 $SYS" << code << true << QString();
    QTest::newRow("sticky flash disk") << "chmod 1777 FlashDisk" << code << true << QString();
    QTest::newRow("system database of a user")
        << "chown 65534 $SYS" << code << false << "system.db\" belongs to user 65534";
    QTest::newRow("system database others may write")
        << "chmod 666 $SYS" << code << false << "can be changed by other users (mode 0666)";
    QTest::newRow("system database of another group")
        << "chgrp 65534 $SYS; chmod 664 $SYS" << code << false << "(mode 0664)";
    QTest::newRow("system database through a link")
        << "mv $SYS $SYS.real; ln -s system.db.real $SYS" << code << false
        << "system.db\" is reached through a link";
    QTest::newRow("system folder of a user")
        << "chown 65534 FlashDisk/Vane_System" << code << false << "Vane_System\" belongs to user";
    QTest::newRow("sticky system folder")
        << "chmod 1777 FlashDisk/Vane_System" << code << false << "(mode 1777)";
    QTest::newRow("system folder a link")
        << "mv FlashDisk/Vane_System FlashDisk/vs; ln -s vs FlashDisk/Vane_System" << code << false
        << "System-DB not trusted";
    // A flash disk open to all without the sticky bit ends the program before any page
    // (tst_workfolder: unsafeFlashDiskIsRefused).
    // A settings database that cannot be trusted is one that cannot be read: only the
    // service code opens the page.
    QTest::newRow("settings database of a user")
        << "chown 65534 $ADMIN" << both << true << "Admin-DB not trusted";
    QTest::newRow("settings folder a link")
        << "mv FlashDisk/Corvane/data FlashDisk/d; ln -s ../d FlashDisk/Corvane/data" << both
        << true << "Admin-DB not trusted";
    // No system database on the device: a user who may write the flash disk makes one
    // with a serial of their choice.
    QTest::newRow("made by a user")
        << "rm -r FlashDisk/Vane_System; chmod 755 .; chmod 1777 FlashDisk; user: mkdir "
           "FlashDisk/Vane_System && sqlite3 $SYS \"create table sensor(nr, number); insert "
           "into sensor values(1, '1234567');\""
        << code << false << "System-DB not trusted";
}

void TestPasswordStep::databasesOfOthers()
{
    QFETCH(QString, script);
    QFETCH(QStringList, entries);
    QFETCH(bool, installed);
    QFETCH(QString, logPart);
    if (::geteuid() != 0)
        QSKIP("only root can give a file to another user");
    const QString asUser = QStringLiteral("setpriv --reuid=65534 --regid=65534 --clear-groups ");
    if (script.contains("user:") && runShell(QDir::rootPath(), asUser + "true") != 0)
        QSKIP("setpriv cannot run a command as user 65534 here");
    DeviceTree tree({"--password", "Geheim-1", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString user = script.section(QStringLiteral("user: "), 1);
    const QString root = script.section(QStringLiteral("; user: "), 0, 0);
    const QStringList environment{"SYS=FlashDisk/Vane_System/system.db",
                                  "ADMIN=FlashDisk/Corvane/data/Administrator_setting.db"};
    QCOMPARE(runShell(tree.root(), root, environment), 0);
    if (!user.isEmpty())
        QCOMPARE(runShell(tree.root(), asUser + "sh -ec \"$AS_USER\"",
                          environment + QStringList{"AS_USER=" + user}),
                 0);
    LogToDevice log(tree);
    PasswordRun run(tree, entries);
    run.manager.onStartup();

    QCOMPARE(run.question(), installed ? kSuccess : kNothing);
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"),
             installed ? QByteArray("boot 2.4.1\n") : QByteArray("boot 2.3.0\n"));
    // Only the service code opens a page whose password is not known.
    QCOMPARE(run.textAfterEachEntry.size(), entries.size() - (installed ? 1 : 0));
    const QString text = tree.logLines().join('\n');
    QVERIFY2(text.contains(logPart), qPrintable(text));
}

void TestPasswordStep::makeServiceCode_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("code");
    QTest::newRow("example") << "1234567"
                             << "8581";
    QTest::newRow("negative") << "0001999"
                              << "-5498";
    QTest::newRow("empty is seven zeros") << ""
                                          << "0000";
    QTest::newRow("seven zeros") << "0000000"
                                 << "0000";
    QTest::newRow("leading zeros kept") << "0002001"
                                        << "8271";
    QTest::newRow("short") << "99"
                           << "0000";
    QTest::newRow("five characters") << "12345"
                                     << "2375";
    QTest::newRow("non-numeric head") << "ab12999"
                                      << "-3769";
    QTest::newRow("non-numeric tail") << "1000xyz"
                                      << "6504";
    QTest::newRow("small negative") << "0000001"
                                    << "-8271";
    QTest::newRow("zero difference") << "0001001"
                                     << "0000";
    QTest::newRow("negative, padded") << "0000033"
                                      << "-079";
}

void TestPasswordStep::makeServiceCode()
{
    QFETCH(QString, serial);
    QFETCH(QString, code);
    QCOMPARE(InstallerViewManager::makeServiceCode(serial), code);
    QVERIFY(InstallerViewManager::makeServiceCode(serial).size() == 4
            || InstallerViewManager::makeServiceCode(serial).startsWith('-'));
}

QTEST_MAIN(TestPasswordStep)
#include "tst_passwordstep.moc"
