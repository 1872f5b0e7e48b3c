#include "useritemreader.h"

#include "useritem.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

// The handle comes by value, as the reader's callers hand it; it is a shared reference.
UserItemReader::UserItemReader(QSqlDatabase database) // NOLINT(performance-unnecessary-value-param)
    : db(database)
{
}

UserItemReader::~UserItemReader() = default;

namespace {

// SQLite reports a table or column that the schema lacks with its plain error code 1
// (SQLITE_ERROR). Every other failure (busy, damaged, I/O, not a database) has a code
// of its own, and counts as a failed read.
bool isMissingInSchema(const QSqlError &error)
{
    const QString text = error.databaseText();
    return error.nativeErrorCode() == QLatin1String("1")
        && (text.startsWith(QLatin1String("no such table"))
            || text.startsWith(QLatin1String("no such column")));
}

} // namespace

UserItemReader::Outcome UserItemReader::read(UserItem &item)
{
    // The table name comes from fixed names and the id is an integer, so the text can
    // be put together without binding.
    const QString statement = QStringLiteral("select * from %1 where id = %2")
                                  .arg(item.tableName())
                                  .arg(item.id(), 0, 10);
    QSqlQuery query(db);
    if (!query.exec(statement))
        return isMissingInSchema(query.lastError()) ? Outcome::NotFound : Outcome::Failed;
    if (!query.next()) {
        // No row, or a step that failed on the way to one (a damaged page, a lock).
        return query.lastError().type() == QSqlError::NoError ? Outcome::NotFound : Outcome::Failed;
    }
    item.setValue(query.record().value(QStringLiteral("value")).toString());
    return Outcome::Loaded;
}

bool UserItemReader::load(UserItem &item)
{
    return read(item) == Outcome::Loaded;
}
