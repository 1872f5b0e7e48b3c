#include "useritem.h"

UserItem::UserItem(int id, const QString &value, const QString &name, const QString &table,
                   const QString &tableSuffix)
    : m_id(id)
    , m_value(value)
    , m_name(name)
    , m_table(table)
    , m_tableSuffix(tableSuffix)
{
}

UserItem::~UserItem() = default;

QString UserItem::tableName() const
{
    if (m_tableSuffix.isEmpty())
        return m_table;
    return QStringLiteral("%1_%2").arg(m_table, m_tableSuffix);
}
