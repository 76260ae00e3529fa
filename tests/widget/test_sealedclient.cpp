// The client's sealed control channel against a fake lobby that speaks TLS
// (or hangs up on it): the server's key pinned on first use, a changed key
// refused, no plain connection to a server seen sealed, the server line, invite
// links that name the key, and the private address.
#include "features/invitelink.h"
#include "lobby/pinning.h"
#include "tests/support/fakelobby.h"
#include "tests/support/fakerouter.h"
#include "ui/symbols.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QListWidget>
#include <QPushButton>

class TestSealedClient : public QObject, ClientFixture
{
    Q_OBJECT
    QString error;
    const tls::Identity identity = tls::loadIdentity({}, {}, {}, &error); // a fresh one
    const QString fingerprint = tls::fingerprint(identity.certificate);

    QString pinKey() const { return pinning::settingsKey(QString::fromLatin1(lobby->endpoint())); }
    void pin(const QString& key) { settings.setValue(pinKey(), key), settings.sync(); }
    QString pinned() { return settings.sync(), settings.value(pinKey()).toString(); }
    static constexpr int kRetryMs = 50;
    void startClient() // logging in as alice, without waiting for the lobby
    {
        shown(lobby->endpoint());
        P::connection(*client)->setTiming({kRetryMs});
        P::nicknameInput(*client)->setText(u"alice"_s);
        P::connectButton(*client)->click();
    }
    // Logged in as alice (with a tunnel key when `sealed`) and in room Alpha; `inLobby` runs before the join.
    bool inRoom(bool sealed, const std::function<void()>& inLobby = {})
    {
        if (sealed)
            lobby = std::make_unique<FakeLobby>(identity);
        if (!loggedIn(u"alice"_s))
            return false;
        if (sealed)
            lobby->send(control::message(u"tunnel_key"_s, {{u"tunnel_key"_s, QString(43, u'A') + u'='},
                                                           {u"tunnel_index"_s, u"1"_s},
                                                           {u"tunnel_phase"_s, u"0"_s}}));
        if (inLobby)
            inLobby();
        return joined();
    }
    void answerKeyPrompt(bool accept) // with the named button
    {
        testenv::whenModal([accept](QWidget* question) {
            for (QAbstractButton* button : question->findChildren<QAbstractButton*>())
                if (button->text() == (accept ? u"Accept the new key"_s : u"Stay disconnected"_s))
                    button->click();
        });
    }
    // Whether the fake lobby can seal here: the Windows build makes no key (no OpenSSL), and wine's
    // Schannel speaks TLS only as a client; test_winclient seals against a Linux lobby instead.
    bool tlsServes()
    {
        static const bool serves = [this] {
            FakeLobby probe(identity);
            QSslSocket socket;
            socket.setPeerVerifyMode(QSslSocket::VerifyNone);
            socket.connectToHostEncrypted(u"127.0.0.1"_s, probe.port());
            return testwait::until([&] { return socket.isEncrypted(); }, 3000);
        }();
        return serves;
    }
#define SKIP_UNLESS_TLS_SERVES()                                                                             \
    if (!tlsServes())                                                                                        \
    QSKIP("the fake lobby cannot seal on this system")
    // bob, offered as a direct peer.
    static QJsonObject directPeersWithBob(const QJsonArray& candidates = {u"127.0.0.1:9"_s})
    {
        const QJsonObject bob{{u"username"_s, u"bob"_s},
                              {u"vip"_s, u"10.8.0.3"_s},
                              {u"pair"_s, u"7"_s},
                              {u"side"_s, 1},
                              {u"key"_s, QString::fromLatin1(QByteArray(32, 'k').toBase64())},
                              {u"candidates"_s, candidates}};
        return {{u"cmd"_s, u"direct_peers"_s}, {u"peers"_s, QJsonArray{bob}}};
    }
    // alice, bob and carol in the room; the second line of each once the list shows them.
    QStringList pathsShown()
    {
        QJsonArray members;
        for (const QString& name : {u"alice"_s, u"bob"_s, u"carol"_s})
            members.append(QJsonObject{{u"username"_s, name}, {u"vip"_s, u"10.8.0.9"_s}});
        P::peerList(*client)->clear();
        lobby->send({{u"cmd"_s, u"room_update"_s}, {u"peers"_s, members}});
        if (!testwait::until([this] { return P::peerList(*client)->count() == 3; }))
            return {};
        QStringList lines;
        for (int row = 0; row < 3; ++row)
            lines << P::peerList(*client)->item(row)->data(symbols::kDetailRole).toString();
        return lines;
    }
    static void sealedOrPlain()
    {
        QTest::addColumn<bool>("sealed");
        QTest::newRow("sealed") << true;
        QTest::newRow("plain") << false;
    }

private slots:
    void init()
    {
        reset();
        portmap::replaceSystemRouter([] { return nullptr; });
    }
    void serverLineSaysWhetherSealed_data() { sealedOrPlain(); }
    // With TLS the first key is pinned; without, the lobby is used plain and nothing pinned.
    void serverLineSaysWhetherSealed()
    {
        QFETCH(bool, sealed);
        if (sealed) {
            SKIP_UNLESS_TLS_SERVES();
            lobby = std::make_unique<FakeLobby>(identity);
        }
        QVERIFY(loggedIn());
        QCOMPARE(pinned(), sealed ? fingerprint : QString());
        QVERIFY(P::serverLabel(*client)->text().contains(sealed ? u"· sealed · "_s : u"· not sealed · "_s));
    }
    void aRefusedKeyIsUsedOnlyOnceAcceptedOnAskingAgain_data()
    {
        QTest::addColumn<bool>("inLobby");
        QTest::newRow("on the login page: its button") << false;
        QTest::newRow("in the lobby: the notice's button") << true;
    }
    // After "Stay disconnected" nothing is sent and no attempt made; the window says why, and its
    // button asks again; the key accepted then is pinned and logged in with.
    void aRefusedKeyIsUsedOnlyOnceAcceptedOnAskingAgain()
    {
        QFETCH(bool, inLobby);
        SKIP_UNLESS_TLS_SERVES();
        lobby = std::make_unique<FakeLobby>(identity);
        if (inLobby) {
            QVERIFY(loggedIn(u"alice"_s));
            P::connection(*client)->setTiming({kRetryMs});
        }
        const qsizetype sent = lobby->received.size();
        const int handshakes = lobby->handshakes;
        pin(u"00:11:22"_s);
        answerKeyPrompt(false);
        inLobby ? lobby->dropClient() : startClient();
        auto* retry = P::reconnectDialog(*client)->findChild<QPushButton*>(u"retryButton"_s);
        if (inLobby)
            QTRY_VERIFY(retry->isVisible() && P::reconnectDialog(*client)->isVisible());
        else
            QTRY_VERIFY(
                P::connectionStatusLabel(*client)->text().contains(u"CONNECT TO NETWORK tries again"_s));
        QTest::qWait(10 * kRetryMs); // past many retries: a retry not made is no event
        QVERIFY(lobby->received.size() == sent && lobby->handshakes == handshakes + 1);
        QCOMPARE(pinned(), u"00:11:22"_s);
        const int logins = lobby->count(u"login"_s);
        answerKeyPrompt(true);
        (inLobby ? retry : P::connectButton(*client))->click();
        QTRY_COMPARE(lobby->count(u"login"_s), logins + 1);
        QCOMPARE(lobby->last(u"login"_s).value(u"username"_s).toString(), u"alice"_s);
        QCOMPARE(pinned(), fingerprint);
    }
    void aServerSeenPlainIsUsedPlainForAWeek_data()
    {
        QTest::addColumn<int>("daysAgo");
        QTest::addColumn<int>("handshakes");
        QTest::newRow("a day ago: plain at once") << 1 << 0;
        QTest::newRow("eight days ago: sealed tried first") << 8 << 1;
    }
    // A lobby that hangs up on TLS, seen plain before: no handshake to wait out while that is recent.
    void aServerSeenPlainIsUsedPlainForAWeek()
    {
        QFETCH(int, daysAgo);
        settings.setValue(u"plain/"_s + QString::fromLatin1(lobby->endpoint()),
                          QDateTime::currentDateTimeUtc().addDays(-daysAgo));
        QVERIFY(loggedIn());
        QTEST(lobby->handshakes, "handshakes");
        QVERIFY(P::serverLabel(*client)->text().contains(u"· not sealed · "_s));
    }
    void withoutTlsOnlyAServerNeverSeenSealedIsUsedPlain_data()
    {
        QTest::addColumn<bool>("pinned");
        QTest::newRow("never sealed: plain login") << false;
        QTest::newRow("seen sealed: no connection, the reason shown") << true;
    }
    // Run by test_sealedclient_without_tls, on a TLS back-end that makes no sockets.
    void withoutTlsOnlyAServerNeverSeenSealedIsUsedPlain()
    {
        if (QSslSocket::supportsSsl())
            QSKIP("needs PELLORA_TEST_TLS_BACKEND=cert-only");
        QFETCH(bool, pinned);
        if (pinned) {
            pin(u"00:11:22"_s);
            startClient();
            QTRY_VERIFY(P::connectionStatusLabel(*client)->text().contains(u"cannot encrypt"_s));
            QCOMPARE(lobby->connections, 0);
            return;
        }
        QVERIFY(loggedIn());
        QCOMPARE(lobby->handshakes, 0);
        QVERIFY(P::serverLabel(*client)->text().contains(u"· not sealed · "_s));
    }
    void aServerSeenSealedIsNeverTriedPlain()
    {
        pin(fingerprint); // the fixture's lobby hangs up on TLS
        startClient();
        QTRY_VERIFY_WITH_TIMEOUT(lobby->handshakes >= 2, 8000);
        QVERIFY(lobby->connections == lobby->handshakes && lobby->received.isEmpty());
        QVERIFY(P::connectionStatusLabel(*client)->text().contains(u"sealed before"_s));
    }
    void onlyASealedJoinOffersCandidates_data() { sealedOrPlain(); }
    // Direct paths: only a sealed tunnel offers its addresses, on the tunnel's port, and takes pair keys.
    void onlyASealedJoinOffersCandidates()
    {
        QFETCH(bool, sealed);
        if (sealed)
            SKIP_UNLESS_TLS_SERVES();
        QVERIFY(inRoom(sealed));
        lobby->settledCount(*client);
        QCOMPARE(lobby->count(u"candidates"_s), sealed ? 1 : 0);
        QCOMPARE(lobby->last(u"candidates"_s).value(u"private"_s),
                 sealed ? QJsonValue(false) : QJsonValue(QJsonValue::Undefined));
        const QString port = u":"_s + QString::number(udp::localPort(P::tunnel(*client)->socket()));
        for (const QJsonValue& address : lobby->last(u"candidates"_s).value(u"addresses").toArray())
            QVERIFY2(address.toString().endsWith(port), qPrintable(address.toString()));
    }
    void eachOtherMemberShowsItsPathAcrossRoomUpdates()
    {
        SKIP_UNLESS_TLS_SERVES();
        QVERIFY(inRoom(true));
        VLANClient* c = client.get();
        lobby->send(directPeersWithBob());
        QTRY_COMPARE(P::tunnel(*c)->directPaths().status().size(), std::size_t(1));
        for (int update = 0; update < 2; ++update)
            QCOMPARE(pathsShown(), QStringList({QString(), u"relayed"_s, u"relayed"_s}));
        QCOMPARE(P::roomState(*c).members().at(1).path, u"relayed"_s); // the room state knows it too
        P::disconnectButton(*c)->click(); // leaving ends every pair
        QVERIFY(P::tunnel(*c)->directPaths().status().empty());
    }
    void aPrivateAddressOffersNoneAndTakesNoPeers_data()
    {
        QTest::addColumn<int>("turnedOn"); // 0 from the start, 1 in the lobby, 2 in the room
        QTest::newRow("on from the start") << 0;
        QTest::newRow("turned on in the lobby") << 1;
        QTest::newRow("turned on in the room") << 2;
    }
    // Said at login and in every candidates line; direct_peers are left alone; every path shows as private.
    void aPrivateAddressOffersNoneAndTakesNoPeers()
    {
        QFETCH(int, turnedOn);
        SKIP_UNLESS_TLS_SERVES();
        settings.setValue(u"privateAddress"_s, turnedOn == 0);
        settings.sync();
        QVERIFY(inRoom(true, [&] {
            // The server hears at once, so that no list made at the join names us.
            if (turnedOn == 1 && testwait::until([&] { return P::tunnel(*client)->sealed(); }))
                P::privateAddressBox(*client)->click();
        }));
        QCOMPARE(lobby->last(u"login"_s).value(u"private"_s),
                 turnedOn == 0 ? QJsonValue(true) : QJsonValue(QJsonValue::Undefined));
        if (turnedOn == 2) {
            lobby->send(directPeersWithBob());
            QTRY_COMPARE(P::tunnel(*client)->directPaths().status().size(), std::size_t(1));
            P::privateAddressBox(*client)->click();
            QVERIFY(P::tunnel(*client)->directPaths().status().empty());
        }
        lobby->settledCount(*client);
        const QJsonObject privateLine{
            {u"cmd"_s, u"candidates"_s}, {u"addresses"_s, QJsonArray()}, {u"private"_s, true}};
        QCOMPARE(lobby->count(u"candidates"_s), turnedOn == 0 ? 1 : 2);
        for (const QJsonObject& line : std::as_const(lobby->received))
            if (line.value(u"cmd"_s) == u"candidates"_s && turnedOn < 2)
                QCOMPARE(line, privateLine);
        QCOMPARE(lobby->last(u"candidates"_s), privateLine);
        lobby->send(directPeersWithBob());
        const QStringList paths = pathsShown(); // the peers came before
        QVERIFY(P::tunnel(*client)->directPaths().status().empty());
        QCOMPARE(paths, QStringList({QString(), u"relayed (private)"_s, u"relayed (private)"_s}));
        QCOMPARE(P::roomState(*client).members().at(2).path, u"private"_s);
    }
    void theRoutersPortFollowsInASecondCandidatesLine_data()
    {
        QTest::addColumn<QString>("setting"); // off first, or empty
        QTest::addColumn<bool>("mapped");
        QTest::newRow("on by default: mapped, offered, removed at leave") << QString() << true;
        QTest::newRow("turned off: the router is not asked") << u"openRouterPort"_s << false;
        QTest::newRow("private address: the router is not asked") << u"privateAddress"_s << false;
    }
    // The join's line goes at once, while the router still says nothing; its
    // public address:port follows in a line of its own.
    void theRoutersPortFollowsInASecondCandidatesLine()
    {
        QFETCH(QString, setting);
        QFETCH(bool, mapped);
        SKIP_UNLESS_TLS_SERVES();
        const auto router = std::make_shared<fakerouter::Router>();
        router->setHang(true);
        portmap::replaceSystemRouter(
            [router] { return std::make_unique<fakerouter::FakeRouter>(router); });
        if (!setting.isEmpty())
            settings.setValue(setting, setting == u"privateAddress"_s);
        settings.sync();
        QVERIFY(inRoom(true));
        const QString outside =
            u"198.51.100.7:"_s + QString::number(udp::localPort(P::tunnel(*client)->socket()));
        const auto addresses = [this] {
            return lobby->last(u"candidates"_s).value(u"addresses"_s).toArray();
        };
        lobby->settledCount(*client);
        QCOMPARE(lobby->count(u"candidates"_s), 1);
        QVERIFY(!addresses().contains(outside));
        if (mapped)
            QTRY_COMPARE(router->read(&fakerouter::Router::calls), 1);
        router->setHang(false);
        if (mapped)
            QTRY_COMPARE(lobby->count(u"candidates"_s), 2);
        lobby->settledCount(*client);
        QCOMPARE(lobby->count(u"candidates"_s), mapped ? 2 : 1);
        QCOMPARE(router->read(&fakerouter::Router::calls), mapped ? 1 : 0);
        if (mapped)
            QCOMPARE(addresses().first().toString(), outside);
        P::disconnectButton(*client)->click();
        QTRY_VERIFY(router->mapped().empty());
    }
    void aSealedRoomsLinkNamesTheServersKey()
    {
        SKIP_UNLESS_TLS_SERVES();
        QVERIFY(inRoom(true));
        P::copyInviteButton(*client)->click();
        // In the form the server logs for its operator.
        QCOMPARE(QApplication::clipboard()->text(),
                 u"pellora://%1/Alpha?key=%2"_s.arg(lobby->endpoint(), tls::linkFingerprint(fingerprint)));
    }
    void aKeyedLinkLeadsOnlyToTheServerWithThatKey_data()
    {
        QTest::addColumn<bool>("sealedLobby");
        QTest::addColumn<bool>("linkNamesItsKey");
        QTest::addColumn<bool>("otherKeyPinned");
        QTest::addColumn<QString>("refusal"); // empty: logs in
        QTest::newRow("first contact: pinned, then logged in sealed") << true << true << false << QString();
        QTest::newRow("another key shown: nothing sent")
            << true << false << false << u"shows another key than its invite link names"_s;
        QTest::newRow("no TLS: nothing sent") << false << true << false << u"does not answer sealed (TLS)"_s;
        QTest::newRow("another key pinned: no connection")
            << true << true << true << u"the server key it names is not the key %1 showed before"_s;
    }
    void aKeyedLinkLeadsOnlyToTheServerWithThatKey()
    {
        QFETCH(bool, sealedLobby);
        QFETCH(bool, linkNamesItsKey);
        QFETCH(bool, otherKeyPinned);
        QFETCH(QString, refusal);
        if (sealedLobby) {
            SKIP_UNLESS_TLS_SERVES();
            lobby = std::make_unique<FakeLobby>(identity);
        }
        const QString otherKey = QString::fromLatin1(QByteArray(32, 'o').toHex(':'));
        const QString linkKey = linkNamesItsKey ? fingerprint : otherKey;
        if (otherKeyPinned)
            pin(otherKey);
        settings.setValue(u"username"_s, u"alice"_s);
        shown(); // on another server
        const NextBox first(QMessageBox::Yes);
        client->openInviteLink(invite::formatLink({u"127.0.0.1"_s, lobby->port()}, u"Den"_s, linkKey));
        if (otherKeyPinned) {
            QCOMPARE(first.title, u"Invite Link"_s);
            QVERIFY2(first.text.contains(refusal.arg(QString::fromLatin1(lobby->endpoint()))),
                     qPrintable(first.text));
            QTest::qWait(100); // a connection wrongly begun would be in by now; its absence is no event
            QVERIFY(lobby->connections == 0 && pinned() == otherKey);
            return;
        }
        QCOMPARE(first.title, u"Switch Server"_s);
        QVERIFY(pinned() == linkKey && lobby->connections == 0); // pinned before connecting
        if (refusal.isEmpty()) {
            QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"alice"_s);
            QVERIFY(lobby->handshakes == lobby->connections && P::connection(*client)->sealed());
            return;
        }
        const NextBox refused;
        QTRY_VERIFY(!refused.title.isEmpty());
        QVERIFY2(refused.text.contains(refusal), qPrintable(refused.text));
        QVERIFY(lobby->handshakes >= 1 && lobby->received.isEmpty());
        QCOMPARE(pinned(), linkKey);
    }
    // A pair key at its ask threshold asks once; a used-up tunnel key asks at the next beat.
    void usedUpKeysAreAskedForAnew()
    {
        SKIP_UNLESS_TLS_SERVES();
        QVERIFY(inRoom(true));
        VLANClient* c = client.get();
        P::tunnel(*c)->directPaths().keyAskAt = 0;
        lobby->send(directPeersWithBob({}));
        QTRY_COMPARE(lobby->count(u"rekey"_s), 1);
        QCOMPARE(lobby->last(u"rekey"_s).value(u"pair"_s).toInt(), 7);
        P::tunnel(*c)->seal().setKeyUses(0);
        QTRY_COMPARE_WITH_TIMEOUT(lobby->count(u"rekey"_s), 2, 5000); // the beat comes every 2 s
        QVERIFY(!lobby->last(u"rekey"_s).contains(u"pair"_s));
    }
};

PELLORA_TEST_MAIN(TestSealedClient)
#include "test_sealedclient.moc"
