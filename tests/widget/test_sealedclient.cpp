// The client's sealed control channel against a fake lobby that speaks TLS
// (or hangs up on it): the server's key pinned on first use, a changed key
// refused, no plain connection to a server seen sealed, the server line.
#include "lobby/pinning.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QLabel>

namespace {
tls::Identity freshIdentity()
{
    QString error;
    return tls::loadIdentity({}, {}, {}, &error);
}
// Answers the changed-key question with the button named `choice`.
void answerChangedKey(const QString& choice)
{
    testenv::whenModal([choice](QWidget* modal) {
        for (QAbstractButton* button : modal->findChildren<QAbstractButton*>())
            if (button->text() == choice)
                button->click();
    });
}
} // namespace

class TestSealedClient : public QObject
{
    Q_OBJECT
    QSettings settings{u"Zentho"_s, u"Launcher"_s};
    const tls::Identity identity = freshIdentity();
    const QString fingerprint = tls::fingerprint(identity.certificate);

    static QString pinKey(const FakeLobby& lobby)
    {
        return pinning::settingsKey(QString::fromLatin1(lobby.endpoint()));
    }
    void pin(const FakeLobby& lobby, const QString& key)
    {
        settings.setValue(pinKey(lobby), key), settings.sync();
    }
    QString pinned(const FakeLobby& lobby)
    {
        return settings.sync(), settings.value(pinKey(lobby)).toString();
    }
    std::unique_ptr<VLANClient> startClient(const FakeLobby& lobby)
    {
        qputenv("PELLORA_SERVER", lobby.endpoint());
        auto c = std::make_unique<VLANClient>();
        P::nicknameInput(*c)->setText(u"alice"_s);
        P::connectButton(*c)->click();
        return c;
    }

private slots:
    void init() { settings.clear(); }

    void theFirstKeyIsPinnedAndTheLineSaysSealed()
    {
        QVERIFY(QSslSocket::supportsSsl());
        FakeLobby lobby(identity);
        const auto c = lobby.loggedInClient(u"alice"_s);
        QVERIFY(c);
        QCOMPARE(pinned(lobby), fingerprint);
        QVERIFY(P::serverLabel(*c)->text().contains(u"· sealed · "_s));
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
        FakeLobby lobby(identity);
        pin(lobby, u"00:11:22"_s);
        answerChangedKey(accept ? u"Accept the new key"_s : u"Stay disconnected"_s);
        const auto c = startClient(lobby);
        if (accept) {
            QCOMPARE(lobby.waitForCommand(u"login"_s).value(u"username"_s).toString(), u"alice"_s);
        } else {
            QTRY_VERIFY(P::connectionStatusLabel(*c)->text().contains(u"changed"_s));
            QTest::qWait(3500); // past a reconnect interval
            QVERIFY(lobby.received.isEmpty() && lobby.handshakes == 1);
        }
        QCOMPARE(pinned(lobby), accept ? fingerprint : u"00:11:22"_s);
    }

    void aServerSeenSealedIsNeverTriedPlain()
    {
        FakeLobby lobby; // hangs up on TLS
        pin(lobby, fingerprint);
        const auto c = startClient(lobby);
        QTRY_VERIFY_WITH_TIMEOUT(lobby.handshakes >= 2, 8000);
        QVERIFY(lobby.connections == lobby.handshakes && lobby.received.isEmpty());
        QVERIFY(P::connectionStatusLabel(*c)->text().contains(u"sealed before"_s));
    }

    void aServerWithoutTlsIsUsedPlainAndSaidNotSealed()
    {
        FakeLobby lobby;
        const auto c = lobby.loggedInClient(u"alice"_s);
        QVERIFY(c);
        QVERIFY(P::serverLabel(*c)->text().contains(u"· not sealed · "_s));
        QVERIFY(pinned(lobby).isEmpty());
    }
};

PELLORA_TEST_MAIN(TestSealedClient)
#include "test_sealedclient.moc"
