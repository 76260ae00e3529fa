// The relay over real UDP sockets, with sessions made over the lobby; the
// routing rules themselves are checked on RelayCore directly.
#include "server/relay/translate.h"
#include "tests/server/sealedmember.h"

using namespace harness;

namespace {
const QByteArray toBob = ipv4Packet("10.8.0.1", "10.8.0.2");
} // namespace

class TestRelay : public QObject, ServerFixture
{
    Q_OBJECT
    ServerConfig config;
    std::vector<std::unique_ptr<Member>> members;

    // Members 0-2 in Alpha (10.8.0.1-3), heartbeats answered; member i says layer layers[i] (0: nothing).
    void start(int count, const QHostAddress& relayAddress = QHostAddress::LocalHost,
               const QList<int>& layers = {})
    {
        QVERIFY(server = startServer(config));
        for (int i = 0; i < count; ++i) {
            const QHostAddress v6(QHostAddress::LocalHostIPv6);
            Member& m = *members.emplace_back(std::make_unique<Member>(
                server->port(), false, relayAddress == v6 ? v6 : QHostAddress(QHostAddress::LocalHost)));
            m.tunnel.relayAddress = relayAddress;
            const QJsonObject joined = m.enter(QString("member%1").arg(i), "Alpha", i == 0, layers.value(i));
            // The mode said is echoed (the client then says it in heartbeats too), none when none was said.
            QCOMPARE(joined.value("layer").toInt(), layers.value(i));
            m.heartbeat();
            QVERIFY(waitForStat("heartbeats", i + 1));
        }
    }

private slots:
    void init()
    {
        config = testConfig();
        members.clear();
    }
    // A burst, so that batches hold several translated copies.
    void deliveriesLeaveAsTheCoreDecides()
    {
        start(3, QHostAddress::LocalHost, {0, 2});
        QList<QByteArray> burst;
        for (int i = 0; i < 32; ++i)
            members[0]->tunnel.sendPlain(
                burst.emplace_back(ipv4Packet("10.8.0.1", "255.255.255.255", 60 + i)));
        for (const QByteArray& broadcast : burst) {
            QCOMPARE(members[1]->tunnel.receive(), bigEndian(relay::kBroadcastMac, 6) +
                                                       bigEndian(0x02500A080001, 6) +
                                                       QByteArray::fromHex("0800") + broadcast);
            QCOMPARE(members[2]->tunnel.receive(), broadcast);
        }
        QVERIFY(waitForStat("translated", 32) && stat("translated") == 32);
    }
    void aWildcardRelayAnswersFromTheAddressItWasSentTo_data()
    {
        QTest::addColumn<QHostAddress>("listen");
        QTest::addColumn<QHostAddress>("relay");
        QTest::newRow("ipv4") << QHostAddress(QHostAddress::AnyIPv4) << QHostAddress("127.0.0.2");
        QTest::newRow("both, over ipv4") << QHostAddress(QHostAddress::AnyIPv6) << QHostAddress("127.0.0.2");
        QTest::newRow("both, over ipv6") << QHostAddress(QHostAddress::AnyIPv6) << QHostAddress("::1");
    }
    void aWildcardRelayAnswersFromTheAddressItWasSentTo()
    {
        QFETCH(QHostAddress, listen);
        QFETCH(QHostAddress, relay);
        config.listen = listen;
        start(2, relay);
        members[0]->tunnel.sendPlain(toBob);
        QCOMPARE(members[1]->tunnel.receive(), toBob); // receive() takes only what comes from `relay`
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
