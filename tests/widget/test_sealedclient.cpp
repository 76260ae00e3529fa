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

class TestSealedClient : public QObject, ClientFixture
{
    Q_OBJECT
    const tls::Identity identity = freshIdentity();
    const QString fingerprint = tls::fingerprint(identity.certificate);

    QString pinKey() const { return pinning::settingsKey(QString::fromLatin1(lobby->endpoint())); }
    void pin(const QString& key) { settings.setValue(pinKey(), key), settings.sync(); }
    QString pinned() { return settings.sync(), settings.value(pinKey()).toString(); }
    void startClient() // logging in as alice, without waiting for the lobby
    {
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        P::nicknameInput(*client)->setText(u"alice"_s);
        P::connectButton(*client)->click();
    }

private slots:
    void init() { reset(); }

    void theFirstKeyIsPinnedAndTheLineSaysSealed()
    {
        QVERIFY(QSslSocket::supportsSsl());
        lobby = std::make_unique<FakeLobby>(identity);
        QVERIFY(loggedIn());
        QCOMPARE(pinned(), fingerprint);
        QVERIFY(P::serverLabel(*client)->text().contains(u"· sealed · "_s));
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
        lobby = std::make_unique<FakeLobby>(identity);
        pin(u"00:11:22"_s);
        answerChangedKey(accept ? u"Accept the new key"_s : u"Stay disconnected"_s);
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

    void aServerSeenSealedIsNeverTriedPlain()
    {
        pin(fingerprint); // the fixture's lobby hangs up on TLS
        startClient();
        QTRY_VERIFY_WITH_TIMEOUT(lobby->handshakes >= 2, 8000);
        QVERIFY(lobby->connections == lobby->handshakes && lobby->received.isEmpty());
        QVERIFY(P::connectionStatusLabel(*client)->text().contains(u"sealed before"_s));
    }

    void aServerWithoutTlsIsUsedPlainAndSaidNotSealed()
    {
        QVERIFY(loggedIn());
        QVERIFY(P::serverLabel(*client)->text().contains(u"· not sealed · "_s));
        QVERIFY(pinned().isEmpty());
    }
};

PELLORA_TEST_MAIN(TestSealedClient)
#include "test_sealedclient.moc"
