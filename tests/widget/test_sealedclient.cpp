// The client's sealed control channel against a fake lobby that speaks TLS
// (or hangs up on it): the server's key pinned on first use, a changed key
// refused, no plain connection to a server seen sealed, the server line.
#include "lobby/pinning.h"
#include "tests/support/fakelobby.h"
#include "ui/symbols.h"

#include <QListWidget>

class TestSealedClient : public QObject, ClientFixture
{
    Q_OBJECT
    QString error;
    const tls::Identity identity = tls::loadIdentity({}, {}, {}, &error); // a fresh one
    const QString fingerprint = tls::fingerprint(identity.certificate);

    QString pinKey() const { return pinning::settingsKey(QString::fromLatin1(lobby->endpoint())); }
    void pin(const QString& key) { settings.setValue(pinKey(), key), settings.sync(); }
    QString pinned() { return settings.sync(), settings.value(pinKey()).toString(); }
    void startClient() // logging in as alice, without waiting for the lobby
    {
        shown(lobby->endpoint());
        P::nicknameInput(*client)->setText(u"alice"_s);
        P::connectButton(*client)->click();
    }
    // Logged in as alice (with a tunnel key when `sealed`) and in room Alpha.
    bool inRoom(bool sealed)
    {
        if (sealed)
            lobby = std::make_unique<FakeLobby>(identity);
        if (!loggedIn(u"alice"_s))
            return false;
        if (sealed)
            lobby->send(control::message(u"tunnel_key"_s, {{u"tunnel_key"_s, QString(43, u'A') + u'='},
                                                           {u"tunnel_index"_s, u"1"_s},
                                                           {u"tunnel_phase"_s, u"0"_s}}));
        return joined();
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
    static void sealedOrPlain()
    {
        QTest::addColumn<bool>("sealed");
        QTest::newRow("sealed") << true;
        QTest::newRow("plain") << false;
    }

private slots:
    void init() { reset(); }
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
    void aChangedKeyIsUsedOnlyOnceAccepted_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("refused: nothing sent, no new attempt") << false;
        QTest::newRow("accepted: pinned, logged in") << true;
    }
    void aChangedKeyIsUsedOnlyOnceAccepted()
    {
        QFETCH(bool, accept);
        SKIP_UNLESS_TLS_SERVES();
        lobby = std::make_unique<FakeLobby>(identity);
        pin(u"00:11:22"_s);
        testenv::whenModal([accept](QWidget* question) { // answered with the named button
            for (QAbstractButton* button : question->findChildren<QAbstractButton*>())
                if (button->text() == (accept ? u"Accept the new key"_s : u"Stay disconnected"_s))
                    button->click();
        });
        startClient();
        if (accept) {
            QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"alice"_s);
        } else {
            QTRY_VERIFY(P::connectionStatusLabel(*client)->text().contains(u"changed"_s));
            QTest::qWait(3500); // past a reconnect interval
            QVERIFY(lobby->received.isEmpty() && lobby->handshakes == 1);
        }
        QCOMPARE(pinned(), accept ? fingerprint : u"00:11:22"_s);
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
        const QString port = u":"_s + QString::number(udp::localPort(P::tunnelSocket(*client)));
        for (const QJsonValue& address : lobby->last(u"candidates"_s).value(u"addresses").toArray())
            QVERIFY2(address.toString().endsWith(port), qPrintable(address.toString()));
    }
    void eachOtherMemberShowsItsPathAcrossRoomUpdates()
    {
        SKIP_UNLESS_TLS_SERVES();
        QVERIFY(inRoom(true));
        VLANClient* c = client.get();
        const QJsonObject bob{{u"username"_s, u"bob"_s}, {u"vip"_s, u"10.8.0.3"_s}, {u"pair"_s, u"7"_s},
                              {u"side"_s, 1}, {u"key"_s, QString::fromLatin1(QByteArray(32, 'k').toBase64())},
                              {u"candidates"_s, QJsonArray{u"127.0.0.1:9"_s}}};
        lobby->send({{u"cmd"_s, u"direct_peers"_s}, {u"peers"_s, QJsonArray{bob}}});
        QTRY_COMPARE(P::directPaths(*c)->status().size(), std::size_t(1));
        for (int update = 0; update < 2; ++update) {
            QJsonArray members;
            for (const QString& name : {u"alice"_s, u"bob"_s, u"carol"_s})
                members.append(QJsonObject{{u"username"_s, name}, {u"vip"_s, u"10.8.0.9"_s}});
            lobby->send({{u"cmd"_s, u"room_update"_s}, {u"peers"_s, members}});
            QTRY_COMPARE(P::peerList(*c)->count(), 3);
            QCOMPARE(P::peerList(*c)->item(0)->data(symbols::kDetailRole).toString(), QString());
            QCOMPARE(P::peerList(*c)->item(1)->data(symbols::kDetailRole).toString(), u"relayed"_s);
            QCOMPARE(P::peerList(*c)->item(2)->data(symbols::kDetailRole).toString(), u"relayed"_s);
        }
        P::disconnectButton(*c)->click(); // leaving ends every pair
        QVERIFY(P::directPaths(*c)->status().empty());
    }
    // A pair key at its ask threshold asks once; a used-up tunnel key asks at the next beat.
    void usedUpKeysAreAskedForAnew()
    {
        SKIP_UNLESS_TLS_SERVES();
        QVERIFY(inRoom(true));
        VLANClient* c = client.get();
        P::directPaths(*c)->keyAskAt = 0;
        const QJsonObject bob{{u"username"_s, u"bob"_s}, {u"vip"_s, u"10.8.0.3"_s}, {u"pair"_s, u"7"_s},
                              {u"side"_s, 1}, {u"key"_s, QString::fromLatin1(QByteArray(32, 'k').toBase64())},
                              {u"candidates"_s, QJsonArray{}}};
        lobby->send({{u"cmd"_s, u"direct_peers"_s}, {u"peers"_s, QJsonArray{bob}}});
        QTRY_COMPARE(lobby->count(u"rekey"_s), 1);
        QCOMPARE(lobby->last(u"rekey"_s).value(u"pair"_s).toInt(), 7);
        P::tunnelSeal(*c)->setKeyUses(0);
        QTRY_COMPARE_WITH_TIMEOUT(lobby->count(u"rekey"_s), 2, 5000); // the beat comes every 2 s
        QVERIFY(!lobby->last(u"rekey"_s).contains(u"pair"_s));
    }
};

PELLORA_TEST_MAIN(TestSealedClient)
#include "test_sealedclient.moc"
