#pragma once
// Reads one stored setting by its id. The implementation opens its database for the
// read and closes it again; an invalid QVariant tells the caller that the read failed,
// a string variant (possibly empty) carries the stored value.

#include <QObject>
#include <QVariant>

class IMenuItemRepository
{
public:
    virtual ~IMenuItemRepository() = default;

    virtual QVariant loadValue(int id) = 0;
};

Q_DECLARE_INTERFACE(IMenuItemRepository, "IMenuItemRepository/1.0")
