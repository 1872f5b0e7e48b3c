#include "dbconnection.h"

#include "devicefiles.h"

#include <QDebug>
#include <QUrl>

namespace {

const QString sqliteDriver = QLatin1String(corvane::device::sqlDriver);

// SQLite creates a missing database file when it opens one. A read must never leave an
// empty settings database behind, so an SQLite file is opened as a URI with mode=rw:
// read and write as before (SQLite may still roll back a journal left by a power cut),
// but no create. Names that are already URIs or in-memory databases are left alone.
QString sqliteOpenName(const QString &databaseName)
{
    if (databaseName.isEmpty() || databaseName == QLatin1String(":memory:")
        || databaseName.startsWith(QLatin1String("file:")))
        return databaseName;
    // Every byte that SQLite's URI parser would read as syntax ('?', '#', '%') is escaped.
    return QLatin1String("file:") + QString::fromLatin1(QUrl::toPercentEncoding(databaseName, "/"))
        + QLatin1String("?mode=rw");
}

} // namespace

DBConnection::DBConnection(QObject *parent, const QString &driver, const QString &name)
    : QObject(parent)
{
    if (!QSqlDatabase::isDriverAvailable(driver))
        qDebug() << QStringLiteral("DB Driver fehlt: %1").arg(driver);
    driverName = driver;
    connectionName = name;
}

DBConnection::~DBConnection()
{
    closeDatabase(connectionName);
}

QSqlDatabase DBConnection::getDatabase(const QString &databaseName, const QString &name)
{
    openDatabase(databaseName, name);
    // openDatabase has already tried to open it; asking Qt to open again would only
    // repeat a failed open and add a warning of its own.
    return QSqlDatabase::database(name, false);
}

void DBConnection::closeDatabase(const QString &name)
{
    if (!QSqlDatabase::contains(name))
        return;
    {
        // Not opened on the way: closing must not create a fresh open handle.
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isOpen())
            db.close();
    } // our handle is gone before the connection is removed
    QSqlDatabase::removeDatabase(name);
}

bool DBConnection::openDatabase(const QString &databaseName, const QString &name)
{
    // The connection of that name is replaced. Removing it first spares the registry's
    // "duplicate connection name" warning; the outcome is the same new connection.
    closeDatabase(name);
    QSqlDatabase db = QSqlDatabase::addDatabase(driverName, name);
    if (!db.isValid()) {
        qDebug() << "Failed to open Db Connection. Driver: " << driverName;
        return false;
    }
    const bool sqlite = driverName == sqliteDriver;
    if (sqlite)
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    db.setDatabaseName(sqlite ? sqliteOpenName(databaseName) : databaseName);
    db.setUserName(QString());
    db.setHostName(QString());
    db.setPassword(QString());
    return db.open();
}
