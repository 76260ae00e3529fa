// Everyday comfort against a fake lobby: the server by name, the tray, one
// client per user, and invite links.
#include "app/singleinstance.h"
#include "tests/support/fakelobby.h"

#include <QAction>
#include <QClipboard>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>

class TestEveryday : public QObject, ClientFixture
{
    Q_OBJECT

    static QString link(const FakeLobby& to, const QString& room, const QString& host = u"127.0.0.1"_s)
    {
        return u"pellora://%1:%2/%3"_s.arg(host).arg(to.port()).arg(room);
    }

private slots:
    void init() { reset(); }
    void serverNameThatResolvesShowsTheAddressReached()
    {
        shown("localhost:" + QByteArray::number(lobby->port()));
        const QString server = u"localhost (127.0.0.1):%1"_s.arg(lobby->port());
        QVERIFY(lobby->waitForClient() && loginPageShows(u"Connected to "_s + server));
        QVERIFY(udp::samePeer(P::tunnel(*client)->relay(),
                              udp::parsePeer("127.0.0.1", lobby->port()))); // the relay too
    }
    void serverNameThatDoesNotResolveSaysSo()
    {
        shown("nowhere.invalid:7777");
        QVERIFY(loginPageShows(
            u"Cannot find nowhere.invalid: the name does not resolve — check it, retrying every 3 s"_s));
    }
    // Its tooltip says where we are; its menu's "Leave room", enabled only in a room, leaves like the room's
    // button.
    void trayFollowsWhereWeAre()
    {
        shown();
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: not connected"_s);
        QVERIFY(loggedIn());
        const QMenu* menu = P::trayIcon(*client)->contextMenu();
        QVERIFY(menu);
        QAction* leave = nullptr;
        for (QAction* action : menu->actions())
            leave = action->text() == u"Leave room"_s ? action : leave;
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: in the lobby"_s);
        QVERIFY(leave && !leave->isEnabled() && joined());
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: in room Alpha"_s);
        leave->trigger();
        QVERIFY(lobby->waitForCommand(u"leave_room"_s).size() == 1 && !P::tunnel(*client)->adapterRunning());
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: in the lobby"_s);
        lobby->dropClient();
        QTRY_COMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: not connected"_s);
    }
    void notifiesOnlyWhileTheWindowIsAway_data()
    {
        QTest::addColumn<bool>("away");
        QTest::addColumn<QJsonObject>("message"); // none: the connection is lost
        QTest::addColumn<QVariantList>("notice"); // none: no notification
        const QString away = u"The room Alpha was closed while you were away."_s;
        const QJsonObject fromBob =
            control::message(u"private_message"_s, {{u"sender"_s, u"Bob"_s}, {u"message"_s, u"again"_s}});
        QTest::newRow("private message, window active") << false << fromBob << QVariantList();
        QTest::newRow("private message")
            << true << fromBob << QVariantList({u"Message from Bob"_s, u"again"_s});
        QTest::newRow("kick, the room closed while away")
            << true << control::message(u"kicked"_s, {{u"message"_s, away}})
            << QVariantList({u"Connection Terminated"_s, away});
        QTest::newRow("connection lost") << true << QJsonObject() << QVariantList({u"Connection lost"_s});
    }
    void notifiesOnlyWhileTheWindowIsAway()
    {
        QFETCH(bool, away);
        QFETCH(QJsonObject, message);
        QFETCH(QVariantList, notice);
        QVERIFY(loggedIn() && joined());
        QSignalSpy notified(client.get(), &VLANClient::notified);
        QWidget game; // another program's window in front
        game.show();
        (away ? static_cast<QWidget*>(&game) : client.get())->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(away ? &game : client.get()) && client->isActiveWindow() != away);
        const NextBox answered;
        message.isEmpty() ? lobby->dropClient() : lobby->send(message);
        if (notice.isEmpty()) { // the message arrived all the same
            QTRY_VERIFY(P::privateChatTabs(*client).contains(u"Bob"_s));
            QCOMPARE(notified.count(), 0);
            return;
        }
        QTRY_COMPARE(notified.count(), 1);
        QCOMPARE(notified.last().mid(0, notice.size()), notice);
    }
    void closingQuitsUnlessKeptInTheTray()
    {
        shown();
        P::trayUsable(*client) = true; // the offscreen platform has no tray
        QAction* keep = P::keepInTrayAction(*client);
        keep->trigger();
        QVERIFY(settings.value(u"keepInTray"_s).toBool());
        QVERIFY(!client->close() && !client->isVisible()); // hidden, still running
        P::showWindowAction(*client)->trigger();
        QTRY_VERIFY(client->isVisible());
        keep->trigger();
        QVERIFY(client->close() && !settings.value(u"keepInTray"_s).toBool());
    }
    // Real starts of the program: one that crashed leaves its socket behind;
    // a later one hands its link over and ends.
    void secondStartHandsOverItsLinkAndEnds()
    {
        settings.setValue(u"username"_s, u"Alice"_s);
        const QString name = singleinstance::instanceName();
        QProcess crashed;
        crashed.start(QStringLiteral(PELLORA_PROGRAM), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(singleinstance::handOver(name, {}, 200), 15000);
        crashed.kill();
        QVERIFY(crashed.waitForFinished() && !singleinstance::handOver(name, {}, 200));
        shown(lobby->endpoint());
        QVERIFY(client->acceptOtherStarts(name));
        client->showMinimized();
        QProcess second;
        second.start(QStringLiteral(PELLORA_PROGRAM), {link(*lobby, u"Den"_s)});
        // Waited for with the event loop turning: the first start answers the second.
        QVERIFY(testwait::until([&] { return second.state() == QProcess::NotRunning; }, 15000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(client->isVisible() && !client->isMinimized());
        // Logged in with the saved nickname, then joined.
        QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Alice"_s);
        lobby->send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        QCOMPARE(lobby->waitForCommand(u"join_room"_s).value(u"room_name"_s).toString(), u"Den"_s);
    }
    void joinFromALinkOnTheSameServer()
    {
        QVERIFY(loggedIn());
        client->openInviteLink(link(*lobby, u"R%26D%20%F0%9F%8E%AE"_s));
        QCOMPARE(lobby->waitForCommand(u"join_room"_s), layer(3, joinRoom(u"R&D 🎮"_s, QString())));
    }
    void copiedInviteLinkCarriesNoKey()
    {
        QVERIFY(loggedIn() && joined(u"R&D 🎮"_s));
        P::copyInviteButton(*client)->click();
        QCOMPARE(QApplication::clipboard()->text(), link(*lobby, u"R%26D%20%F0%9F%8E%AE"_s));
    }
    void joinFromALinkToAnotherServerAsksFirst()
    {
        settings.setValue(u"username"_s, u"Alice"_s);
        FakeLobby other;
        shown(lobby->endpoint());
        QVERIFY(lobby->waitForClient());
        {
            const NextBox asked(QMessageBox::No);
            client->openInviteLink(link(other, u"Den"_s, u"localhost"_s));
            QCOMPARE(asked.title, u"Switch Server"_s);
            QCOMPARE(asked.text,
                     u"This invite is for a room on another server, localhost:%1. Switch to it?"_s.arg(
                         other.port()));
            QCOMPARE(other.connections, 0);
        }
        const NextBox yes(QMessageBox::Yes);
        client->openInviteLink(link(other, u"Den"_s, u"localhost"_s));
        QCOMPARE(other.waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Alice"_s);
        other.send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        QCOMPARE(other.waitForCommand(u"join_room"_s).value(u"room_name"_s).toString(), u"Den"_s);
        QVERIFY(settings.value(u"server"_s) == u"localhost:%1"_s.arg(other.port()) &&
                !lobby->count(u"join_room"_s));
    }
};

PELLORA_TEST_MAIN(TestEveryday)
#include "test_everyday.moc"
