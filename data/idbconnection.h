#pragma once
// Access to named connections of Qt's SQL module. Callers ask for a connection by
// database name and connection name, run their queries on the returned handle, let go
// of every handle and query, and then close the connection by its name.

#include <QObject>
#include <QSqlDatabase>
#include <QString>

class IDBConnection
{
public:
    virtual ~IDBConnection() = default;

    // Opens (or reopens) the connection of that name on the database and returns it.
    // A handle that is not valid or not open tells the caller that it failed.
    virtual QSqlDatabase getDatabase(const QString &databaseName, const QString &connectionName)
        = 0;

    // Closes the connection and removes it from the registry; an unknown name is ignored.
    // Every handle and query of that connection must be released before this call.
    virtual void closeDatabase(const QString &connectionName) = 0;
};

// The interface id is the class name, so qobject_cast works and qt_metacast answers
// exactly "IDBConnection".
Q_DECLARE_INTERFACE(IDBConnection, "IDBConnection")
