// Reading one user setting from the administrator settings database of a simulated
// device: the returned variant, the log lines, and that no connection stays behind.

#include "dbconnection.h"
#include "devicefiles.h"
#include "useritem.h"
#include "useritemreader.h"
#include "usermenuitemrepository.h"

#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport.h"

namespace {

const QString adminDb = QLatin1String(corvane::device::adminDatabase);
const QString adminConnection = QLatin1String(corvane::device::adminConnection);
const QString driver = QLatin1String(corvane::device::sqlDriver);

// Runs SQL statements on a new SQLite file.
bool runSql(const QString &path, const QStringList &statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, QStringLiteral("maker"));
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString &statement : statements)
            ok = ok && q.exec(statement);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    return ok;
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

class TestUserMenuItemRepository : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loadValue_data();
    void loadValue();
    void missingDriver();
    void readsTwice();
    void readsTableWithSuffix_data();
    void readsTableWithSuffix();
    void castsToInterface();

private:
    QString hostPath() const { return m_root.path() + adminDb; }

    QTemporaryDir m_root;
};

void TestUserMenuItemRepository::init()
{
    QVERIFY(m_root.isValid());
    QVERIFY(QDir().mkpath(QFileInfo(hostPath()).absolutePath()));
    QFile::remove(hostPath());
}

void TestUserMenuItemRepository::cleanup()
{
    QCOMPARE(QSqlDatabase::connectionNames(), QStringList());
}

void TestUserMenuItemRepository::loadValue_data()
{
    QTest::addColumn<QStringList>("sql");        // makes the database when not empty
    QTest::addColumn<QByteArray>("fileContent"); // else the raw file (null: no file)
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("value");

    const QString table
        = QStringLiteral("create table user (id integer primary key, name text, value text)");
    const QByteArray noFile;
    QTest::newRow("row 3")
        << QStringList{table, "insert into user values (1, 'a', 'one')",
                       "insert into user values (3, 'Administrator', 'c2VjcmV0')"}
        << noFile << 3 << true << "c2VjcmV0";
    QTest::newRow("other id") << QStringList{table, "insert into user values (3, 'a', 'three')",
                                             "insert into user values (12, 'b', 'twelve')"}
                              << noFile << 12 << true << "twelve";
    QTest::newRow("no row 3") << QStringList{table, "insert into user values (1, 'a', 'one')"}
                              << noFile << 3 << false << QString();
    QTest::newRow("negative id") << QStringList{table, "insert into user values (1, 'a', 'one')"}
                                 << noFile << -1 << false << QString();
    QTest::newRow("no value column") << QStringList{"create table user (id integer, name text)",
                                                    "insert into user values (3, 'Administrator')"}
                                     << noFile << 3 << true << QString();
    QTest::newRow("null value") << QStringList{table,
                                               "insert into user values (3, 'Administrator', NULL)"}
                                << noFile << 3 << true << QString();
    QTest::newRow("empty value") << QStringList{table,
                                                "insert into user values (3, 'Administrator', '')"}
                                 << noFile << 3 << true << QString();
    QTest::newRow("number value")
        << QStringList{table, "insert into user values (3, 'Administrator', 1234)"} << noFile << 3
        << true << "1234";
    QTest::newRow("non-ascii value")
        << QStringList{table,
                       QStringLiteral("insert into user values (3, 'x', "
                                      "'P\u00e4ss \u20ac')")}
        << noFile << 3 << true << QStringLiteral("P\u00e4ss \u20ac");
    QTest::newRow("no user table") << QStringList{"create table other (id integer, value text)",
                                                  "insert into other values (3, 'x')"}
                                   << noFile << 3 << false << QString();
    QTest::newRow("zero length file") << QStringList() << QByteArray("") << 3 << false << QString();
    QTest::newRow("random bytes") << QStringList() << randomBytes(4096) << 3 << false << QString();
    QTest::newRow("text file") << QStringList() << QByteArray("id;value\n3;secret\n") << 3 << false
                               << QString();
    QTest::newRow("sqlite header, garbage after")
        << QStringList() << (QByteArray("SQLite format 3", 16) + randomBytes(4080)) << 3 << false
        << QString();
    QTest::newRow("missing file") << QStringList() << noFile << 3 << false << QString();
}

void TestUserMenuItemRepository::loadValue()
{
    QFETCH(QStringList, sql);
    QFETCH(QByteArray, fileContent);
    QFETCH(int, id);
    QFETCH(bool, valid);
    QFETCH(QString, value);

    if (!sql.isEmpty()) {
        QVERIFY(runSql(hostPath(), sql));
    } else if (!fileContent.isNull()) {
        QFile file(hostPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(fileContent), qint64(fileContent.size()));
    }
    const bool existed = QFile::exists(hostPath());
    const QByteArray before = existed ? [this] {
        QFile f(hostPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }() : QByteArray();

    MessageLog log;
    QVariant result;
    {
        QObject owner;
        auto *connection = new DBConnection(&owner, driver, adminConnection);
        auto *repository = new UserMenuItemRepository(&owner, connection, hostPath());
        IMenuItemRepository *items = repository;
        result = items->loadValue(id);
        // Closed by the read itself, not by the owner's end.
        QVERIFY(!QSqlDatabase::contains(adminConnection));
    }

    QCOMPARE(result.isValid(), valid);
    if (valid) {
        QCOMPARE(result.typeId(), int(QMetaType::QString));
        QCOMPARE(result.toString(), value);
        QCOMPARE(log.debugLines(), QStringList());
    } else {
        QCOMPARE(
            log.debugLines(),
            QStringList{QStringLiteral("Error LOAD DB: UserItem NOT loaded. Id:  %1").arg(id)});
    }
    // Qt warns this way when a connection is removed while a handle or query still uses it.
    for (const QString &line : log.allLines())
        QVERIFY2(!line.contains(QLatin1String("still in use")), qPrintable(line));

    // A read leaves the file as it was, and creates none.
    QCOMPARE(QFile::exists(hostPath()), existed);
    if (existed) {
        QFile f(hostPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
    }
}

void TestUserMenuItemRepository::missingDriver()
{
    QVERIFY(
        runSql(hostPath(),
               {"create table user (id integer, value text)", "insert into user values (3, 'x')"}));
    MessageLog log;
    QObject owner;
    auto *connection = new DBConnection(&owner, QStringLiteral("QNOSUCHDRIVER"), adminConnection);
    UserMenuItemRepository repository(&owner, connection, hostPath());
    QVERIFY(!repository.loadValue(3).isValid());
    QVERIFY(!QSqlDatabase::contains(adminConnection));
    QCOMPARE(
        log.debugLines(),
        (QStringList{QStringLiteral("\"DB Driver fehlt: QNOSUCHDRIVER\""),
                     QStringLiteral("Failed to open Db Connection. Driver:  \"QNOSUCHDRIVER\""),
                     QStringLiteral("Error LOAD DB: UserItem NOT loaded. Id:  3")}));
}

void TestUserMenuItemRepository::readsTwice()
{
    QVERIFY(runSql(
        hostPath(),
        {"create table user (id integer, value text)", "insert into user values (3, 'first')"}));
    MessageLog log;
    QObject owner;
    auto *connection = new DBConnection(&owner, driver, adminConnection);
    auto *repository = new UserMenuItemRepository(&owner, connection, hostPath());
    QCOMPARE(repository->loadValue(3), QVariant(QStringLiteral("first")));
    // The file is not held between reads: another writer's change is seen by the next read.
    QVERIFY(runSql(hostPath(), {"update user set value = 'second' where id = 3"}));
    QCOMPARE(repository->loadValue(3), QVariant(QStringLiteral("second")));
    QVERIFY(!QSqlDatabase::contains(adminConnection));
    QCOMPARE(log.allLines(), QStringList());
}

void TestUserMenuItemRepository::readsTableWithSuffix_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("tableName");
    QTest::addColumn<QString>("value");
    QTest::newRow("no suffix") << QString() << "user"
                               << "plain";
    QTest::newRow("suffix") << "2"
                            << "user_2"
                            << "second";
    QTest::newRow("word suffix") << "backup"
                                 << "user_backup"
                                 << "saved";
}

void TestUserMenuItemRepository::readsTableWithSuffix()
{
    QFETCH(QString, suffix);
    QFETCH(QString, tableName);
    QFETCH(QString, value);
    const QString path = m_root.filePath(QStringLiteral("suffix.db"));
    QFile::remove(path);
    QVERIFY(runSql(
        path,
        {"create table user (id integer, value text)", "insert into user values (3, 'plain')",
         "create table user_2 (id integer, value text)", "insert into user_2 values (3, 'second')",
         "create table user_backup (id integer, value text)",
         "insert into user_backup values (3, 'saved')"}));
    UserItem item(3, QString(), QStringLiteral("Administrator"), QStringLiteral("user"), suffix);
    QCOMPARE(item.tableName(), tableName);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(driver, QStringLiteral("reader"));
        db.setDatabaseName(path);
        QVERIFY(db.open());
        UserItemReader reader(db);
        QVERIFY(reader.load(item));
        QCOMPARE(item.value(), value);
        UserItem absent(4, QStringLiteral("kept"), QString(), QStringLiteral("user"), suffix);
        QVERIFY(!reader.load(absent));
        QCOMPARE(absent.value(), QStringLiteral("kept"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
}

void TestUserMenuItemRepository::castsToInterface()
{
    DBConnection connection(nullptr, driver, adminConnection);
    UserMenuItemRepository repository(nullptr, &connection, hostPath());
    QObject *object = &repository;
    IMenuItemRepository *expected = &repository;
    QCOMPARE(qobject_cast<IMenuItemRepository *>(object), expected);
    QCOMPARE(object->qt_metacast("UserMenuItemRepository"), static_cast<void *>(&repository));
    QCOMPARE(object->qt_metacast("IMenuItemRepository"), static_cast<void *>(expected));
    QCOMPARE(object->qt_metacast("IMenuItemRepository/1.0"), static_cast<void *>(expected));
    QCOMPARE(object->qt_metacast("IMenuItemRepository/2.0"), nullptr);
    QCOMPARE(object->qt_metacast("IDBConnection"), nullptr);
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()),
             QStringLiteral("UserMenuItemRepository"));
}

QTEST_GUILESS_MAIN(TestUserMenuItemRepository)
#include "tst_usermenuitemrepository.moc"
