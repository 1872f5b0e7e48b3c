#pragma once
// Loads user items from one database: the row with the item's id in the item's table,
// column "value". The reader keeps a copy of the database handle, so it must be
// destroyed before that connection is removed.

#include <QSqlDatabase>

class UserItem;

class UserItemReader
{
public:
    explicit UserItemReader(QSqlDatabase database);
    virtual ~UserItemReader();

    // Fills item.value from the first row found. False when the query fails or finds
    // no row; a row without a "value" column or with NULL gives an empty value.
    bool load(UserItem &item);

private:
    QSqlDatabase db;
};
