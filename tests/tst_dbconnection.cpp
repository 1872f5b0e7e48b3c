// Named SQL connections: what a caller of IDBConnection sees (open handles, queries,
// the connection registry, files on disk) and the exact log lines.

#include "dbconnection.h"
#include "devicefiles.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "testsupport.h"

#include <memory>

namespace {

// Writes an SQLite database with one table "t" holding the text `mark`.
bool makeDatabase(const QString &path, const QString &mark)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QLatin1String(corvane::device::sqlDriver),
                                                    QStringLiteral("maker"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            ok = q.exec(QStringLiteral("create table t (mark text)"))
                && q.exec(QStringLiteral("insert into t values ('%1')").arg(mark));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    return ok;
}

QString readMark(const QSqlDatabase &db, bool *ok)
{
    QSqlQuery q(db);
    *ok = q.exec(QStringLiteral("select mark from t")) && q.next();
    return *ok ? q.value(0).toString() : QString();
}

} // namespace

class TestDBConnection : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void cleanup()
    {
        // Every case must leave the registry as it found it.
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList());
    }

    void opensExistingFile_data();
    void opensExistingFile();
    void missingFileIsNotCreated();
    void missingDriver();
    void closeUnknownNameDoesNothing();
    void getDatabaseTwiceReplacesConnection();
    void destroyAfterClose();
    void destroyClosesOwnConnection();
    void closeDoesNotReopen();
    void castsToInterface();

private:
    QTemporaryDir m_dir;
};

void TestDBConnection::opensExistingFile_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::newRow("plain") << "settings.db";
    QTest::newRow("space") << "with space.db";
    QTest::newRow("uri characters") << "a?b#c%20d&e=f.db";
    QTest::newRow("non-ascii") << QStringLiteral("Einstellungen-\u00fc\u00df.db");
}

void TestDBConnection::opensExistingFile()
{
    QFETCH(QString, fileName);
    const QString path = m_dir.filePath(fileName);
    QVERIFY(makeDatabase(path, fileName));
    const QStringList before = QDir(m_dir.path()).entryList(QDir::Files);

    MessageLog log;
    {
        DBConnection connection(nullptr, QLatin1String(corvane::device::sqlDriver),
                                QStringLiteral("conn"));
        IDBConnection *db = &connection;
        {
            const QSqlDatabase handle = db->getDatabase(path, QStringLiteral("conn"));
            QVERIFY(handle.isValid());
            QVERIFY2(handle.isOpen(), qPrintable(handle.lastError().text()));
            bool ok = false;
            QCOMPARE(readMark(handle, &ok), fileName);
            QVERIFY(ok);
        }
        QVERIFY(QSqlDatabase::contains(QStringLiteral("conn")));
        db->closeDatabase(QStringLiteral("conn"));
        QVERIFY(!QSqlDatabase::contains(QStringLiteral("conn")));
    }
    QCOMPARE(log.allLines(), QStringList());
    // Opened in place: no other file appeared next to it.
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), before);
}

void TestDBConnection::missingFileIsNotCreated()
{
    const QString path = m_dir.filePath(QStringLiteral("missing/nothing here.db"));
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("missing"))));
    MessageLog log;
    {
        DBConnection connection(nullptr, QLatin1String(corvane::device::sqlDriver),
                                QStringLiteral("conn"));
        {
            const QSqlDatabase handle = connection.getDatabase(path, QStringLiteral("conn"));
            QVERIFY(handle.isValid());
            QVERIFY(!handle.isOpen());
            QSqlQuery q(handle);
            QVERIFY(!q.exec(QStringLiteral("select 1")));
        }
        connection.closeDatabase(QStringLiteral("conn"));
    }
    QVERIFY(!QFile::exists(path));
    QCOMPARE(QDir(m_dir.filePath(QStringLiteral("missing")))
                 .entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
    QCOMPARE(log.debugLines(), QStringList());
    QCOMPARE(log.matching(QStringLiteral("still in use")), QStringList());
}

void TestDBConnection::missingDriver()
{
    const QString path = m_dir.filePath(QStringLiteral("d.db"));
    QVERIFY(makeDatabase(path, QStringLiteral("x")));
    MessageLog log;
    {
        DBConnection connection(nullptr, QStringLiteral("QNOSUCHDRIVER"), QStringLiteral("conn"));
        QCOMPARE(log.debugLines(),
                 QStringList{QStringLiteral("\"DB Driver fehlt: QNOSUCHDRIVER\"")});
        for (int round = 0; round < 2; ++round) {
            {
                const QSqlDatabase handle = connection.getDatabase(path, QStringLiteral("conn"));
                QVERIFY(!handle.isValid());
                QVERIFY(!handle.isOpen());
                QSqlQuery q(handle);
                QVERIFY(!q.exec(QStringLiteral("select mark from t")));
            }
            connection.closeDatabase(QStringLiteral("conn"));
        }
    }
    const QString failed
        = QStringLiteral("Failed to open Db Connection. Driver:  \"QNOSUCHDRIVER\"");
    QCOMPARE(log.debugLines(),
             (QStringList{QStringLiteral("\"DB Driver fehlt: QNOSUCHDRIVER\""), failed, failed}));
    QCOMPARE(log.matching(QStringLiteral("still in use")), QStringList());
}

void TestDBConnection::closeUnknownNameDoesNothing()
{
    QSqlDatabase::addDatabase(QLatin1String(corvane::device::sqlDriver), QStringLiteral("other"));
    MessageLog log;
    {
        DBConnection connection(nullptr, QLatin1String(corvane::device::sqlDriver),
                                QStringLiteral("conn"));
        connection.closeDatabase(QStringLiteral("never-opened"));
        connection.closeDatabase(QStringLiteral("conn"));
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList{QStringLiteral("other")});
    }
    QCOMPARE(QSqlDatabase::connectionNames(), QStringList{QStringLiteral("other")});
    QCOMPARE(log.allLines(), QStringList());
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
}

void TestDBConnection::getDatabaseTwiceReplacesConnection()
{
    const QString first = m_dir.filePath(QStringLiteral("first.db"));
    const QString second = m_dir.filePath(QStringLiteral("second.db"));
    QVERIFY(makeDatabase(first, QStringLiteral("first")));
    QVERIFY(makeDatabase(second, QStringLiteral("second")));
    MessageLog log;
    {
        DBConnection connection(nullptr, QLatin1String(corvane::device::sqlDriver),
                                QStringLiteral("conn"));
        bool ok = false;
        QCOMPARE(readMark(connection.getDatabase(first, QStringLiteral("conn")), &ok),
                 QStringLiteral("first"));
        QVERIFY(ok);
        QCOMPARE(readMark(connection.getDatabase(second, QStringLiteral("conn")), &ok),
                 QStringLiteral("second"));
        QVERIFY(ok);
        QCOMPARE(QSqlDatabase::connectionNames(), QStringList{QStringLiteral("conn")});
        connection.closeDatabase(QStringLiteral("conn"));
    }
    // Replacing quietly: neither a duplicate-name nor a still-in-use warning.
    QCOMPARE(log.allLines(), QStringList());
}

void TestDBConnection::destroyAfterClose()
{
    const QString path = m_dir.filePath(QStringLiteral("e.db"));
    QVERIFY(makeDatabase(path, QStringLiteral("x")));
    MessageLog log;
    auto connection = std::make_unique<DBConnection>(
        nullptr, QLatin1String(corvane::device::sqlDriver), QStringLiteral("conn"));
    QVERIFY(connection->getDatabase(path, QStringLiteral("conn")).isOpen());
    connection->closeDatabase(QStringLiteral("conn"));
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("conn")));
    // The destructor closes its name only while it is registered: after the explicit
    // close it does nothing more.
    connection.reset();
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("conn")));
    QCOMPARE(log.allLines(), QStringList());
}

void TestDBConnection::destroyClosesOwnConnection()
{
    const QString path = m_dir.filePath(QStringLiteral("f.db"));
    QVERIFY(makeDatabase(path, QStringLiteral("x")));
    MessageLog log;
    {
        QObject parent;
        auto *connection = new DBConnection(&parent, QLatin1String(corvane::device::sqlDriver),
                                            QStringLiteral("conn"));
        QVERIFY(connection->getDatabase(path, QStringLiteral("conn")).isOpen());
        // A second name is the caller's to close; the parent's end closes only "conn".
        QVERIFY(connection->getDatabase(path, QStringLiteral("conn2")).isOpen());
        connection->closeDatabase(QStringLiteral("conn2"));
        QVERIFY(QSqlDatabase::contains(QStringLiteral("conn")));
    }
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("conn")));
    QCOMPARE(log.allLines(), QStringList());
}

void TestDBConnection::closeDoesNotReopen()
{
    // A connection registered but closed (its file vanished) is removed without being
    // opened again, which for SQLite would create an empty file.
    const QString path = m_dir.filePath(QStringLiteral("gone.db"));
    QVERIFY(makeDatabase(path, QStringLiteral("x")));
    MessageLog log;
    DBConnection connection(nullptr, QLatin1String(corvane::device::sqlDriver),
                            QStringLiteral("conn"));
    {
        QSqlDatabase handle = connection.getDatabase(path, QStringLiteral("conn"));
        QVERIFY(handle.isOpen());
        handle.close();
    }
    QVERIFY(QFile::remove(path));
    connection.closeDatabase(QStringLiteral("conn"));
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("conn")));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(log.allLines(), QStringList());
}

void TestDBConnection::castsToInterface()
{
    DBConnection connection(nullptr, QLatin1String(corvane::device::sqlDriver),
                            QStringLiteral("conn"));
    QObject *object = &connection;
    IDBConnection *expected = &connection;
    QCOMPARE(qobject_cast<IDBConnection *>(object), expected);
    QCOMPARE(object->qt_metacast("DBConnection"), static_cast<void *>(&connection));
    QCOMPARE(object->qt_metacast("IDBConnection"), static_cast<void *>(expected));
    QCOMPARE(object->qt_metacast("QObject"), static_cast<void *>(object));
    QCOMPARE(object->qt_metacast("IMenuItemRepository"), nullptr);
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()),
             QStringLiteral("DBConnection"));
}

QTEST_GUILESS_MAIN(TestDBConnection)
#include "tst_dbconnection.moc"
