// The client against a fake lobby server on loopback: connection, login,
// reconnection and the lobby messages.
#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QDialog>
#include <QJsonArray>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <memory>

using P = ClientProbe;

class TestLobby : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;

    void startClient()
    {
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(lobby->waitForClient());
    }

    void loginAs(const QString& name)
    {
        P::nicknameInput(*client)->setText(name);
        P::connectButton(*client)->click();
        QVERIFY(!lobby->waitForCommand(QStringLiteral("login")).isEmpty());
        lobby->send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
        QTRY_COMPARE(P::pageStack(*client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(*client)));
    }

private slots:
    void init()
    {
        QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).clear();
        lobby = std::make_unique<FakeLobby>();
    }

    void cleanup()
    {
        client.reset();
        lobby.reset();
    }

    void loginSendsTrimmedNicknameAndSavesIt()
    {
        startClient();
        P::nicknameInput(*client)->setText(QStringLiteral("  Alice  "));
        QTest::keyClick(P::nicknameInput(*client), Qt::Key_Return);
        const QJsonObject login = lobby->waitForCommand(QStringLiteral("login"));
        QCOMPARE(login.value(QStringLiteral("username")).toString(), QStringLiteral("Alice"));
        QCOMPARE(QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).value(QStringLiteral("username")).toString(),
                 QStringLiteral("Alice"));
        // Still on the login page until the server accepts.
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));

        P::connectButton(*client)->click();
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 2);
    }

    void blankNicknameSendsNothing()
    {
        startClient();
        P::nicknameInput(*client)->setText(QStringLiteral("   "));
        P::connectButton(*client)->click();
        QTest::qWait(200);
        QCOMPARE(lobby->received.size(), 0);
        QVERIFY(P::nickname(*client).isEmpty());
        QVERIFY(!QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).contains(QStringLiteral("username")));
    }

    void savedNicknameLogsInOnConnect()
    {
        // Server down at start: the nickname is kept and sent once it comes up.
        const quint16 port = lobby->port();
        lobby->server.close();
        qputenv("PELLORA_SERVER", "127.0.0.1:" + QByteArray::number(port));
        client = std::make_unique<VLANClient>();
        P::nicknameInput(*client)->setText(QStringLiteral("Bob"));
        P::connectButton(*client)->click();
        QTRY_VERIFY(P::reconnectTimer(*client)->isActive());
        QVERIFY(!P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->server.listen(QHostAddress::LocalHost, port));
        QVERIFY(lobby->waitForClient(5000));
        QCOMPARE(lobby->waitForCommand(QStringLiteral("login")).value(QStringLiteral("username")).toString(),
                 QStringLiteral("Bob"));
        QVERIFY(!P::reconnectTimer(*client)->isActive());
    }

    void loginOkShowsLobbyAndRequestsRooms()
    {
        startClient();
        QVERIFY(!P::heartbeatTimer(*client)->isActive());
        QVERIFY(!P::refreshTimer(*client)->isActive());
        loginAs(QStringLiteral("Alice"));
        QCOMPARE(P::clientId(*client), QStringLiteral("c1"));
        QVERIFY(!lobby->waitForCommand(QStringLiteral("get_rooms")).isEmpty());
        QCOMPARE(P::heartbeatTimer(*client)->interval(), 2000);
        QCOMPARE(P::refreshTimer(*client)->interval(), 5000);
        QVERIFY(P::heartbeatTimer(*client)->isActive());
        QVERIFY(P::refreshTimer(*client)->isActive());
    }

    void loginOkWithoutIdRequestsNothing()
    {
        startClient();
        P::nicknameInput(*client)->setText(QStringLiteral("Alice"));
        P::connectButton(*client)->click();
        lobby->waitForCommand(QStringLiteral("login"));
        lobby->sendRaw("{\"cmd\":\"login_ok\"}\n");
        QTRY_COMPARE(P::pageStack(*client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(*client)));
        QTest::qWait(100);
        QCOMPARE(lobby->count(QStringLiteral("get_rooms")), 0);
    }

    void linesAreFramedAcrossSegments()
    {
        startClient();
        loginAs(QStringLiteral("Alice"));
        // Two lines in one segment, in order.
        lobby->sendRaw("{\"cmd\":\"room_list\",\"rooms\":[\"A\",\"B\",\"C\"]}\n"
                       "{\"cmd\":\"room_list\",\"rooms\":[\"D\"]}\r\n");
        QTRY_COMPARE(P::roomList(*client)->count(), 1);
        QCOMPARE(P::roomList(*client)->item(0)->text(), QStringLiteral("D"));

        // One line split across segments waits for its line feed.
        lobby->sendRaw("{\"cmd\":\"online_users\",\"us");
        QTest::qWait(100);
        QCOMPARE(P::onlineUserList(*client)->count(), 0);
        lobby->sendRaw("ers\":[\"x\",\"y\"]}");
        QTest::qWait(100);
        QCOMPARE(P::onlineUserList(*client)->count(), 0);
        lobby->sendRaw("\n");
        QTRY_COMPARE(P::onlineUserList(*client)->count(), 2);
    }

    void listsAreReplacedWholesale()
    {
        startClient();
        loginAs(QStringLiteral("Alice"));
        lobby->sendRaw("{\"cmd\":\"room_list\",\"rooms\":[\"One\",\"Two 🔒\",\"Three\"]}\n");
        QTRY_COMPARE(P::roomList(*client)->count(), 3);
        QCOMPARE(P::roomList(*client)->item(1)->text(), QStringLiteral("Two 🔒"));
        P::roomList(*client)->setCurrentRow(1);
        lobby->sendRaw("{\"cmd\":\"room_list\",\"rooms\":[\"X\",\"Y\",\"Z\"]}\n");
        QTRY_COMPARE(P::roomList(*client)->item(0)->text(), QStringLiteral("X"));
        QCOMPARE(P::roomList(*client)->count(), 3);
        QCOMPARE(P::roomList(*client)->currentItem(), nullptr);

        // Junk, arrays, unknown and mis-cased commands change nothing.
        lobby->sendRaw("garbage\n[1,2]\n{\"cmd\":\"ROOM_LIST\",\"rooms\":[]}\n{\"cmd\":\"nope\"}\n\n");
        lobby->sendRaw("{\"cmd\":\"online_users\",\"users\":[\"Alice\",7,\"Bob\"]}\n");
        QTRY_COMPARE(P::onlineUserList(*client)->count(), 3);
        QCOMPARE(P::roomList(*client)->count(), 3);
        QCOMPARE(P::onlineUserList(*client)->item(1)->text(), QString());

        lobby->sendRaw("{\"cmd\":\"room_list\"}\n");
        QTRY_COMPARE(P::roomList(*client)->count(), 0);
    }

    void chatTextIsShownLiterally()
    {
        startClient();
        loginAs(QStringLiteral("Alice"));
        lobby->send(control::message(QStringLiteral("global_chat"),
                                     {{QStringLiteral("sender"), QStringLiteral("<i>Eve</i>")},
                                      {QStringLiteral("message"), QStringLiteral("<img src=http://x/y.png> %1 %2")}}));
        QTRY_VERIFY(!P::globalChatView(*client)->toPlainText().isEmpty());
        const QString plain = P::globalChatView(*client)->toPlainText();
        QCOMPARE(plain, QStringLiteral("[<i>Eve</i>]: <img src=http://x/y.png> %1 %2"));
        QVERIFY(!P::globalChatView(*client)->toHtml().contains(QStringLiteral("<img")));
    }

    void errorWaitsForEarlierBox()
    {
        startClient();
        loginAs(QStringLiteral("Alice"));
        QStringList shown;
        // Close each box after a pause; record the order of the texts.
        std::function<void(QWidget*)> closeBox = [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box)
                return;
            shown << box->windowTitle() + QLatin1Char('|') + box->text();
            if (shown.size() == 1) {
                // Another error arrives while the first box is open.
                lobby->sendRaw("{\"cmd\":\"error\",\"message\":\"second <b>x</b>\"}\n"
                               "{\"cmd\":\"room_list\",\"rooms\":[\"after\"]}\n");
                QTimer::singleShot(300, box, [box, this, &closeBox] {
                    QCOMPARE(P::roomList(*client)->count(), 0); // held back
                    box->accept();
                    testenv::whenModal(closeBox);
                });
            } else {
                box->accept();
            }
        };
        testenv::whenModal(closeBox);
        lobby->sendRaw("{\"cmd\":\"error\",\"message\":\"first\"}\n");
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), 2, 5000);
        QCOMPARE(shown.at(0), QStringLiteral("System Alert|first"));
        QCOMPARE(shown.at(1), QStringLiteral("System Alert|second <b>x</b>"));
        QTRY_COMPARE(P::roomList(*client)->count(), 1);
    }

    void reconnectsAfterServerClosesAndLogsInAgain()
    {
        startClient();
        // Before the lobby was reached, a lost connection shows nothing.
        P::nicknameInput(*client)->setText(QStringLiteral("Alice"));
        P::connectButton(*client)->click();
        lobby->waitForCommand(QStringLiteral("login"));
        lobby->dropClient();
        QTRY_VERIFY(P::reconnectTimer(*client)->isActive());
        QVERIFY(!P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->waitForClient(4500));
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 2);

        lobby->send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
        QTRY_COMPARE(P::pageStack(*client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(*client)));

        // After the lobby, a lost connection shows the notice until it is back.
        QElapsedTimer clock;
        clock.start();
        lobby->dropClient();
        QTRY_VERIFY(P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->waitForClient(4500));
        QVERIFY(clock.elapsed() < 4500);
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 3);
        QTRY_VERIFY(!P::reconnectDialog(*client)->isVisible());
        QCOMPARE(lobby->connections, 3);
        QCOMPARE(P::clientId(*client), QStringLiteral("c1")); // kept while down
    }

    void endlessLineIsCutOff()
    {
        startClient();
        loginAs(QStringLiteral("Alice"));
        const int before = lobby->connections;
        QByteArray chunk(64 * 1024, 'a');
        for (int i = 0; i < 18 && lobby->client; ++i) {
            lobby->sendRaw(chunk);
            QTest::qWait(5);
        }
        QTRY_VERIFY_WITH_TIMEOUT(lobby->connections > before, 5000);
        QTRY_COMPARE(lobby->count(QStringLiteral("login")), 2);
    }
};

PELLORA_TEST_MAIN(TestLobby)
#include "test_lobby.moc"
