#include "useritemreader.h"

#include "useritem.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <utility>

UserItemReader::UserItemReader(QSqlDatabase database) : db(std::move(database)) {}

UserItemReader::~UserItemReader() = default;

bool UserItemReader::load(UserItem &item)
{
    // The table name comes from fixed names and the id is an integer, so the text can
    // be put together without binding.
    const QString statement = QStringLiteral("select * from %1 where id = %2")
                                  .arg(item.tableName())
                                  .arg(item.id(), 0, 10);
    QSqlQuery query(db);
    if (!query.exec(statement))
        return false;
    if (!query.next())
        return false;
    item.setValue(query.record().value(QStringLiteral("value")).toString());
    return true;
}
