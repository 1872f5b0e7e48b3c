#include "usermenuitemrepository.h"

#include "devicepath.h"
#include "idbconnection.h"
#include "useritem.h"
#include "useritemreader.h"

#include <QDebug>

namespace {
const QString adminDatabase = QStringLiteral("/FlashDisk/Corvane/data/Administrator_setting.db");
const QString adminConnection = QStringLiteral("Administrator_setting");
} // namespace

UserMenuItemRepository::UserMenuItemRepository(QObject *parent, IDBConnection *connection)
    : QObject(parent), dbConnection(connection)
{
}

QVariant UserMenuItemRepository::loadValue(int id)
{
    QVariant result;
    if (!dbConnection) {
        qDebug() << "Error LOAD DB: UserItem NOT loaded. Id: " << id;
        return result;
    }
    UserItem item(id, QString(), QStringLiteral("Administrator"), QStringLiteral("user"), QString());
    bool loaded = false;
    {
        // The handle and the reader's copy of it end here, before the connection is
        // removed; Qt warns and cuts off live queries when a used connection is removed.
        const QSqlDatabase db = dbConnection->getDatabase(corvane::devicePath(adminDatabase), adminConnection);
        UserItemReader reader(db);
        loaded = reader.load(item);
    }
    if (loaded)
        result = QVariant(item.value());
    else
        qDebug() << "Error LOAD DB: UserItem NOT loaded. Id: " << id;
    dbConnection->closeDatabase(adminConnection);
    return result;
}
