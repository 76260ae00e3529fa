// Windows: the registry lists the TAP-Windows adapters; netsh sets the
// address and metric. Exit codes of netsh are not looked at: a failure
// leaves the adapter with whatever it had.
#include "net/hostconfig.h"

#include <QProcess>

namespace hostconfig {

QString findInstalledTapAdapter(QString& connectionName)
{
    return searchTapAdapter(windowsTapRegistry(), connectionName);
}

void configureLayer3(const QString& virtualIp, int overhead)
{
    QProcess::execute(QStringLiteral("netsh"), layer3AddressArguments(virtualIp));
    QProcess::execute(QStringLiteral("netsh"), mtuArguments(QLatin1String(kLayer3AdapterName), kLayer3Mtu - overhead));
}

void configureLayer2(const QString& connectionName, const QString& virtualIp, int overhead)
{
    QProcess::execute(QStringLiteral("netsh"), layer2AddressArguments(connectionName, virtualIp));
    QProcess::execute(QStringLiteral("netsh"), layer2MetricArguments(connectionName));
    QProcess::execute(QStringLiteral("netsh"), mtuArguments(connectionName, kLayer2Mtu - overhead));
}

} // namespace hostconfig
