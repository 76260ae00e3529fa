// The direct-path words of the control channel: candidate texts, the peers
// the server offers, and the addresses we offer it.
#include "features/directpeers.h"
#include "net/udpsocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

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

    // Candidates the tunnel socket cannot reach are dropped, IPv4 ones first; so is nonsense.
    // (Which entries are well formed: test_controlcodec.)
    void onlyReachableCandidatesAreTaken_data()
    {
        QTest::addColumn<int>("families"); // of the tunnel socket: 1 IPv4, 2 IPv6, 3 both
        QTest::newRow("IPv4 socket") << 1;
        QTest::newRow("IPv6 socket") << 2;
        QTest::newRow("dual stack") << 3;
    }
    void onlyReachableCandidatesAreTaken()
    {
        QFETCH(int, families);
        const QString key = QString::fromLatin1(QByteArray(32, 'k').toBase64());
        const QJsonObject entry{{u"username"_s, u"bob"_s}, {u"vip"_s, u"10.8.0.3"_s}, {u"pair"_s, u"7"_s},
                                {u"side"_s, 1}, {u"key"_s, key},
                                {u"candidates"_s, QJsonArray{u"192.0.2.1:4000"_s, u"[2001:db8::1]:4000"_s,
                                                             u"nonsense"_s}}};
        const auto peers = direct::parsePeers(msg::DirectPeers::parse({{u"peers"_s, QJsonArray{entry}}}),
                                              udp::Families{bool(families & 1), families > 1});
        QCOMPARE(peers.size(), std::size_t(1));
        QCOMPARE(peers[0].name, std::string("bob"));
        QCOMPARE(peers[0].vip, 0x0a080003u);
        QCOMPARE(peers[0].key[31], std::uint8_t('k'));
        std::vector<Endpoint> reachable;
        if (families & 1)
            reachable.push_back(udp::parsePeer("192.0.2.1", 4000));
        if (families & 2)
            reachable.push_back(udp::parsePeer("2001:db8::1", 4000));
        QVERIFY(peers[0].candidates == reachable);
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
        QCOMPARE(v4.size(), directlimits::kCandidates);
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
