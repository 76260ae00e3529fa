// The direct-path words of the control channel: candidate texts, the peers
// the server offers, and the addresses we offer it.
#include "features/directpeers.h"
#include "net/udpsocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
QJsonObject peer(const QString& pair, const QJsonValue& side, int keyBytes,
                 const QString& vip = u"10.8.0.3"_s)
{
    return {{u"username"_s, u"bob"_s}, {u"vip"_s, vip}, {u"pair"_s, pair}, {u"side"_s, side},
            {u"key"_s, QString::fromLatin1(QByteArray(keyBytes, 'k').toBase64())},
            {u"candidates"_s, QJsonArray{u"192.0.2.1:4000"_s, u"[2001:db8::1]:4000"_s, u"nonsense"_s}}};
}
} // namespace

class TestDirectTexts : public QObject
{
    Q_OBJECT

private slots:
    void candidateTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("address"); // empty: refused
        QTest::newRow("IPv4") << u"192.0.2.1:4000"_s << QByteArray("192.0.2.1");
        QTest::newRow("IPv6") << u"[2001:db8::1]:9"_s << QByteArray("2001:db8::1");
        QTest::newRow("no port") << u"192.0.2.1"_s << QByteArray();
        QTest::newRow("port 0") << u"192.0.2.1:0"_s << QByteArray();
        QTest::newRow("a name") << u"example.org:4000"_s << QByteArray();
        QTest::newRow("too long") << u"[2001:db8::1]:4000"_s + QString(60, u' ') << QByteArray();
    }
    void candidateTexts()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, address);
        const Endpoint parsed = direct::parseCandidate(text);
        if (address.isEmpty())
            QCOMPARE(parsed.length, 0u);
        else
            QVERIFY(parsed == udp::parsePeer(address.constData(), text.section(u':', -1).toUShort()));
    }

    void onlyWellFormedPeersAreTaken_data()
    {
        QTest::addColumn<QJsonObject>("entry");
        QTest::addColumn<bool>("taken");
        QTest::newRow("well formed") << peer(u"7"_s, 1, 32) << true;
        QTest::newRow("highest pair") << peer(u"536870911"_s, 0, 32) << true;
        QTest::newRow("pair 0") << peer(u"0"_s, 0, 32) << false;
        QTest::newRow("pair past 29 bits") << peer(u"536870912"_s, 0, 32) << false;
        QTest::newRow("pair not a number") << peer(u"x"_s, 0, 32) << false;
        QTest::newRow("side 2") << peer(u"7"_s, 2, 32) << false;
        QTest::newRow("side as text") << peer(u"7"_s, u"1"_s, 32) << false;
        QTest::newRow("short key") << peer(u"7"_s, 0, 31) << false;
        QTest::newRow("long key") << peer(u"7"_s, 0, 33) << false;
        QTest::newRow("vip not IPv4") << peer(u"7"_s, 0, 32, u"::1"_s) << false;
    }
    void onlyWellFormedPeersAreTaken()
    {
        QFETCH(QJsonObject, entry);
        QFETCH(bool, taken);
        const auto peers = direct::parsePeers(QJsonArray{entry}, udp::Families{true, false});
        QCOMPARE(peers.size(), std::size_t(taken));
        if (!taken)
            return;
        QCOMPARE(peers[0].name, std::string("bob"));
        QCOMPARE(peers[0].vip, 0x0a080003u);
        QCOMPARE(peers[0].key[31], std::uint8_t('k'));
        // The IPv6 candidate cannot be reached from an IPv4 tunnel socket; nonsense is dropped.
        QCOMPARE(peers[0].candidates.size(), std::size_t(1));
        QVERIFY(peers[0].candidates[0] == udp::parsePeer("192.0.2.1", 4000));
    }

    void candidatesFollowTheSocketsFamilies_data()
    {
        QTest::addColumn<bool>("ipv4");
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<int>("count");
        QTest::newRow("IPv6 only") << false << true << 1;
        QTest::newRow("dual stack") << true << true << 2;
    }
    void candidatesFollowTheSocketsFamilies()
    {
        QFETCH(bool, ipv4);
        QFETCH(bool, ipv6);
        QFETCH(int, count);
        const auto peers = direct::parsePeers(QJsonArray{peer(u"7"_s, 1, 32)}, udp::Families{ipv4, ipv6});
        QCOMPARE(peers.at(0).candidates.size(), std::size_t(count));
        QVERIFY(peers[0].candidates.back() == udp::parsePeer("2001:db8::1", 4000));
    }

    void ownAddressesOfferedAreUsableOnes()
    {
        QList<QHostAddress> addresses;
        for (const char* a : {"127.0.0.1", "169.254.1.1", "10.8.0.2", "10.8.0.77", "::1", "2001:db8::5",
                              "192.168.1.10"})
            addresses.append(QHostAddress(QString::fromLatin1(a)));
        for (int i = 1; i <= 10; ++i)
            addresses.append(QHostAddress(u"172.16.0.%1"_s.arg(i)));
        const QJsonArray v4 = direct::localCandidates(addresses, 4000, {true, false}, u"10.8.0.2"_s);
        QCOMPARE(v4.size(), direct::kMaxCandidates);
        QCOMPARE(v4.first().toString(), u"192.168.1.10:4000"_s);
        QCOMPARE(v4.last().toString(), u"172.16.0.7:4000"_s);
        QCOMPARE(direct::localCandidates(addresses, 4000, {false, true}, u"10.8.0.2"_s),
                 QJsonArray{u"[2001:db8::5]:4000"_s});
        // Dual stack: IPv4 first, then IPv6 while there is room.
        addresses.resize(7);
        QCOMPARE(direct::localCandidates(addresses, 4000, {true, true}, u"10.8.0.2"_s),
                 (QJsonArray{u"192.168.1.10:4000"_s, u"[2001:db8::5]:4000"_s}));
    }
    // path_report goes out when a path changed, at most once a minute; round trips alone are no news.
    void pathReportsGoOutOnChangeAtMostOnceAMinute()
    {
        direct::PathReporter reporter;
        const auto at = [&](qint64 ms, const QString& bob, int rtt = 21) {
            return reporter.due({{u"10.8.0.2"_s, bob, rtt}, {u"10.8.0.3"_s, u"relayed"_s, -1}}, ms);
        };
        QCOMPARE(QJsonDocument(at(0, u"relayed"_s)).toJson(QJsonDocument::Compact),
                 R"({"cmd":"path_report","paths":[{"path":"relayed","rtt_ms":21,"vip":"10.8.0.2"},)"
                 R"({"path":"relayed","vip":"10.8.0.3"}]})");
        QVERIFY(at(1000, u"relayed"_s, 40).isEmpty());   // only the round trip moved
        QVERIFY(at(59999, u"direct"_s).isEmpty());       // news, but within the minute
        QVERIFY(!at(60000, u"direct"_s).isEmpty());      // the minute is over
        QVERIFY(at(200000, u"direct"_s, 5).isEmpty());   // nothing new since
        QVERIFY(reporter.due({}, 200001).isEmpty());      // alone in the room
        QVERIFY(!at(200002, u"direct"_s).isEmpty());     // the same mates again are news
    }
};

QTEST_APPLESS_MAIN(TestDirectTexts)
#include "test_directtexts.moc"
