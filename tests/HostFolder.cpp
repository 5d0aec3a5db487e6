#include "HostFolder.h"

#include "TestSupport.h"

HostFolder::HostFolder(const QString &d, const QString &ready)
    : dir(d)
{
    why = value(QStringLiteral("skip"));
    if (why.isEmpty() && value(ready).isEmpty())
        why = QStringLiteral("the test host in %1 is not running (run the tests through ctest)").arg(dir);
}

QString HostFolder::value(const QString &name) const
{
    return firstLine(dir + QLatin1Char('/') + name);
}
