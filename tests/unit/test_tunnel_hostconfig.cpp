// The TAP adapter found in INI files shaped like the registry, and the netsh argument lists.
#include "net/hostconfig.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestTunnelHostConfig : public QObject
{
    Q_OBJECT

private slots:
    // Subkeys as "subkey:ComponentId:NetCfgInstanceId", connections as "instance id:Name" (missing
    // parts not written). The first exact match in listing order wins, even without an instance id.
    void firstExactMatchInListingOrderWins_data()
    {
        QTest::addColumn<QStringList>("subkeys");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("found");
        QTest::addColumn<QString>("name"); // after the search, from "unchanged"
        QTest::newRow("first exact") << QStringList{u"0000:PCI\\VEN_8086:{A}"_s, u"0001:TAP0901:{B}"_s,
                                                    u"0002:tap0901 :{E}"_s, u"0003:tap0901:{C}"_s,
                                                    u"0004:tap0901:{D}"_s}
                                     << QStringList{u"{B}:Wrong"_s, u"{C}:Local Area Connection 2"_s,
                                                    u"{D}:Other"_s}
                                     << u"{C}"_s << u"Local Area Connection 2"_s;
        QTest::newRow("none") << QStringList{u"0000:TAP0901:{A}"_s, u"0001"_s} << QStringList{u"{A}:Tap"_s}
                              << QString() << u"unchanged"_s;
        QTest::newRow("no instance id") << QStringList{u"0000:tap0901"_s, u"0001:tap0901:{B}"_s}
                                        << QStringList{u"{B}:Tap"_s} << QString() << u"unchanged"_s;
        QTest::newRow("no name") << QStringList{u"0007:tap0901:{F}"_s} << QStringList{u"{F}"_s} << u"{F}"_s
                                 << QString();
    }

    void firstExactMatchInListingOrderWins()
    {
        QFETCH(QStringList, subkeys);
        QFETCH(QStringList, names);
        QTemporaryDir dir;
        QSettings classKey(dir.filePath(u"class.ini"_s), QSettings::IniFormat);
        for (const QString& subkey : subkeys) {
            const QStringList parts = subkey.split(u':');
            if (parts.size() > 1)
                classKey.setValue(parts[0] + u"/ComponentId"_s, parts[1]);
            if (parts.size() > 2)
                classKey.setValue(parts[0] + u"/NetCfgInstanceId"_s, parts[2]);
        }
        classKey.sync();
        for (const QString& entry : names) {
            const QStringList parts = entry.split(u':');
            QSettings connection(dir.filePath(u"net/"_s + parts[0] + u"/Connection.ini"_s),
                                 QSettings::IniFormat);
            if (parts.size() > 1)
                connection.setValue(u"Name"_s, parts[1]);
            connection.setValue(u"PnPInstanceId"_s, u"ROOT\\NET\\0000"_s);
        }
        const hostconfig::TapRegistry registry{dir.filePath(u"class.ini"_s), dir.filePath(u"net/"_s),
                                               u"/Connection.ini"_s, QSettings::IniFormat};
        QString name = u"unchanged"_s;
        QTEST(hostconfig::searchTapAdapter(registry, name), "found");
        QTEST(name, "name");
    }

    void netshListsKeepNamesWithBlanksWhole()
    {
        const auto words = [](const char* joined) { return QString::fromLatin1(joined).split(u'|'); };
        QCOMPARE(hostconfig::layer3AddressArguments(u"10.8.0.5"_s),
                 words("interface|ipv4|set|address|name=RIRODedo|static|10.8.0.5|255.255.255.0"));
        const QString name = u"Local Area Connection 2"_s;
        QCOMPARE(hostconfig::layer2AddressArguments(name, u"10.8.1.2"_s),
                 words("interface|ip|set|address|name=Local Area Connection 2|static|10.8.1.2|"
                       "255.255.255.0"));
        QCOMPARE(hostconfig::layer2MetricArguments(name),
                 words("interface|ip|set|interface|Local Area Connection 2|metric=1"));
        QCOMPARE(hostconfig::mtuArguments(name, hostconfig::kLayer2Mtu),
                 words("interface|ipv4|set|subinterface|Local Area Connection 2|mtu=1438|store=active"));
    }
};

QTEST_GUILESS_MAIN(TestTunnelHostConfig)
#include "test_tunnel_hostconfig.moc"
