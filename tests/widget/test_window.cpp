// The window as built: slots, widget tree, texts, timers at start.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaMethod>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

using P = ClientProbe;

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { qputenv("PELLORA_SERVER", "127.0.0.1:1"); }

    void slotsStandInMetaObjectOrder()
    {
        const QStringList expected = {
            "onTcpReadyRead()", "onTcpConnected()", "onTcpError()", "attemptReconnect()", "onUdpReadyRead()",
            "sendUdpHeartbeats()", "onSendGlobalChat()", "onGlobalChatAnchorClicked(QUrl)",
            "showPlayerContextMenu(QPoint)", "doLogin()", "refreshRooms()", "openCreateRoomModal()",
            "joinSelectedRoom()", "sendChat()", "onOnlineUserContextMenu(QPoint)", "onPeerListContextMenu(QPoint)",
            "closeTab(int)", "onAdapterModeChanged()", "updateIconScroll()"};
        const QMetaObject& meta = VLANClient::staticMetaObject;
        QStringList found;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            if (method.methodType() == QMetaMethod::Slot)
                found << QString::fromLatin1(method.methodSignature());
            QCOMPARE(method.access(), QMetaMethod::Private);
        }
        QCOMPARE(found, expected);
    }

    void startsOnLoginPageWithOnlyTheShowcaseTimer()
    {
        VLANClient client;
        QCOMPARE(P::pageStack(client)->currentWidget(), P::loginPage(client));
        QCOMPARE(P::pageStack(client)->indexOf(P::mainTabs(client)), 1);
        QVERIFY(P::iconScrollTimer(client)->isActive());
        QCOMPARE(P::iconScrollTimer(client)->interval(), 25);
        QVERIFY(!P::heartbeatTimer(client)->isActive());
        QVERIFY(!P::refreshTimer(client)->isActive());
        QVERIFY(!P::reconnectTimer(client)->isActive());
        QVERIFY(P::clientId(client).isEmpty());
        QCOMPARE(P::serverPort(client), quint16(1));
        QVERIFY(!client.styleSheet().isEmpty());
        QCOMPARE(client.size(), QSize(1080, 720));
        QCOMPARE(client.minimumSize(), QSize(900, 550));
        QCOMPARE(client.windowTitle(), QStringLiteral("Zentho - Pellora Beta 0.4"));
    }

    void lobbyTabCannotBeClosedAndRoomPageWaits()
    {
        VLANClient client;
        QTabWidget* tabs = P::mainTabs(client);
        QCOMPARE(tabs->count(), 1);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Main Menu"));
        QCOMPARE(tabs->widget(0), P::lobbyPage(client));
        QVERIFY(tabs->tabsClosable());
        QCOMPARE(tabs->tabBar()->tabButton(0, QTabBar::RightSide), nullptr);
        QCOMPARE(P::roomPage(client)->parent(), nullptr);
        QVERIFY(!P::reconnectDialog(client)->isVisible());
        QCOMPARE(P::reconnectDialog(client)->windowTitle(), QStringLiteral("System Status"));
        QCOMPARE(P::reconnectDialog(client)->size(), QSize(300, 120));
    }

    void texts()
    {
        VLANClient client;
        QCOMPARE(P::connectButton(client)->text(), QStringLiteral("CONNECT TO NETWORK"));
        QCOMPARE(P::joinRoomButton(client)->text(), QStringLiteral("▶ JOIN SELECTED ROOM"));
        QCOMPARE(P::createRoomButton(client)->text(), QStringLiteral("✚ CREATE NEW ROOM"));
        QCOMPARE(P::globalSendButton(client)->text(), QStringLiteral("➤ SEND"));
        QCOMPARE(P::roomSendButton(client)->text(), QStringLiteral("➤ SEND"));
        QCOMPARE(P::disconnectButton(client)->text(), QStringLiteral("✖ DISCONNECT"));
        QCOMPARE(P::copyIpButton(client)->text(), QStringLiteral("COPY GAME HOST IP"));
        QCOMPARE(P::localIpLabel(client)->text(), QStringLiteral("Local IP: Pending..."));
        QCOMPARE(P::layer2Button(client)->text(), QStringLiteral("LAYER 2 (AUTO)"));
        QCOMPARE(P::layer3Button(client)->text(), QStringLiteral("LAYER 3 (DIRECT)"));
        QVERIFY(P::layer3Button(client)->isChecked());
        QVERIFY(!P::layer2Button(client)->isChecked());
        QCOMPARE(P::adapterModeLabel(client)->text(),
                 QStringLiteral("Maximum speed and lowest ping. Enter the Host's IP manually inside your game to connect."));
        QCOMPARE(P::globalChatInput(client)->placeholderText(), QStringLiteral("Say hello to the server..."));
        QCOMPARE(P::roomChatInput(client)->placeholderText(), QStringLiteral("Message the room..."));
        QVERIFY(P::globalChatView(client)->isReadOnly());
        QVERIFY(P::roomChatView(client)->isReadOnly());
        QCOMPARE(P::onlineUserList(client)->contextMenuPolicy(), Qt::CustomContextMenu);
        QCOMPARE(P::peerList(client)->contextMenuPolicy(), Qt::CustomContextMenu);

        QStringList headers;
        for (QLabel* label : client.findChildren<QLabel*>(QStringLiteral("sectionHeader")))
            headers << label->text();
        for (QLabel* label : P::roomPage(client)->findChildren<QLabel*>(QStringLiteral("sectionHeader")))
            headers << label->text();
        headers.sort();
        QCOMPARE(headers, QStringList({"AVAILABLE GAME ROOMS", "CONNECTED PLAYERS", "GLOBAL LOBBY CHAT",
                                       "NETWORK ADAPTER MODE", "ONLINE PLAYERS", "ROOM CHAT", "ROOM DIAGNOSTICS"}));
        const int cards = client.findChildren<QFrame*>(QStringLiteral("cardPanel")).size() +
                          P::roomPage(client)->findChildren<QFrame*>(QStringLiteral("cardPanel")).size();
        QCOMPARE(cards, 5);
    }

    void returnKeysReachTheirSlots()
    {
        // Return in the nickname field does what the connect button does.
        VLANClient client;
        P::nicknameInput(client)->setText(QStringLiteral(" Zed "));
        QTest::keyClick(P::nicknameInput(client), Qt::Key_Return);
        QCOMPARE(P::nickname(client), QStringLiteral("Zed"));
    }
};

PELLORA_TEST_MAIN(TestWindow)
#include "test_window.moc"
