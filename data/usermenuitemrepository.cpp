#include "usermenuitemrepository.h"

#include "devicefiles.h"
#include "idbconnection.h"
#include "useritem.h"

#include <QDebug>

namespace {
const QString adminDatabase = QLatin1String(corvane::device::adminDatabase);
const QString adminConnection = QLatin1String(corvane::device::adminConnection);
} // namespace

UserMenuItemRepository::UserMenuItemRepository(QObject *parent, IDBConnection *connection,
                                               const QString &databaseFile)
    : QObject(parent)
    , dbConnection(connection)
    , m_databaseFile(databaseFile.isEmpty() ? adminDatabase : databaseFile)
{
}

QVariant UserMenuItemRepository::loadValue(int id)
{
    return loadValue(id, nullptr);
}

QVariant UserMenuItemRepository::loadValue(int id, UserItemReader::Outcome *outcome)
{
    QVariant result;
    UserItemReader::Outcome read = UserItemReader::Outcome::Failed;
    if (!dbConnection) {
        qDebug() << "Error LOAD DB: UserItem NOT loaded. Id: " << id;
        if (outcome)
            *outcome = read;
        return result;
    }
    UserItem item(id, QString(), QStringLiteral("Administrator"), QStringLiteral("user"),
                  QString());
    {
        // The handle and the reader's copy of it end here, before the connection is
        // removed; Qt warns and cuts off live queries when a used connection is removed.
        const QSqlDatabase db = dbConnection->getDatabase(m_databaseFile, adminConnection);
        UserItemReader reader(db);
        // A database that did not open cannot have been read.
        read = db.isOpen() ? reader.read(item) : UserItemReader::Outcome::Failed;
    }
    if (read == UserItemReader::Outcome::Loaded)
        result = QVariant(item.value());
    else
        qDebug() << "Error LOAD DB: UserItem NOT loaded. Id: " << id;
    dbConnection->closeDatabase(adminConnection);
    if (outcome)
        *outcome = read;
    return result;
}
