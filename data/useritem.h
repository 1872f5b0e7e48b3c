#pragma once
// One user setting as stored in a row of the table "user" (or "user_<suffix>"): the row
// id asked for, and the column "value" once a UserItemReader has loaded it.

#include <QString>

class UserItem
{
public:
    UserItem(int id, const QString &value, const QString &name, const QString &table,
             const QString &tableSuffix);
    virtual ~UserItem();

    // The table to read: the base name, or "<table>_<suffix>" when a suffix is set.
    QString tableName() const;

    int id() const { return m_id; }
    QString value() const { return m_value; }
    void setValue(const QString &value) { m_value = value; }
    QString name() const { return m_name; }

private:
    int m_id = 0;
    QString m_value;
    QString m_name;
    QString m_table;
    QString m_tableSuffix;
};
