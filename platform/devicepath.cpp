#include "devicepath.h"

#include <QtGlobal>

namespace corvane {

DeviceRoot::DeviceRoot(const QString &root)
    : m_root(root)
{
    while (m_root.size() > 1 && m_root.endsWith(QLatin1Char('/')))
        m_root.chop(1);
    if (m_root == QLatin1String("/"))
        m_root.clear();
}

bool DeviceRoot::fromEnvironment(DeviceRoot *root)
{
    const QString value = qEnvironmentVariable("CORVANE_DEVICE_ROOT");
    if (!value.isEmpty() && !value.startsWith(QLatin1Char('/')))
        return false;
    *root = DeviceRoot(value);
    return true;
}

} // namespace corvane
