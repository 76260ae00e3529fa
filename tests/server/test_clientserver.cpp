// The real client against the real server on loopback: login, room list,
// chat both ways, taking its session back, and its heartbeats at the relay.
#include "tests/server/serverharness.h"
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>

using namespace harness;
using P = ClientProbe;

class TestClientServer : public QObject
{
    Q_OBJECT

private slots:
    void clientLogsInListsRoomsChatsAndComesBack()
    {
        std::unique_ptr<LobbyServer> server = startServer(testConfig());
        QVERIFY(server);
        ControlClient bob(server->port());
        bob.login(QStringLiteral("bob"));
        bob.createRoom(QStringLiteral("Alpha"));
        qputenv("PELLORA_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(server->port()));
        VLANClient client;
        client.show();
        P::nicknameInput(client)->setText(QStringLiteral("alice"));
        P::connectButton(client)->click();
        QTRY_COMPARE(P::pageStack(client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(client)));
        const QString firstId = P::clientId(client);
        QCOMPARE(firstId.size(), 32);
        QTRY_COMPARE(P::roomList(client)->count(), 1); // the room list arrives on its own after the login
        QCOMPARE(P::roomList(client)->item(0)->text(), QStringLiteral("Alpha"));
        QTRY_VERIFY(P::onlineUserList(client)->findItems(QStringLiteral("bob"), Qt::MatchExactly).size() == 1);

        bob.send(command(QStringLiteral("global_chat"), {{QStringLiteral("message"), QStringLiteral("hello alice")}}));
        QTRY_VERIFY(P::globalChatView(client)->toPlainText().contains(QStringLiteral("hello alice")));
        P::globalChatInput(client)->setText(QStringLiteral("hi bob"));
        P::globalSendButton(client)->click();
        const auto fromAlice = [](const QJsonObject& m) { return m.value(QStringLiteral("sender")).toString() == QStringLiteral("alice"); };
        QCOMPARE(bob.until(QStringLiteral("global_chat"), fromAlice).value(QStringLiteral("message")).toString(), QStringLiteral("hi bob"));
        // The client's heartbeats (every 2 s) are accepted by the relay.
        QVERIFY(waitForStat(*server, QStringLiteral("heartbeats"), 1, 5000));
        QCOMPARE(statValue(*server, QStringLiteral("dropped_unknown_client")), 0);

        // Its logins carry its id, so after a lost connection it gets its session back, with a fresh id.
        P::sendControlMessage(client, QJsonObject{{QStringLiteral("pad"), QString(70000, QLatin1Char('p'))}}); // the server closes on this
        QTRY_VERIFY_WITH_TIMEOUT(P::clientId(client) != firstId && P::clientId(client).size() == 32, 8000);
        QCOMPARE(server->lobby().sessionCount(), 2);
    }
};

PELLORA_TEST_MAIN(TestClientServer)
#include "test_clientserver.moc"
