#pragma once
// Reads the column "value" of one row of the table "user" in the administrator settings
// database. Each loadValue opens the connection "Administrator_setting" through the
// IDBConnection it was given, reads the row with a UserItemReader, releases every
// handle, and closes and removes the connection again.

#include "imenuitemrepository.h"

#include <QObject>
#include <QVariant>

class IDBConnection;

class UserMenuItemRepository : public QObject, public IMenuItemRepository
{
    Q_OBJECT
    Q_INTERFACES(IMenuItemRepository)

public:
    // The connection is not owned; it must outlive the repository (give both one parent).
    UserMenuItemRepository(QObject *parent, IDBConnection *connection);

    QVariant loadValue(int id) override;

private:
    IDBConnection *dbConnection = nullptr;
};
