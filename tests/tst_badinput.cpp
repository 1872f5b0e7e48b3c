// Bad input met on a device in the field: locked or read-only databases, odd update
// contents, a target disk that fills up, a log that cannot be written, and a stick that
// turns into a file or is pulled during the installation. Each has a defined outcome and
// a log line, and none stops the run.

#include "devicefiles.h"
#include "fileinstaller.h"
#include "fileutils.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTextBrowser>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kSuccess = QStringLiteral("Update was successful. Remove stick to start Corvane.");
const QString kFailure
    = QStringLiteral("Update was not successful. Remove stick to start Corvane.");

QStringList logFilesBelow(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName() == QLatin1String("log.txt"))
            found << QDir(root).relativeFilePath(it.filePath());
    }
    return found;
}

QByteArray hashOf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
}

// A sqlite3 process that holds an exclusive transaction on a database for the given
// time, whatever the test thread is doing meanwhile, or until the object ends.
class DatabaseLock
{
public:
    bool lock(const QString &database, int ms = 600000)
    {
        m_process.start(QStringLiteral(CORVANE_PYTHON3),
                        {QStringLiteral("-c"),
                         QStringLiteral("import sqlite3, sys, time\n"
                                        "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                        "db.execute('BEGIN EXCLUSIVE')\n"
                                        "print('locked', flush=True)\n"
                                        "time.sleep(float(sys.argv[2]))\n"
                                        "db.execute('COMMIT')\n"),
                         database, QString::number(ms / 1000.0)});
        QElapsedTimer timer;
        timer.start();
        while (!m_output.contains("locked") && m_process.state() != QProcess::NotRunning
               && timer.elapsed() < 5000) {
            m_process.waitForReadyRead(100);
            m_output += m_process.readAllStandardOutput();
        }
        return m_output.contains("locked");
    }
    ~DatabaseLock()
    {
        m_process.kill(); // the lock ends with the process
        m_process.waitForFinished(3000);
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

// One whole run in the process; a password page is cancelled and remembered.
struct Run : WholeRun
{
    explicit Run(const DeviceTree &tree)
        : WholeRun(tree, CancelPasswordPage)
    {
    }
};

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT

private slots:
    void databases_data();
    void databases();
    void settingsReadDecidesOnce_data();
    void settingsReadDecidesOnce();
    void updateContents_data();
    void updateContents();
    void failedUpdateChangesNothing_data();
    void failedUpdateChangesNothing();
    void everyConflictIsLogged();
    void logCannotBeWritten_data();
    void logCannotBeWritten();
    void stickFolderTurnsIntoAFile();
    void stickPulledDuringInstallation();
};

void TestBadInput::databases_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("pageShown");
    QTest::addColumn<QString>("serviceCode");
    QTest::addColumn<QString>("logLine");
    const QString admin = QLatin1String(corvane::device::adminDatabase);
    const QString system = QLatin1String(corvane::device::systemDatabase);
    // A settings database that cannot be read may hold a password: the page is shown
    // and only the service code opens it (after SQLite's busy wait when locked). A
    // readable database without the item passes without asking.
    QTest::newRow("settings locked") << admin << "locked" << true << "8581"
                                     << "Admin-DB not readable.";
    QTest::newRow("settings not a database") << admin << "garbage" << true << "8581"
                                             << "Admin-DB not readable.";
    QTest::newRow("settings without the item") << admin << "no item" << false << "8581"
                                               << "Error LOAD DB";
    QTest::newRow("settings read-only") << admin << "immutable" << true << "8581" << QString();
    QTest::newRow("settings in read-only folder")
        << admin << "immutable folder" << true << "8581" << QString();
    QTest::newRow("system locked")
        << system << "locked" << true << QString() << "System-DB query not executable.";
    QTest::newRow("system read-only") << system << "immutable" << true << "8581" << QString();
    QTest::newRow("system in read-only folder")
        << system << "immutable folder" << true << "8581" << QString();
}

void TestBadInput::databases()
{
    QFETCH(QString, database);
    QFETCH(QString, fault);
    QFETCH(bool, pageShown);
    QFETCH(QString, serviceCode);
    QFETCH(QString, logLine);
    DeviceTree tree({"--password", "Geheim-1", "--serial", "1234567"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString file = tree.path(database);
    DatabaseLock lock;
    if (fault == "locked")
        QVERIFY2(lock.lock(file), "sqlite3 did not take the lock");
    if (fault == "immutable" && !setImmutable(file, true))
        QSKIP("the file system does not support the immutable attribute");
    if (fault == "immutable folder" && !setImmutable(QFileInfo(file).absolutePath(), true))
        QSKIP("the file system does not support the immutable attribute");
    if (fault == "garbage") {
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk += char((i * 131 + 7) % 251);
        QVERIFY(tree.write(database, junk));
    }
    if (fault == "no item") {
        QProcess sqlite;
        sqlite.start("sqlite3", {file, "delete from user where id = 3;"});
        QVERIFY(sqlite.waitForFinished(10000) && sqlite.exitCode() == 0);
    }
    const QByteArray before = hashOf(file);

    LogToDevice log(tree);
    Run run(tree);
    run.manager.onStartup();
    setImmutable(file, false);
    setImmutable(QFileInfo(file).absolutePath(), false);

    QCOMPARE(run.pageShown, pageShown);
    QCOMPARE(run.manager.serviceCode(), serviceCode);
    const bool readable
        = database.contains("Vane_System") || (fault != "locked" && fault != "garbage");
    if (pageShown)
        QCOMPARE(run.manager.adminPassword(), readable ? QStringLiteral("Geheim-1") : QString());
    QCOMPARE(run.manager.isAcceptedEntry(QString()), false);
    // Only the page stops an installation; without it the update goes in.
    QCOMPARE(tree.exists("/FlashDisk/Corvane_Installer/Corvane"), false);
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt") == "Corvane 2.4.1\n", !pageShown);
    QCOMPARE(run.manager.currentState(), int(InstallerViewManager::WaitStickRemoval));
    const QString text = tree.logLines().join('\n');
    if (!logLine.isEmpty())
        QVERIFY2(text.contains(logLine), qPrintable(text));
    QVERIFY2(!text.contains("System-DB not"), qPrintable(text));
    QVERIFY2(text.contains("Admin-DB not readable.") == !readable, qPrintable(text));
    QCOMPARE(hashOf(file), before); // reading never changes a database
    if (fault != "locked")
        QVERIFY(!tree.exists(database + "-journal"));
}

void TestBadInput::settingsReadDecidesOnce_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("argument"); // lock time in ms, or the damaged page
    QTest::addColumn<bool>("pageShown");
    // Held by another process around SQLite's 5 s busy wait: the read waits, and if
    // the lock outlasts the wait the password is unknown, but the page is shown always.
    for (int ms : {0, 3000, 5500, 7000, 12000})
        QTest::addRow("locked for %d ms", ms) << "lock" << ms << true;
    QTest::newRow("page 1 overwritten") << "page" << 1 << true;
    QTest::newRow("page 2 overwritten (the user table)") << "page" << 2 << true;
    QTest::newRow("cut after page 1") << "cut" << 1 << true;
    // A readable database without the item holds no password.
    QTest::newRow("no user table") << "sql" << 0 << false;
    QTest::newRow("no id column") << "sql" << 1 << false;
    // A value that decrypts to the empty password is no password.
    QTest::newRow("empty password stored") << "empty password" << 0 << false;
}

void TestBadInput::settingsReadDecidesOnce()
{
    QFETCH(QString, fault);
    QFETCH(int, argument);
    QFETCH(bool, pageShown);
    QStringList options{"--password", "Geheim-1", "--serial", "1234567"};
    if (fault == "empty password") {
        QProcess encrypt;
        encrypt.start(QStringLiteral(CORVANE_ENCRYPT_EXE), QStringList());
        encrypt.write("\n");
        encrypt.closeWriteChannel();
        QVERIFY(encrypt.waitForFinished(10000) && encrypt.exitCode() == 0);
        options = QStringList{"--stored-value", QString::fromLatin1(encrypt.readAll().trimmed()),
                              "--serial", "1234567"};
    }
    DeviceTree tree(options);
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString database = QLatin1String(corvane::device::adminDatabase);
    const QString file = tree.path(database);
    QByteArray bytes = tree.read(database);
    const int pageSize = (uchar(bytes[16]) << 8) | uchar(bytes[17]);
    if (fault == "page") {
        QVERIFY(bytes.size() >= qsizetype(argument) * pageSize);
        bytes.replace(qsizetype(argument - 1) * pageSize, pageSize,
                      QByteArray(pageSize, char(0xFF)));
        QVERIFY(tree.write(database, bytes));
    } else if (fault == "cut") {
        QVERIFY(tree.write(database, bytes.left(qsizetype(argument) * pageSize)));
    } else if (fault == "sql") {
        const char *script[] = {"alter table user rename to other;",
                                "create table t(value text); insert into t select value from user; "
                                "drop table user; alter table t rename to user;"};
        QProcess sqlite;
        sqlite.start("sqlite3", {file, QString::fromLatin1(script[argument])});
        QVERIFY(sqlite.waitForFinished(10000) && sqlite.exitCode() == 0);
    }
    DatabaseLock lock;
    if (fault == "lock")
        QVERIFY2(lock.lock(file, argument), "sqlite3 did not take the lock");

    LogToDevice log(tree);
    Run run(tree);
    run.manager.onStartup();

    QCOMPARE(run.pageShown, pageShown);
    QCOMPARE(run.question(),
             pageShown ? QStringLiteral("Nothing done. Remove stick to start Corvane.") : kSuccess);
    const QStringList lines = tree.logLines();
    // The password is either read as it is or unknown, and then the read says so.
    const QString password = run.manager.adminPassword();
    if (pageShown) {
        QVERIFY2(password == "Geheim-1" || password.isEmpty(), qPrintable(password));
        QCOMPARE(lines.contains("Admin-DB not readable."), password.isEmpty());
    }
    // Read within the busy wait, or unknown; at 5.5 s either may happen on a busy machine.
    if (fault == "lock" && argument < 5000)
        QCOMPARE(password, QStringLiteral("Geheim-1"));
    else if (pageShown && (fault != "lock" || argument >= 7000))
        QCOMPARE(password, QString());
    QCOMPARE(run.manager.serviceCode(), QStringLiteral("8581"));
}

void TestBadInput::updateContents_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("status");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("spaces and non-ASCII names") << "names" << true << QString();
    QTest::newRow("255-byte names") << "long names" << true << QString();
    QTest::newRow("60 levels deep") << "deep" << true << QString();
    QTest::newRow("empty folder") << "empty folder" << true << QString();
    QTest::newRow("link out of the update") << "link outside" << true << QString();
    QTest::newRow("link loop") << "link loop" << true << QString();
}

void TestBadInput::updateContents()
{
    QFETCH(QString, kind);
    QFETCH(bool, status);
    QFETCH(QString, logLine);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    const QString update = tree.path("/FlashDisk/Corvane_Installer/Corvane");
    const QString installed = tree.path("/FlashDisk/Corvane");
    QStringList expectedFiles; // relative to the application folder, with their content
    auto add = [&](const QString &rel, const QByteArray &content) {
        QVERIFY(QDir().mkpath(QFileInfo(update + '/' + rel).absolutePath()));
        QFile f(update + '/' + rel);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        expectedFiles << rel;
    };
    if (kind == "names") {
        add("lang/neue Sprache äöü ß €.qm", "umlauts");
        add("日本語/テスト ファイル.txt", "japanese");
        add(" leading and trailing blank ", "blanks");
    } else if (kind == "long names") {
        add(QString(255, 'n'), "ascii 255");
        add(QString(127, QChar(0xe4)) + 'x', "two-byte 255");
        QCOMPARE(QFile::encodeName(expectedFiles.last()).size(), 255);
    } else if (kind == "deep") {
        QStringList levels;
        for (int i = 0; i < 60; ++i)
            levels << QStringLiteral("level%1").arg(i);
        add(levels.join('/') + "/bottom.dat", "deep down");
    } else if (kind == "empty folder") {
        QVERIFY(QDir().mkpath(update + "/cache/empty"));
    } else if (kind == "link outside") {
        QVERIFY(tree.write("/outside/secret.txt", "not part of the update"));
        QVERIFY(QFile::link(tree.path("/outside"), update + "/escape"));
    } else if (kind == "link loop") {
        QVERIFY(QFile::link("loop-b", update + "/loop-a"));
        QVERIFY(QFile::link("loop-a", update + "/loop-b"));
    }

    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    const bool result = installer.installUpdate();

    QCOMPARE(result, status);
    const QString text = LogToDevice::messages().join('\n');
    QVERIFY(text.contains(status ? "Status:  true" : "Status:  false"));
    if (!logLine.isEmpty())
        QVERIFY2(text.contains(logLine), qPrintable(text));
    for (const QString &rel : expectedFiles)
        QCOMPARE(hashOf(installed + '/' + rel), hashOf(update + '/' + rel));
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.4.1\n"));
    installer.finishCleanUp();
    QVERIFY(tree.leftovers().isEmpty());
    if (kind == "empty folder")
        QVERIFY(QFileInfo(installed + "/cache/empty").isDir());
    if (kind == "link outside") {
        QCOMPARE(QFileInfo(installed + "/escape").symLinkTarget(), tree.path("/outside"));
        QCOMPARE(tree.listTree("/outside"), QStringList{"secret.txt"});
    }
    if (kind == "link loop") {
        QVERIFY(QFileInfo(installed + "/loop-a").isSymLink());
        QVERIFY(QFileInfo(installed + "/loop-b").isSymLink());
    }
}

void TestBadInput::failedUpdateChangesNothing_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("paneLine");
    QTest::newRow("flash disk too full") << "full"
                                         << "Not enough space to install the update: "
                                         << "Not enough space on the flash disk";
    QTest::newRow("installed folder where the update has a file")
        << "folder"
        << "a folder, where the update puts a file: "
        << "A folder is in the way of the update: Corvane/readme.txt";
    QTest::newRow("installed file where the update has a folder")
        << "file"
        << "not a folder, where the update puts one: "
        << "A file is in the way of an update folder: System/drivers";
    QTest::newRow("named pipe in the update")
        << "fifo"
        << "neither file, folder nor link: "
        << "Not a file, folder or link in the update: Corvane_Installer/Corvane/pipe";
    QTest::newRow("update file that cannot be read")
        << "unreadable"
        << "opening of"
        << "Cannot read Corvane_Installer/System/boot.cfg: Permission denied";
    // A large file is copied on a thread of its own while the rest is staged.
    QTest::newRow("large file that cannot be written")
        << "fsize"
        << "copy of"
        << "Cannot write Corvane_Installer/System/firmware.bin: File too large";
    // The system folder is switched first; the failure in the application folder undoes it.
    QTest::newRow("installed file that cannot be replaced")
        << "immutable"
        << "the switch failed and was undone"
        << "Cannot write Corvane/lang/de.qm: Operation not permitted";
}

void TestBadInput::failedUpdateChangesNothing()
{
    QFETCH(QString, fault);
    QFETCH(QString, logLine);
    QFETCH(QString, paneLine);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    SmallDisk disk;
    if (fault == "full") {
        // The whole flash disk on 8 MB, with less free than the update's system part needs.
        const QString flash = tree.path("/FlashDisk"), aside = tree.path("/FlashDisk-aside");
        QVERIFY(QDir().rename(flash, aside) && QDir().mkpath(flash));
        if (!disk.mount(flash, "8m"))
            QSKIP("this machine does not allow mounting a small file system");
        QProcess copy;
        copy.start("cp", {"-a", aside + "/.", flash});
        QVERIFY(copy.waitForFinished(10000) && copy.exitCode() == 0);
        QVERIFY(tree.write("/FlashDisk/Corvane_Installer/System/firmware.bin",
                           QByteArray(3 << 20, 'f')));
        QVERIFY(tree.write("/FlashDisk/other-data.bin", QByteArray(3 << 20, 'o')));
    } else if (fault == "folder") {
        QVERIFY(QFile::remove(tree.path("/FlashDisk/Corvane/readme.txt")));
        QVERIFY(QDir().mkpath(tree.path("/FlashDisk/Corvane/readme.txt/old notes")));
    } else if (fault == "file") {
        QVERIFY(QDir(tree.path("/FlashDisk/System/drivers")).removeRecursively());
        QVERIFY(tree.write("/FlashDisk/System/drivers", "a file"));
    } else if (fault == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(tree.path("/FlashDisk/Corvane_Installer/Corvane/pipe"))
                              .constData(),
                          0644),
                 0);
    } else if (fault == "fsize") {
        QVERIFY(tree.write("/FlashDisk/Corvane_Installer/System/firmware.bin",
                           QByteArray(6 << 20, 'f')));
    } else if (fault == "unreadable") {
        QVERIFY(QFile::setPermissions(tree.path("/FlashDisk/Corvane_Installer/System/boot.cfg"),
                                      QFileDevice::Permissions()));
    } else if (fault == "immutable"
               && !setImmutable(tree.path("/FlashDisk/Corvane/lang/de.qm"), true)) {
        QSKIP("the file system does not support the immutable attribute");
    }
    // Found before the clean-up, a failure deletes nothing: lists, pending remote commands
    // and backups stay. Only a switch that fails comes after it.
    const bool cleared = fault == "immutable";
    if (cleared) {
        QVERIFY(QDir(tree.path("/FlashDisk/Corvane/list")).removeRecursively());
        for (const char *xml :
             {"remotecmd/pending.xml", "system/terminal.xml", "system/display.xml"})
            QVERIFY(QFile::remove(tree.path("/FlashDisk/Corvane/") + xml));
    }
    const auto system = fingerprint(tree.path("/FlashDisk/System"));
    const auto app = fingerprint(tree.path("/FlashDisk/Corvane"));
    const auto backup = fingerprint(tree.path("/FlashDisk/Corvane_Backup"));

    LogToDevice log(tree);
    Run run(tree);
    if (fault == "unreadable") {
        WithoutReadOverride drop;
        if (!drop.ok())
            QSKIP("the process cannot drop its right to read any file");
        run.manager.onStartup();
    } else if (fault == "fsize") {
        // No file of this process may grow past 5 MB: the copy of the 6 MB one fails.
        struct rlimit before;
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &before), 0);
        const struct rlimit limit = {5 << 20, before.rlim_max};
        const auto previous = ::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        run.manager.onStartup();
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &before), 0);
        ::signal(SIGXFSZ, previous);
    } else {
        run.manager.onStartup();
    }
    setImmutable(tree.path("/FlashDisk/Corvane/lang/de.qm"), false);

    QCOMPARE(run.question(), kFailure);
    QCOMPARE(run.output(), QStringList({"Installing update to Corvane...", paneLine, "Failed."}));
    const QStringList lines = tree.logLines();
    QCOMPARE(lines.filter(logLine).size(), 1);
    QVERIFY(lines.contains("Status:  false"));
    QCOMPARE(fingerprint(tree.path("/FlashDisk/System")), system);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane")), app);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/Corvane_Backup")) == backup, !cleared);
    QVERIFY(tree.leftovers().isEmpty());
    // As after every run, the update's application folder is gone and the system part stays.
    QVERIFY(!tree.exists("/FlashDisk/Corvane_Installer/Corvane"));
    QVERIFY(tree.exists("/FlashDisk/Corvane_Installer/System/boot.cfg"));
}

void TestBadInput::everyConflictIsLogged()
{
    // Used to lose every later file of a batch after the first conflict, without a word.
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    QStringList blocked;
    for (int i = 0; i < 300; ++i) {
        const QString rel = QStringLiteral("/data/f%1.bin").arg(i, 3, 10, QLatin1Char('0'));
        QVERIFY(tree.write("/FlashDisk/Corvane_Installer/System" + rel, "new"));
        if (i % 37 == 5) {
            QVERIFY(QDir().mkpath(tree.path("/FlashDisk/System" + rel)));
            blocked << tree.path("/FlashDisk/System" + rel);
        }
    }
    const auto before = fingerprint(tree.path("/FlashDisk/System"));
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    QVERIFY(!installer.installUpdate());
    const QStringList lines = tree.logLines();
    QCOMPARE(blocked.size(), 8);
    for (const QString &path : blocked)
        QCOMPARE(lines.count("Update: a folder, where the update puts a file: \"" + path + "\""),
                 1);
    QCOMPARE(fingerprint(tree.path("/FlashDisk/System")), before);
}

void TestBadInput::logCannotBeWritten_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("immutable log file") << "immutable";
    QTest::newRow("folder named log.txt") << "folder";
    QTest::newRow("stick folder is a file") << "stick file";
    // Opening a pipe without a reader for writing would wait for one for ever.
    QTest::newRow("named pipe as log.txt") << "fifo";
    // Never written through a link, nor into a pipe that has a reader.
    QTest::newRow("log.txt links to a file of the flash disk") << "file link";
    QTest::newRow("stick folder links to the system folder") << "folder link";
    QTest::newRow("named pipe with a reader as log.txt") << "fifo with reader";
}

void TestBadInput::logCannotBeWritten()
{
    QFETCH(QString, obstacle);
    DeviceTree tree;
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    if (obstacle == "immutable") {
        QVERIFY(tree.write("/USB HD/Corvane_Installer/log.txt", "earlier run\n"));
        if (!setImmutable(tree.logPath(), true))
            QSKIP("the file system does not support the immutable attribute");
    } else if (obstacle == "folder") {
        QVERIFY(QDir().mkpath(tree.logPath()));
    } else if (obstacle == "fifo" || obstacle == "fifo with reader") {
        QCOMPARE(::mkfifo(QFile::encodeName(tree.logPath()).constData(), 0644), 0);
    } else if (obstacle == "file link") {
        QVERIFY(QFile::link("../../FlashDisk/System/boot.cfg", tree.logPath()));
    } else if (obstacle == "folder link") {
        QVERIFY(QDir(tree.path("/USB HD/Corvane_Installer")).removeRecursively());
        QVERIFY(QFile::link("../FlashDisk/System", tree.path("/USB HD/Corvane_Installer")));
    } else {
        QVERIFY(QDir(tree.path("/USB HD/Corvane_Installer")).removeRecursively());
        QVERIFY(tree.write("/USB HD/Corvane_Installer", "a file where the stick folder was"));
    }

    const int reader = obstacle == "fifo with reader"
        ? ::open(QFile::encodeName(tree.logPath()).constData(), O_RDONLY | O_NONBLOCK)
        : -1;

    LogToDevice log(tree);
    Run run(tree);
    run.manager.onStartup();
    setImmutable(tree.logPath(), false);
    if (reader >= 0) {
        char buffer[64];
        QCOMPARE(::read(reader, buffer, sizeof buffer), ssize_t(0)); // nothing came through
        ::close(reader);
    }
    // The update replaced boot.cfg; nothing was appended to it, before or after.
    QCOMPARE(tree.read("/FlashDisk/System/boot.cfg"), QByteArray("boot 2.4.1\n"));

    QCOMPARE(run.question(), kSuccess);
    QVERIFY(LogToDevice::messages().contains("Status:  true"));
    if (obstacle == "immutable")
        QCOMPARE(tree.read("/USB HD/Corvane_Installer/log.txt"), QByteArray("earlier run\n"));
    if (obstacle == "folder")
        QVERIFY(QFileInfo(tree.logPath()).isDir());
    if (obstacle == "stick file")
        QCOMPARE(tree.read("/USB HD/Corvane_Installer"),
                 QByteArray("a file where the stick folder was"));
    if (obstacle == "fifo") {
        struct stat st;
        QVERIFY(::lstat(QFile::encodeName(tree.logPath()).constData(), &st) == 0
                && S_ISFIFO(st.st_mode));
    }
    const QStringList logs = logFilesBelow(tree.root());
    QCOMPARE(logs,
             obstacle == "stick file" || obstacle == "folder link"
                 ? QStringList()
                 : QStringList{"USB HD/Corvane_Installer/log.txt"});
}

void TestBadInput::stickFolderTurnsIntoAFile()
{
    DeviceTree tree({"--no-update"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    FileInstaller installer(nullptr, tree.device());
    QSignalSpy removed(&installer, &FileInstaller::notifyStickRemoved);
    installer.startStickWatch();
    QTest::qWait(250);
    QCOMPARE(removed.count(), 0);
    QVERIFY(QDir(tree.path("/USB HD/Corvane_Installer")).removeRecursively());
    QVERIFY(tree.write("/USB HD/Corvane_Installer", "not a folder"));
    QVERIFY(removed.wait(1000));
    QTest::qWait(250);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(LogToDevice::messages().count("Stick removed signal"), 1);
    QCOMPARE(tree.read("/USB HD/Corvane_Installer"), QByteArray("not a folder"));
}

void TestBadInput::stickPulledDuringInstallation()
{
    DeviceTree tree({"--big-file", "8"});
    QVERIFY2(tree.ok(), qPrintable(tree.errorText()));
    LogToDevice log(tree);
    Run run(tree);
    QSignalSpy removed(&run.installer, &FileInstaller::notifyStickRemoved);
    // Pulled as the copy begins: everything after this line has nowhere to go.
    QObject::connect(&run.installer, &FileInstaller::NotifyWriteLine, &run.view,
                     [&](const QString &line) {
                         if (line == "Installing update to Corvane...")
                             QVERIFY(tree.pullStick());
                     });
    run.manager.onStartup();

    QCOMPARE(run.question(), kSuccess);
    QCOMPARE(tree.read("/FlashDisk/Corvane/readme.txt"), QByteArray("Corvane 2.4.1\n"));
    QCOMPARE(QFileInfo(tree.path("/FlashDisk/Corvane/media/intro.mpg")).size(), 8 * 1024 * 1024);
    const QStringList messages = LogToDevice::messages();
    QVERIFY(messages.contains("Status:  true"));
    // The stick's log ends where the stick was pulled; nothing is written elsewhere.
    const QStringList onStick = tree.logLines();
    QVERIFY(!onStick.isEmpty());
    QVERIFY(!onStick.contains("Status:  true"));
    QCOMPARE(logFilesBelow(tree.root()), QStringList{"pulled-stick/log.txt"});
    QVERIFY(!tree.exists("/USB HD/Corvane_Installer"));

    // The first poll after the result screen sees the stick gone: once the 100 ms are
    // due, one pass of the event loop runs exactly one poll.
    QCOMPARE(removed.count(), 0);
    QTest::qSleep(150);
    QCoreApplication::processEvents();
    QCOMPARE(removed.count(), 1);
    QTest::qWait(250);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(LogToDevice::messages().count("Stick removed signal"), 1);
}

QTEST_MAIN(TestBadInput)
#include "tst_badinput.moc"
