// Everyday comfort against a fake lobby: the server by name, the tray, one
// client per user, and invite links.
#include "app/singleinstance.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QAction>
#include <QClipboard>
#include <QInputDialog>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>

class TestEveryday : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;
    QSettings settings{u"Zentho"_s, u"Launcher"_s};

    void shown(const QByteArray& server)
    {
        qputenv("PELLORA_SERVER", server);
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(QTest::qWaitForWindowExposed(client.get()));
    }
    bool loginPageShows(const QString& text)
    {
        return QTest::qWaitFor([&] {
            const QList<QLabel*> labels = P::loginPage(*client)->findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == text; });
        });
    }
    bool joined(const QString& room)
    {
        P::wintunRunning(*client) = true; // no adapter without root: marked running
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, u"10.8.0.2"_s}, {u"room_name"_s, room}}));
        return QTest::qWaitFor([this] { return P::mainTabs(*client)->currentWidget() == P::roomPage(*client); });
    }
    static QString link(const FakeLobby& to, const QString& room, const QString& host = u"127.0.0.1"_s)
    {
        return u"pellora://%1:%2/%3"_s.arg(host).arg(to.port()).arg(room);
    }
    // Answers the next message box with `button`; "title|text" goes to `seen`.
    static void answerBox(QMessageBox::StandardButton button, QString* seen)
    {
        testenv::whenModal([button, seen](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            *seen = box->windowTitle() + u'|' + box->text();
            box->button(button)->click();
        });
    }

private slots:
    void init()
    {
        client.reset();
        settings.clear();
        lobby = std::make_unique<FakeLobby>();
    }

    void serverNameThatResolvesShowsTheAddressReached()
    {
        shown("localhost:" + QByteArray::number(lobby->port()));
        const QString server = u"localhost (127.0.0.1):%1"_s.arg(lobby->port());
        QVERIFY(lobby->waitForClient() && loginPageShows(u"Connected to "_s + server));
        QVERIFY(loginPageShows(u"Server: %1 · <a href=\"change\" style=\"color: #a1a1aa;\">change</a>"_s.arg(server)));
        QVERIFY(udp::samePeer(P::relayPeer(*client), udp::parsePeer("127.0.0.1", lobby->port()))); // the relay too
    }

    void serverNameThatDoesNotResolveSaysSo()
    {
        shown("nowhere.invalid:7777");
        QVERIFY(loginPageShows(
            u"Cannot find nowhere.invalid: the name does not resolve — check it, retrying every 3 s"_s));
        QVERIFY(!P::relayPeer(*client).length);
    }

    void trayShowsTheStateAndLeavesTheRoom()
    {
        shown("127.0.0.1:1");
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: not connected"_s);
        QVERIFY((client = lobby->loggedInClient(u"Alice"_s)));
        QVERIFY(P::trayIcon(*client)->toolTip() == u"Pellora: in the lobby"_s &&
                !P::leaveRoomAction(*client)->isEnabled());
        QVERIFY(joined(u"Alpha"_s));
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: in room Alpha"_s);
        P::leaveRoomAction(*client)->trigger();
        QVERIFY(lobby->waitForCommand(u"leave_room"_s).size() == 1 && !P::wintunRunning(*client));
        QCOMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: in the lobby"_s);
        lobby->dropClient();
        QTRY_COMPARE(P::trayIcon(*client)->toolTip(), u"Pellora: not connected"_s);
    }

    // A private message, a kick (also a room closed while away) and a lost connection.
    void notificationsOnlyWhileTheWindowIsAway()
    {
        QVERIFY((client = lobby->loggedInClient(u"Alice"_s)));
        QSignalSpy notified(client.get(), &VLANClient::notified);
        client->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(client.get()));
        const auto privateMessage = [this](const QString& text) {
            lobby->send(control::message(u"private_message"_s, {{u"sender"_s, u"Bob"_s}, {u"message"_s, text}}));
        };
        privateMessage(u"hi"_s);
        QTRY_VERIFY(P::privateChatTabs(*client).contains(u"Bob"_s));
        QCOMPARE(notified.count(), 0);
        QWidget game; // another program's window in front
        game.show();
        game.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&game) && !client->isActiveWindow());
        privateMessage(u"again"_s);
        QTRY_COMPARE(notified.count(), 1);
        QCOMPARE(notified.last(), QVariantList({u"Message from Bob"_s, u"again"_s}));
        QVERIFY(joined(u"Alpha"_s));
        client->showMinimized();
        QString box;
        answerBox(QMessageBox::Ok, &box);
        const QString away = u"The room Alpha was closed while you were away."_s;
        lobby->send(control::message(u"kicked"_s, {{u"message"_s, away}}));
        QTRY_COMPARE(notified.count(), 2);
        QCOMPARE(notified.last(), QVariantList({u"Connection Terminated"_s, away}));
        lobby->dropClient();
        QTRY_COMPARE(notified.count(), 3);
        QCOMPARE(notified.last().first().toString(), u"Connection lost"_s);
    }

    void closingQuitsUnlessKeptInTheTray()
    {
        shown("127.0.0.1:1");
        P::trayUsable(*client) = true; // the offscreen platform has no tray
        QAction* keep = P::keepInTrayAction(*client);
        QVERIFY(!keep->isChecked());
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
        QVERIFY(second.waitForFinished(15000) && second.exitCode() == 0);
        QTRY_VERIFY(client->isVisible() && !client->isMinimized());
        // Logged in with the saved nickname, then joined.
        QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Alice"_s);
        lobby->send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        QCOMPARE(lobby->waitForCommand(u"join_room"_s).value(u"room_name"_s).toString(), u"Den"_s);
    }

    void joinFromALinkOnTheSameServerAndCopyIt()
    {
        QVERIFY((client = lobby->loggedInClient(u"Alice"_s)));
        const QString encoded = u"R%26D%20%F0%9F%8E%AE"_s, room = u"R&D 🎮"_s;
        client->openInviteLink(link(*lobby, encoded));
        QCOMPARE(lobby->waitForCommand(u"join_room"_s),
                 control::message(u"join_room"_s, {{u"room_name"_s, room}, {u"password"_s, QString()}}));
        // Locked: the server asks for the key, the prompt sends it.
        testenv::whenModal([](QWidget* prompt) {
            qobject_cast<QInputDialog*>(prompt)->setTextValue(u"k"_s);
            qobject_cast<QInputDialog*>(prompt)->accept();
        });
        lobby->send(control::message(u"password_required"_s, {{u"room_name"_s, room}}));
        QTRY_COMPARE(lobby->last(u"join_room"_s).value(u"password"_s).toString(), u"k"_s);
        QVERIFY(joined(room));
        P::copyInviteButton(*client)->click();
        QCOMPARE(QApplication::clipboard()->text(), link(*lobby, encoded)); // without the key
    }

    void joinFromALinkToAnotherServerAsksFirst()
    {
        settings.setValue(u"username"_s, u"Alice"_s);
        FakeLobby other;
        shown(lobby->endpoint());
        QVERIFY(lobby->waitForClient());
        QString asked;
        answerBox(QMessageBox::No, &asked);
        client->openInviteLink(link(other, u"Den"_s, u"localhost"_s));
        QCOMPARE(asked, u"Switch Server|This invite is for a room on another server, localhost:%1. Switch to it?"_s
                            .arg(other.port()));
        QCOMPARE(other.connections, 0);
        answerBox(QMessageBox::Yes, &asked);
        client->openInviteLink(link(other, u"Den"_s, u"localhost"_s));
        QCOMPARE(other.waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Alice"_s);
        other.send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        QCOMPARE(other.waitForCommand(u"join_room"_s).value(u"room_name"_s).toString(), u"Den"_s);
        QVERIFY(settings.value(u"server"_s) == u"localhost:%1"_s.arg(other.port()) && !lobby->count(u"join_room"_s));
    }
};

PELLORA_TEST_MAIN(TestEveryday)
#include "test_everyday.moc"
