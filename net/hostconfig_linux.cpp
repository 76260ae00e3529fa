// Linux: the TAP interface has a fixed name that README gives, and the
// address is set in-process, so CAP_NET_ADMIN on the binary is enough.
#include "net/hostconfig.h"
#include "net/netdev_linux.h"

#include <cstdio>

namespace hostconfig {
namespace {

constexpr char kTapInterfaceName[] = "pellora0";

void assign(const QString& interfaceName, const QString& virtualIp, int mtu)
{
    netdev::setMtu(interfaceName.toUtf8().constData(), mtu);
    if (!netdev::assignIpv4(interfaceName.toUtf8().constData(), virtualIp.toUtf8().constData(), kNetmask))
        std::fprintf(
            stderr,
            "pellora: could not give %s the address %s/24 (needs root or CAP_NET_ADMIN); set it with "
            "\"ip addr add %s/24 dev %s && ip link set %s up\"\n",
            qPrintable(interfaceName), qPrintable(virtualIp), qPrintable(virtualIp),
            qPrintable(interfaceName), qPrintable(interfaceName));
}

} // namespace

QString findInstalledTapAdapter(QString& connectionName)
{
    if (!netdev::driverPresent())
        return {};
    connectionName = QLatin1String(kTapInterfaceName);
    return connectionName;
}

void configureLayer3(const QString& virtualIp, int overhead)
{
    assign(QLatin1String(kLayer3AdapterName), virtualIp, kLayer3Mtu - overhead);
}

void configureLayer2(const QString& connectionName, const QString& virtualIp, int overhead)
{
    assign(connectionName, virtualIp, kLayer2Mtu - overhead);
}

// A route for 255.255.255.255 out of the adapter wins over the default route
// by its length; it goes with the interface, so only a TAP interface that
// outlives us (made by an administrator) needs it taken away.
void captureBroadcasts(const QString& interfaceName, const QString& virtualIp, bool)
{
    if (!netdev::addBroadcastRoute(interfaceName.toUtf8().constData(), virtualIp.toUtf8().constData()))
        std::fprintf(
            stderr,
            "pellora: could not route limited broadcasts through %s (needs root or CAP_NET_ADMIN); games "
            "that look for LAN sessions by broadcast will not find the room\n",
            qPrintable(interfaceName));
}

void releaseBroadcasts(const QString& interfaceName, const QString&)
{
    netdev::removeBroadcastRoute(interfaceName.toUtf8().constData());
}

} // namespace hostconfig
