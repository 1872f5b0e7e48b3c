#pragma once
// Reads the column "value" of one row of the table "user" in the administrator settings
// database. Each loadValue opens the connection "Administrator_setting" through the
// IDBConnection it was given, reads the row with a UserItemReader, releases every
// handle, and closes and removes the connection again.

#include "imenuitemrepository.h"
#include "useritemreader.h"

#include <QObject>
#include <QString>
#include <QVariant>

class IDBConnection;

class UserMenuItemRepository : public QObject, public IMenuItemRepository
{
    Q_OBJECT
    Q_INTERFACES(IMenuItemRepository)

public:
    // The connection is not owned; it must outlive the repository (give both one parent).
    // databaseFile: the host path of the administrator settings database (by default its
    // path on the device).
    UserMenuItemRepository(QObject *parent, IDBConnection *connection,
                           const QString &databaseFile = QString());

    QVariant loadValue(int id) override;

    // loadValue that also tells why nothing came back: the database holds no such item
    // (NotFound), or it could not be read at all (Failed), so that a caller can decide
    // from this one read.
    QVariant loadValue(int id, UserItemReader::Outcome *outcome);

private:
    IDBConnection *dbConnection = nullptr;
    QString m_databaseFile;
};
