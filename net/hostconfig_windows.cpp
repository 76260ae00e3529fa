// Windows: the registry lists the TAP-Windows adapters; netsh sets the
// address and metric. Exit codes of netsh are not looked at: a failure
// leaves the adapter with whatever it had.
#include "net/hostconfig.h"
#include "net/broadcastroute.h"

#include <QProcess>

namespace hostconfig {

QString findInstalledTapAdapter(QString& connectionName)
{
    return searchTapAdapter(windowsTapRegistry(), connectionName);
}

namespace {

// The system's netsh by full path: the program's own folder is the user's to
// write (a per-user install), and an elevated client must not run a netsh.exe
// planted there.
QString netsh()
{
    return QString::fromStdWString(lanbroadcast::systemDirectory()) + QStringLiteral("\\netsh.exe");
}

} // namespace

void configureLayer3(const QString& virtualIp, int overhead)
{
    QProcess::execute(netsh(), layer3AddressArguments(virtualIp));
    QProcess::execute(netsh(), mtuArguments(QLatin1String(kLayer3AdapterName), kLayer3Mtu - overhead));
}

namespace {

void runAll(const std::vector<lanbroadcast::Command>& commands)
{
    const std::wstring directory = lanbroadcast::systemDirectory();
    for (const lanbroadcast::Command& command : commands)
        lanbroadcast::run(command, directory);
}

} // namespace

void captureBroadcasts(const QString& interfaceName, const QString& virtualIp, bool layer3)
{
    runAll(lanbroadcast::captureCommands(interfaceName.toStdWString(), virtualIp.toStdWString(), layer3));
}

void releaseBroadcasts(const QString&, const QString& virtualIp)
{
    runAll(lanbroadcast::releaseCommands(virtualIp.toStdWString()));
}

void configureLayer2(const QString& connectionName, const QString& virtualIp, int overhead)
{
    QProcess::execute(netsh(), layer2AddressArguments(connectionName, virtualIp));
    QProcess::execute(netsh(), layer2MetricArguments(connectionName));
    QProcess::execute(netsh(), mtuArguments(connectionName, kLayer2Mtu - overhead));
}

} // namespace hostconfig
