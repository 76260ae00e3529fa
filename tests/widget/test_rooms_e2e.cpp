// Two players in one process against the real lobby server and relay (in
// process, on a loopback port of a private network namespace): a locked room
// created from the dialog and joined with its key, room chat both ways,
// private messages from the player menu, the host role handed over, a kick.
#include "net/hostconfig.h"
#include "server/lobby/lobbyserver.h"
#include "server/serverlog.h"
#include "tests/widget/test_rooms_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpSocket>
#include <QTextEdit>

namespace {

// Layer 2 on Linux is the fixed TAP interface.
const char* const kTapName = "pellora0";

} // namespace

class TestRoomsE2E : public QObject
{
    Q_OBJECT

    std::unique_ptr<LobbyServer> server;

    std::unique_ptr<VLANClient> player(const QString& name, bool layer2)
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:" + QByteArray::number(server->port()));
        auto client = std::make_unique<VLANClient>();
        client->show();
        if (layer2)
            P::layer2Button(*client)->click();
        if (!QTest::qWaitFor([&] { return P::tcpSocket(*client)->state() == QAbstractSocket::ConnectedState; }))
            return nullptr;
        P::nicknameInput(*client)->setText(name);
        P::connectButton(*client)->click();
        if (!QTest::qWaitFor([&] { return P::pageStack(*client)->currentWidget() == static_cast<QWidget*>(P::mainTabs(*client)); }))
            return nullptr;
        return client;
    }

    static bool inRoom(VLANClient& c, const QString& room)
    {
        QTabWidget* tabs = P::mainTabs(c);
        return QTest::qWaitFor([&] {
            const int tab = tabs->indexOf(P::roomPage(c));
            return tab >= 0 && tabs->tabText(tab) == QStringLiteral("Sector: ") + room;
        });
    }

    static int rowOf(QListWidget* list, const QString& prefix)
    {
        for (int row = 0; row < list->count(); ++row)
            if (list->item(row)->text().startsWith(prefix))
                return row;
        return -1;
    }

    static void say(QLineEdit* input, const QString& text)
    {
        input->setText(text);
        QTest::keyClick(input, Qt::Key_Return);
    }

private slots:
    void initTestCase() { serverlog::setLevel(serverlog::Level::Warn); }

    void init()
    {
        QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).clear();
        ServerConfig config;
        config.listen = QHostAddress(QHostAddress::LocalHost);
        config.port = 0;
        config.statsIntervalMs = 0;
        server = std::make_unique<LobbyServer>(config);
        QString error;
        QVERIFY2(server->start(&error), qPrintable(error));
    }

    void cleanup() { server.reset(); }

    void twoPlayersThroughALockedRoom()
    {
        ROOMS_REQUIRE_ADAPTER();
        // Each player's adapter is of its own mode, so both can run side by side here.
        std::unique_ptr<VLANClient> alice = player(QStringLiteral("Alice"), false);
        std::unique_ptr<VLANClient> bob = player(QStringLiteral("Bob"), true);
        QVERIFY(alice && bob);
        const QString room = QStringLiteral("[Minecraft] Alpha");

        // Alice creates a locked room; the server puts her in it as host.
        bool filled = false;
        testenv::whenModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            const QList<QLineEdit*> edits = dialog ? dialog->findChildren<QLineEdit*>() : QList<QLineEdit*>();
            const QList<QComboBox*> boxes = dialog ? dialog->findChildren<QComboBox*>() : QList<QComboBox*>();
            filled = edits.size() == 2 && boxes.size() == 2;
            if (filled) {
                edits.at(0)->setText(QStringLiteral("  Alpha "));
                boxes.at(0)->setCurrentText(QStringLiteral("Minecraft"));
                boxes.at(1)->setCurrentText(QStringLiteral("Locked"));
                edits.at(1)->setText(QStringLiteral(" k 1"));
                dialog->findChild<QPushButton*>(QStringLiteral("createBtn"))->click();
            } else if (dialog) {
                dialog->reject();
            }
        });
        P::createRoomButton(*alice)->click();
        QVERIFY(filled);
        QVERIFY(inRoom(*alice, room));
        QTRY_VERIFY(P::isHost(*alice));
        const QString aliceIp = P::myVirtualIp(*alice);
        QVERIFY(aliceIp.startsWith(QStringLiteral("10.8.")));
        QCOMPARE(P::peerList(*alice)->item(0)->text(), QStringLiteral("Alice 👑 - ") + aliceIp);
        QCOMPARE(P::copyIpButton(*alice)->text(), QStringLiteral("COPY MY HOST IP"));
        QTRY_COMPARE(roomtest::interfaceAddress(hostconfig::kLayer3AdapterName), aliceIp);

        // Bob sees it locked, tries a wrong key, then an empty one, and is
        // asked again by the server.
        QMetaObject::invokeMethod(bob.get(), "refreshRooms");
        QTRY_COMPARE(P::roomList(*bob)->count(), 1);
        QCOMPARE(P::roomList(*bob)->item(0)->text(), room + QStringLiteral(" 🔒"));
        P::roomList(*bob)->setCurrentRow(0);
        PromptSeen wrong;
        testenv::BoxSeen refused;
        answerNextKeyPrompt(&wrong, QStringLiteral("nope"));
        P::joinRoomButton(*bob)->click();
        QVERIFY(wrong.seen);
        testenv::acceptNextMessageBox(&refused);
        QTRY_VERIFY(refused.seen);
        QCOMPARE(refused.title, QStringLiteral("System Alert"));

        PromptSeen empty;
        answerNextKeyPrompt(&empty, QString());
        P::joinRoomButton(*bob)->click();
        QVERIFY(empty.seen);
        PromptSeen asked;
        answerNextKeyPrompt(&asked, QStringLiteral(" k 1"));
        QTRY_VERIFY(asked.seen);
        QCOMPARE(asked.title, QStringLiteral("Restricted Sector"));
        QCOMPARE(asked.label, QStringLiteral("Provide access key for ") + room + QLatin1Char(':'));
        QVERIFY(inRoom(*bob, room));
        QTRY_COMPARE(P::peerList(*bob)->count(), 2);
        QTRY_COMPARE(P::peerList(*alice)->count(), 2);
        const QString bobIp = P::myVirtualIp(*bob);
        QVERIFY(!P::isHost(*bob));
        QCOMPARE(P::hostVirtualIp(*bob), aliceIp);
        QCOMPARE(P::copyIpButton(*bob)->text(), QStringLiteral("COPY GAME HOST IP"));
        QVERIFY(!P::layer2Button(*bob)->isEnabled());
        QTRY_COMPARE(roomtest::interfaceAddress(kTapName), bobIp);

        // Room chat both ways, shown as typed.
        say(P::roomChatInput(*alice), QStringLiteral(" hello <b>bob</b> "));
        const QString first = QStringLiteral("Alice: hello <b>bob</b>");
        QTRY_COMPARE(P::roomChatView(*bob)->toPlainText(), first);
        QTRY_COMPARE(P::roomChatView(*alice)->toPlainText(), first);
        say(P::roomChatInput(*bob), QStringLiteral("hi alice"));
        const QString both = first + QStringLiteral("\nBob: hi alice");
        QTRY_COMPARE(P::roomChatView(*alice)->toPlainText(), both);
        QTRY_COMPARE(P::roomChatView(*bob)->toPlainText(), both);

        // A private message from the online-players menu, and the answer.
        P::mainTabs(*alice)->setCurrentIndex(0);
        QTRY_COMPARE(P::onlineUserList(*alice)->count(), 2);
        QVERIFY(rightClickMenu(P::onlineUserList(*alice), rowOf(P::onlineUserList(*alice), QStringLiteral("Bob")),
                               QStringLiteral("Send Message"))
                    .seen);
        QWidget* alicesTab = P::privateChatTabs(*alice).value(QStringLiteral("Bob"));
        QVERIFY(alicesTab);
        say(alicesTab->findChild<QLineEdit*>(), QStringLiteral("psst"));
        QTRY_VERIFY(P::privateChatViews(*bob).contains(QStringLiteral("Alice")));
        QTRY_COMPARE(P::privateChatViews(*bob).value(QStringLiteral("Alice"))->toPlainText(), QStringLiteral("Alice: psst"));
        say(P::privateChatTabs(*bob).value(QStringLiteral("Alice"))->findChild<QLineEdit*>(), QStringLiteral("yes?"));
        QTRY_COMPARE(P::privateChatViews(*alice).value(QStringLiteral("Bob"))->toPlainText(),
                     QStringLiteral("Me: psst\nBob: yes?"));

        // Alice hands the host role to Bob.
        P::mainTabs(*alice)->setCurrentWidget(P::roomPage(*alice));
        QVERIFY(rightClickMenu(P::peerList(*alice), rowOf(P::peerList(*alice), QStringLiteral("Bob - ")),
                               QStringLiteral("Transfer Host"))
                    .seen);
        QTRY_VERIFY(P::isHost(*bob));
        QTRY_VERIFY(!P::isHost(*alice));
        QCOMPARE(P::hostVirtualIp(*alice), bobIp);
        QCOMPARE(P::copyIpButton(*alice)->text(), QStringLiteral("COPY GAME HOST IP"));
        QCOMPARE(P::copyIpButton(*bob)->text(), QStringLiteral("COPY MY HOST IP"));

        // Bob, now host, removes Alice; she is told, then back in the lobby.
        P::mainTabs(*bob)->setCurrentWidget(P::roomPage(*bob));
        testenv::BoxSeen kicked;
        testenv::acceptNextMessageBox(&kicked);
        QVERIFY(rightClickMenu(P::peerList(*bob), rowOf(P::peerList(*bob), QStringLiteral("Alice - ")),
                               QStringLiteral("Kick Entity"))
                    .seen);
        QTRY_VERIFY(kicked.seen);
        QCOMPARE(kicked.title, QStringLiteral("Connection Terminated"));
        QTRY_COMPARE(P::mainTabs(*alice)->currentWidget(), P::lobbyPage(*alice));
        QCOMPARE(P::mainTabs(*alice)->indexOf(P::roomPage(*alice)), -1);
        QVERIFY(roomtest::interfaceAddress(hostconfig::kLayer3AdapterName).isEmpty());
        QVERIFY(P::layer3Button(*alice)->isEnabled());
        QTRY_COMPARE(P::peerList(*bob)->count(), 1);
        QCOMPARE(P::peerList(*bob)->item(0)->text(), QStringLiteral("Bob 👑 - ") + bobIp);
        QCOMPARE(roomtest::interfaceAddress(kTapName), bobIp);
    }
};

ROOMS_TEST_MAIN(TestRoomsE2E)
#include "test_rooms_e2e.moc"
