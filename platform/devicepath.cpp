#include "devicepath.h"

#include <QtGlobal>

namespace corvane {

QString devicePath(const QString &path)
{
    // Read on every call: cheap, and tests may point the program at another tree.
    QString root = qEnvironmentVariable("CORVANE_DEVICE_ROOT");
    if (root.isEmpty())
        return path;
    while (root.size() > 1 && root.endsWith(QLatin1Char('/')))
        root.chop(1);
    return root + path;
}

} // namespace corvane
