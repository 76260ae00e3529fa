// How the host system finds and configures the virtual adapters: the
// registry search for a TAP-Windows adapter and the netsh argument lists
// (shared logic, testable anywhere), and the platform steps built on them.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>

namespace hostconfig {

inline constexpr char kLayer3AdapterName[] = "RIRODedo";
inline constexpr char kNetmask[] = "255.255.255.0";

// Adapter MTUs such that a full packet (layer 3) or frame (layer 2, 14 bytes
// of Ethernet header) plus the tunnel's UDP and IPv6 headers (8 + 40 bytes,
// more than IPv4's 8 + 20) fits an ordinary 1,500-byte path unfragmented.
inline constexpr int kLayer3Mtu = 1500 - 40 - 8;
inline constexpr int kLayer2Mtu = kLayer3Mtu - 14;

// netsh arguments, one list element per argument.
QStringList layer3AddressArguments(const QString& virtualIp);
QStringList layer2AddressArguments(const QString& connectionName, const QString& virtualIp);
QStringList layer2MetricArguments(const QString& connectionName);
QStringList mtuArguments(const QString& connectionName, int mtu);

// Where adapters are listed: the network adapter class key and the
// connection key (prefix + instance id + suffix), in a settings format.
struct TapRegistry {
    QString classKey;
    QString connectionPrefix;
    QString connectionSuffix;
    QSettings::Format format = QSettings::NativeFormat;
};
TapRegistry windowsTapRegistry();

// The instance id of the first subkey (in listing order) whose ComponentId
// is exactly "tap0901", empty when there is none; its connection name goes
// to `connectionName`, which is left alone when nothing matched.
QString searchTapAdapter(const TapRegistry& registry, QString& connectionName);

// Platform steps. Windows: the registry and netsh. Linux: the fixed TAP
// interface and in-process configuration of the address.
QString findInstalledTapAdapter(QString& connectionName);
// `overhead`: what sealing adds to each datagram, taken off the MTU.
void configureLayer3(const QString& virtualIp, int overhead = 0);
void configureLayer2(const QString& connectionName, const QString& virtualIp, int overhead = 0);

// Limited broadcasts (255.255.255.255) that local programs send leave through
// the adapter `interfaceName` while in a room (games look for LAN sessions
// that way); release puts the system back. Both are safe to repeat, and
// release is safe when the adapter is gone.
void captureBroadcasts(const QString& interfaceName, const QString& virtualIp, bool layer3);
void releaseBroadcasts(const QString& interfaceName, const QString& virtualIp);

} // namespace hostconfig
