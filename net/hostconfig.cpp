#include "net/hostconfig.h"

namespace hostconfig {

QStringList layer3AddressArguments(const QString& virtualIp)
{
    return {QStringLiteral("interface"),
            QStringLiteral("ipv4"),
            QStringLiteral("set"),
            QStringLiteral("address"),
            QStringLiteral("name=") + QLatin1String(kLayer3AdapterName),
            QStringLiteral("static"),
            virtualIp,
            QLatin1String(kNetmask)};
}

QStringList layer2AddressArguments(const QString& connectionName, const QString& virtualIp)
{
    return {QStringLiteral("interface"),
            QStringLiteral("ip"),
            QStringLiteral("set"),
            QStringLiteral("address"),
            QStringLiteral("name=") + connectionName,
            QStringLiteral("static"),
            virtualIp,
            QLatin1String(kNetmask)};
}

QStringList layer2MetricArguments(const QString& connectionName)
{
    return {QStringLiteral("interface"), QStringLiteral("ip"), QStringLiteral("set"),
            QStringLiteral("interface"), connectionName,       QStringLiteral("metric=1")};
}

QStringList mtuArguments(const QString& connectionName, int mtu)
{
    return {QStringLiteral("interface"), QStringLiteral("ipv4"), QStringLiteral("set"),
            QStringLiteral("subinterface"), connectionName, QStringLiteral("mtu=%1").arg(mtu),
            QStringLiteral("store=active")};
}

TapRegistry windowsTapRegistry()
{
    return {QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                           "{4D36E972-E325-11CE-BFC1-08002BE10318}"),
            QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\"
                           "{4D36E972-E325-11CE-BFC1-08002BE10318}\\"),
            QStringLiteral("\\Connection"), QSettings::NativeFormat};
}

QString searchTapAdapter(const TapRegistry& registry, QString& connectionName)
{
    QSettings classKey(registry.classKey, registry.format);
    const QStringList subkeys = classKey.childGroups();
    for (const QString& subkey : subkeys) {
        classKey.beginGroup(subkey);
        const bool match =
            classKey.value(QStringLiteral("ComponentId")).toString() == QLatin1String("tap0901");
        const QString instanceId =
            match ? classKey.value(QStringLiteral("NetCfgInstanceId")).toString() : QString();
        classKey.endGroup();
        if (!match)
            continue;
        // Only the first match counts, even without an instance id.
        if (!instanceId.isEmpty()) {
            const QSettings connection(registry.connectionPrefix + instanceId + registry.connectionSuffix,
                                       registry.format);
            connectionName = connection.value(QStringLiteral("Name")).toString();
        }
        return instanceId;
    }
    return {};
}

} // namespace hostconfig
