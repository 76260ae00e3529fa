// The client against a fake lobby server on loopback: connection status,
// login, reconnection and the lobby messages.
#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>

using P = ClientProbe;

class TestLobby : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;
    QSettings settings{QStringLiteral("Zentho"), QStringLiteral("Launcher")};

    void loggedIn()
    {
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(lobby->waitForClient());
        P::nicknameInput(*client)->setText(QStringLiteral("Alice"));
        P::connectButton(*client)->click();
        QVERIFY(!lobby->waitForCommand(QStringLiteral("login")).isEmpty());
        lobby->send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
        QTRY_COMPARE(P::pageStack(*client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(*client)));
    }

    bool statusReads(const QString& text)
    {
        return QTest::qWaitFor([&] {
            const QList<QLabel*> labels = P::loginPage(*client)->findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == text; });
        });
    }

private slots:
    void init()
    {
        settings.clear();
        lobby = std::make_unique<FakeLobby>();
    }

    void cleanup() { client.reset(); }

    // Server down: the page says so and retries; a nickname typed meanwhile is
    // saved and logs in the moment the server is up.
    void loginWaitsForTheServer()
    {
        const quint16 port = lobby->port();
        const QString server = QStringLiteral("127.0.0.1:%1").arg(port);
        lobby->server.close();
        qputenv("PELLORA_SERVER", server.toLatin1());
        client = std::make_unique<VLANClient>();
        QVERIFY(statusReads(QStringLiteral("Cannot reach %1 — retrying every 3 s").arg(server)));
        P::nicknameInput(*client)->setText(QStringLiteral("   "));
        P::connectButton(*client)->click();
        QVERIFY(!settings.contains(QStringLiteral("username")));
        P::nicknameInput(*client)->setText(QStringLiteral("  Bob "));
        QTest::keyClick(P::nicknameInput(*client), Qt::Key_Return);
        QCOMPARE(settings.value(QStringLiteral("username")).toString(), QStringLiteral("Bob"));
        QVERIFY(!P::reconnectDialog(*client)->isVisible());

        QVERIFY(lobby->server.listen(QHostAddress::LocalHost, port));
        QVERIFY(lobby->waitForClient(5000));
        QCOMPARE(lobby->waitForCommand(QStringLiteral("login")).value(QStringLiteral("username")).toString(),
                 QStringLiteral("Bob"));
        QVERIFY(statusReads(QStringLiteral("Connected to %1").arg(server)));
        P::connectButton(*client)->click(); // each press logs in again
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 2);
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));
    }

    void lobbyMessages()
    {
        loggedIn();
        QVERIFY(!lobby->waitForCommand(QStringLiteral("get_rooms")).isEmpty());
        QVERIFY(P::heartbeatTimer(*client)->interval() == 2000 && P::refreshTimer(*client)->interval() == 5000);
        QVERIFY(P::heartbeatTimer(*client)->isActive() && P::clientId(*client) == QLatin1String("c1"));
        // Two lines in one segment, in order; junk and mis-cased commands change nothing.
        lobby->sendRaw("{\"cmd\":\"room_list\",\"rooms\":[\"A\",\"B\",\"C\"]}\n{\"cmd\":\"room_list\",\"rooms\":"
                       "[\"D\",\"E 🔒\"]}\r\ngarbage\n[1]\n{\"cmd\":\"ROOM_LIST\",\"rooms\":[]}\n\n");
        QTRY_COMPARE(P::roomList(*client)->count(), 2);
        QCOMPARE(P::roomList(*client)->item(1)->text(), QStringLiteral("E 🔒"));
        P::roomList(*client)->setCurrentRow(1);
        // Half a line waits for its line feed; lists are replaced wholesale.
        lobby->sendRaw("{\"cmd\":\"room_list\",\"ro");
        QTest::qWait(100);
        lobby->sendRaw("oms\":[\"X\"]}\n{\"cmd\":\"online_users\",\"users\":[\"Alice\",7,\"Bob\"]}\n");
        QTRY_COMPARE(P::onlineUserList(*client)->count(), 3);
        QCOMPARE(P::roomList(*client)->count(), 1);
        QCOMPARE(P::roomList(*client)->currentItem(), nullptr);
        QCOMPARE(P::onlineUserList(*client)->item(1)->text(), QString());
        // An error box holds back the lines behind it until it is closed.
        int listedWhileOpen = -1;
        testenv::whenModal([&](QWidget* box) {
            QTest::qWait(200);
            listedWhileOpen = P::roomList(*client)->count();
            qobject_cast<QMessageBox*>(box)->accept();
        });
        lobby->sendRaw("{\"cmd\":\"error\",\"message\":\"first\"}\n{\"cmd\":\"room_list\"}\n");
        QTRY_COMPARE(P::roomList(*client)->count(), 0);
        QCOMPARE(listedWhileOpen, 1);

        // A lost connection shows the notice until it is back (within one 3 s
        // retry) and logs in again; an endless line is cut off, not buffered.
        lobby->dropClient();
        QTRY_VERIFY(P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->waitForClient(4500));
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 2);
        QTRY_VERIFY(!P::reconnectDialog(*client)->isVisible());
        QCOMPARE(P::clientId(*client), QStringLiteral("c1")); // kept while down
        for (int i = 0; i < 18 && lobby->client; ++i) {
            lobby->sendRaw(QByteArray(64 * 1024, 'a'));
            QTest::qWait(5);
        }
        QTRY_VERIFY_WITH_TIMEOUT(lobby->connections > 2, 5000);
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 3);
    }
};

PELLORA_TEST_MAIN(TestLobby)
#include "test_lobby.moc"
