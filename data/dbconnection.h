#pragma once
// Named SQL connections kept in Qt's process-wide connection registry. The object
// holds only the driver and the connection name; getDatabase registers and opens a
// connection, closeDatabase (and the destructor, for its own name) closes and removes it.

#include "idbconnection.h"

#include <QObject>
#include <QSqlDatabase>
#include <QString>

class DBConnection : public QObject, public IDBConnection
{
    Q_OBJECT
    Q_INTERFACES(IDBConnection)

public:
    DBConnection(QObject *parent, const QString &driver, const QString &name);
    ~DBConnection() override;

    QSqlDatabase getDatabase(const QString &databaseName, const QString &name) override;
    void closeDatabase(const QString &name) override;

private:
    bool openDatabase(const QString &databaseName, const QString &name);

    QString driverName;
    QString connectionName;
};
