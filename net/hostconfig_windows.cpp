// Windows: the registry lists the TAP-Windows adapters; netsh sets the
// address and metric. Exit codes of netsh are not looked at: a failure
// leaves the adapter with whatever it had.
#include "net/hostconfig.h"
#include "net/broadcastroute.h"

namespace hostconfig {

QString findInstalledTapAdapter(QString& connectionName)
{
    return searchTapAdapter(windowsTapRegistry(), connectionName);
}

namespace {

// Every step as the Win32 runner starts it: the system's netsh.exe and
// route.exe by full path (the program's own folder is the user's to write,
// and an elevated client must not run a netsh.exe planted there), with no
// window and no Qt, as the adapter comes up off the window's thread.
void runAll(const std::vector<lanbroadcast::Command>& commands)
{
    const std::wstring directory = lanbroadcast::systemDirectory();
    for (const lanbroadcast::Command& command : commands)
        lanbroadcast::run(command, directory);
}

lanbroadcast::Command netsh(const QStringList& arguments)
{
    lanbroadcast::Command command{L"netsh.exe", {}};
    for (const QString& argument : arguments)
        command.arguments.push_back(argument.toStdWString());
    return command;
}

} // namespace

void configureLayer3(const QString& virtualIp, int overhead)
{
    runAll({netsh(layer3AddressArguments(virtualIp)),
            netsh(mtuArguments(QLatin1String(kLayer3AdapterName), kLayer3Mtu - overhead))});
}

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
    runAll({netsh(layer2AddressArguments(connectionName, virtualIp)),
            netsh(layer2MetricArguments(connectionName)),
            netsh(mtuArguments(connectionName, kLayer2Mtu - overhead))});
}

} // namespace hostconfig
