// Finding the TAP adapter in a registry-shaped settings tree (INI files of
// the same shape stand in for the registry) and the netsh argument lists.
#include "net/hostconfig.h"

#include <QTemporaryDir>
#include <QTest>

using hostconfig::TapRegistry;

class TestTunnelHostConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    struct Subkey {
        QString name;
        QString componentId;
        QString instanceId;
    };

    // Writes a class key with these subkeys and a connection key per given name.
    TapRegistry registry(const QString& tag, const QList<Subkey>& subkeys, const QMap<QString, QString>& names)
    {
        const QString root = dir.filePath(tag);
        QSettings classKey(root + QStringLiteral("/class.ini"), QSettings::IniFormat);
        for (const Subkey& key : subkeys) {
            classKey.beginGroup(key.name);
            if (!key.componentId.isNull())
                classKey.setValue(QStringLiteral("ComponentId"), key.componentId);
            if (!key.instanceId.isNull())
                classKey.setValue(QStringLiteral("NetCfgInstanceId"), key.instanceId);
            classKey.setValue(QStringLiteral("DriverDesc"), QStringLiteral("adapter ") + key.name);
            classKey.endGroup();
        }
        classKey.sync();
        for (auto it = names.begin(); it != names.end(); ++it) {
            QSettings connection(root + QStringLiteral("/net/") + it.key() + QStringLiteral("/Connection.ini"),
                                 QSettings::IniFormat);
            if (!it.value().isNull())
                connection.setValue(QStringLiteral("Name"), it.value());
            connection.setValue(QStringLiteral("PnPInstanceId"), QStringLiteral("ROOT\\NET\\0000"));
            connection.sync();
        }
        return {root + QStringLiteral("/class.ini"), root + QStringLiteral("/net/"),
                QStringLiteral("/Connection.ini"), QSettings::IniFormat};
    }

private slots:
    void firstExactMatchInListingOrderWins()
    {
        const TapRegistry r = registry(QStringLiteral("two"),
                                       {{QStringLiteral("0000"), QStringLiteral("PCI\\VEN_8086"), QStringLiteral("{A}")},
                                        {QStringLiteral("0001"), QStringLiteral("TAP0901"), QStringLiteral("{B}")},
                                        {QStringLiteral("0002"), QStringLiteral("tap0901 "), QStringLiteral("{E}")},
                                        {QStringLiteral("0003"), QStringLiteral("tap0901"), QStringLiteral("{C}")},
                                        {QStringLiteral("0004"), QStringLiteral("tap0901"), QStringLiteral("{D}")}},
                                       {{QStringLiteral("{B}"), QStringLiteral("Wrong")},
                                        {QStringLiteral("{C}"), QStringLiteral("Local Area Connection 2")},
                                        {QStringLiteral("{D}"), QStringLiteral("Other")}});
        QString name = QStringLiteral("unchanged");
        QCOMPARE(hostconfig::searchTapAdapter(r, name), QStringLiteral("{C}"));
        QCOMPARE(name, QStringLiteral("Local Area Connection 2"));
    }

    void noMatchLeavesTheNameAlone()
    {
        const TapRegistry r = registry(QStringLiteral("none"),
                                       {{QStringLiteral("0000"), QStringLiteral("TAP0901"), QStringLiteral("{A}")},
                                        {QStringLiteral("0001"), QString(), QStringLiteral("{B}")}},
                                       {{QStringLiteral("{A}"), QStringLiteral("Tap")}});
        QString name = QStringLiteral("unchanged");
        QVERIFY(hostconfig::searchTapAdapter(r, name).isEmpty());
        QCOMPARE(name, QStringLiteral("unchanged"));

        TapRegistry missing = r;
        missing.classKey = dir.filePath(QStringLiteral("absent/class.ini"));
        QVERIFY(hostconfig::searchTapAdapter(missing, name).isEmpty());
        QCOMPARE(name, QStringLiteral("unchanged"));
    }

    void firstMatchCountsEvenWithoutInstanceId()
    {
        const TapRegistry r = registry(QStringLiteral("emptyid"),
                                       {{QStringLiteral("0000"), QStringLiteral("tap0901"), QString()},
                                        {QStringLiteral("0001"), QStringLiteral("tap0901"), QStringLiteral("{B}")}},
                                       {{QStringLiteral("{B}"), QStringLiteral("Tap")}});
        QString name;
        QVERIFY(hostconfig::searchTapAdapter(r, name).isEmpty());
    }

    void missingNameGivesEmptyConnectionName()
    {
        const TapRegistry r = registry(QStringLiteral("noname"),
                                       {{QStringLiteral("0007"), QStringLiteral("tap0901"), QStringLiteral("{F}")}},
                                       {{QStringLiteral("{F}"), QString()}});
        QString name = QStringLiteral("unchanged");
        QCOMPARE(hostconfig::searchTapAdapter(r, name), QStringLiteral("{F}"));
        QVERIFY(name.isEmpty());
    }

    void netshListsKeepNamesWithBlanksWhole()
    {
        QCOMPARE(hostconfig::layer3AddressArguments(QStringLiteral("10.8.0.5")),
                 QStringList({"interface", "ipv4", "set", "address", "name=RIRODedo", "static", "10.8.0.5",
                              "255.255.255.0"}));
        const QString name = QStringLiteral("Local Area Connection 2");
        QCOMPARE(hostconfig::layer2AddressArguments(name, QStringLiteral("10.8.1.2")),
                 QStringList({"interface", "ip", "set", "address", "name=Local Area Connection 2", "static",
                              "10.8.1.2", "255.255.255.0"}));
        QCOMPARE(hostconfig::layer2MetricArguments(name),
                 QStringList({"interface", "ip", "set", "interface", "Local Area Connection 2", "metric=1"}));
        QCOMPARE(hostconfig::layer2MetricArguments(QString()).size(), 6);
        QCOMPARE(hostconfig::mtuArguments(name, hostconfig::kLayer2Mtu),
                 QStringList({"interface", "ipv4", "set", "subinterface", "Local Area Connection 2", "mtu=1438",
                              "store=active"}));
        // A full packet or frame plus UDP and IPv6 headers fits 1,500 bytes exactly.
        QCOMPARE(hostconfig::kLayer3Mtu + 8 + 40, 1500);
        QCOMPARE(hostconfig::kLayer2Mtu + 14 + 8 + 40, 1500);
    }
};

QTEST_GUILESS_MAIN(TestTunnelHostConfig)
#include "test_tunnel_hostconfig.moc"
