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

    // What one read came to. NotFound: the database was read and holds no such table,
    // column or row. Failed: the read itself failed (busy past the wait, a damaged page,
    // an I/O error, not a database at all), so the item may well be stored.
    enum class Outcome { Loaded, NotFound, Failed };

    // Fills item.value from the first row found. A row without a "value" column or with
    // NULL gives an empty value (Loaded).
    Outcome read(UserItem &item);

    // read() as a flag: true only when the row was found.
    bool load(UserItem &item);

private:
    QSqlDatabase db;
};
