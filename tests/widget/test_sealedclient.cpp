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

    void pin(const FakeLobby& lobby, const QString& key)
    {
        settings.setValue(pinning::settingsKey(QString::fromLatin1(lobby.endpoint())), key);
        settings.sync();
    }
    QString pinned(const FakeLobby& lobby)
    {
        settings.sync();
        return settings.value(pinning::settingsKey(QString::fromLatin1(lobby.endpoint()))).toString();
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
        QVERIFY2(P::serverLabel(*c)->text().contains(u"· sealed · "_s),
                 qPrintable(P::serverLabel(*c)->text()));
    }

    void aChangedKeyIsRefusedAndNothingIsSent()
    {
        FakeLobby lobby(identity);
        pin(lobby, u"00:11:22"_s);
        answerChangedKey(u"Stay disconnected"_s);
        const auto c = startClient(lobby);
        QTRY_VERIFY(P::connectionStatusLabel(*c)->text().contains(u"changed"_s));
        QTest::qWait(3500); // past a reconnect interval: no new attempt either
        QCOMPARE(lobby.received.size(), 0);
        QCOMPARE(lobby.handshakes, 1);
        QCOMPARE(pinned(lobby), u"00:11:22"_s);
    }

    void anAcceptedKeyIsPinnedAndTheLoginGoes()
    {
        FakeLobby lobby(identity);
        pin(lobby, u"00:11:22"_s);
        answerChangedKey(u"Accept the new key"_s);
        const auto c = startClient(lobby);
        QCOMPARE(lobby.waitForCommand(u"login"_s).value(u"username"_s).toString(), u"alice"_s);
        QCOMPARE(pinned(lobby), fingerprint);
    }

    void aServerSeenSealedIsNeverTriedPlain()
    {
        FakeLobby lobby; // hangs up on TLS
        pin(lobby, fingerprint);
        const auto c = startClient(lobby);
        QTRY_VERIFY_WITH_TIMEOUT(lobby.handshakes >= 2, 8000);
        QCOMPARE(lobby.connections, lobby.handshakes);
        QCOMPARE(lobby.received.size(), 0);
        QVERIFY(P::connectionStatusLabel(*c)->text().contains(u"sealed before"_s));
    }

    void aServerWithoutTlsIsUsedPlainAndSaidNotSealed()
    {
        FakeLobby lobby;
        const auto c = lobby.loggedInClient(u"alice"_s);
        QVERIFY(c);
        QVERIFY2(P::serverLabel(*c)->text().contains(u"· not sealed · "_s),
                 qPrintable(P::serverLabel(*c)->text()));
        QVERIFY(pinned(lobby).isEmpty());
    }
};

PELLORA_TEST_MAIN(TestSealedClient)
#include "test_sealedclient.moc"
