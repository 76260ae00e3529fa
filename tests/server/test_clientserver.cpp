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
#include <QTextEdit>

using namespace harness;
using P = ClientProbe;

class TestClientServer : public QObject
{
    Q_OBJECT

private slots:
    void clientLogsInListsRoomsChatsAndComesBack()
    {
        std::unique_ptr<LobbyServer> server = startServer();
        QVERIFY(server);
        ControlClient bob(server->port());
        bob.login("bob");
        bob.createRoom("Alpha");
        qputenv("PELLORA_SERVER", "127.0.0.1:" + QByteArray::number(server->port()));
        VLANClient client;
        client.show();
        P::nicknameInput(client)->setText("alice");
        P::connectButton(client)->click();
        QTRY_COMPARE(P::pageStack(client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(client)));
        const QString firstId = P::clientId(client);
        QCOMPARE(firstId.size(), 32);
        QTRY_COMPARE(P::roomList(client)->count(), 1); // the room list arrives on its own after the login
        QCOMPARE(P::roomList(client)->item(0)->text(), "Alpha");
        QTRY_COMPARE(P::onlineUserList(client)->findItems("bob", Qt::MatchExactly).size(), 1);
        bob.send("global_chat", {{"message", "hello alice"}});
        QTRY_VERIFY(P::globalChatView(client)->toPlainText().contains("hello alice"));
        P::globalChatInput(client)->setText("hi bob");
        P::globalSendButton(client)->click();
        QCOMPARE(
            bob.until("global_chat", [](const QJsonObject& m) { return m["sender"] == "alice"; })["message"],
            "hi bob");
        // The client's heartbeats (every 2 s) are accepted by the relay.
        QVERIFY(waitForStat(*server, "heartbeats", 1, 5000));
        QCOMPARE(statValue(*server, "dropped_unknown_client"), 0);
        // Its logins carry its id, so after a lost connection it gets its session back, with a fresh id.
        P::sendControlMessage(client, {{"pad", QString(70000, 'p')}}); // the server closes on this
        QTRY_VERIFY_WITH_TIMEOUT(P::clientId(client) != firstId && P::clientId(client).size() == 32, 8000);
        QCOMPARE(server->lobby().sessionCount(), 2);
    }
};

PELLORA_TEST_MAIN(TestClientServer)
#include "test_clientserver.moc"
