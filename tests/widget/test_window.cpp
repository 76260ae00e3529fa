// The window as built: its slots, its state at start, the theme on screen,
// and the crown and lock of the lists.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QListWidget>
#include <QMetaMethod>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

using P = ClientProbe;

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init() { qputenv("PELLORA_SERVER", "127.0.0.1:1"); }

    void slotsAndStateAtStart()
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
            if (meta.method(i).methodType() == QMetaMethod::Slot)
                found << QString::fromLatin1(meta.method(i).methodSignature());
        }
        QCOMPARE(found, expected);

        VLANClient client;
        QCOMPARE(P::pageStack(client)->currentWidget(), P::loginPage(client));
        QVERIFY(!P::heartbeatTimer(client)->isActive() && !P::refreshTimer(client)->isActive());
        QCOMPARE(P::mainTabs(client)->count(), 1);
        QCOMPARE(P::roomPage(client)->parent(), nullptr);
        QCOMPARE(client.minimumSize(), QSize(900, 550));
    }

    // The theme reaches the screen: the window colour behind the pages, the
    // card surface on the cards.
    void themeIsOnScreen()
    {
        VLANClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        P::pageStack(client)->setCurrentWidget(P::mainTabs(client));
        const QImage shot = client.grab().toImage();
        auto colourAt = [&](QWidget* widget, QPoint at) { return shot.pixelColor(widget->mapTo(&client, at)); };
        QCOMPARE(colourAt(P::lobbyPage(client), QPoint(5, 5)), QColor(0x0b, 0x0c, 0x10));
        QWidget* card = P::roomList(client)->parentWidget();
        QCOMPARE(colourAt(card, QPoint(card->width() / 2, 5)), QColor(0x12, 0x12, 0x15));
    }

    // With or without a font that has them, the crown and the lock show as
    // gold symbols and never as the grey missing-glyph box.
    void crownAndLockAreDrawn()
    {
        VLANClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        P::mainTabs(client)->addTab(P::roomPage(client), QStringLiteral("room"));
        P::pageStack(client)->setCurrentWidget(P::mainTabs(client));
        for (QListWidget* list : {P::roomList(client), P::peerList(client)}) {
            P::mainTabs(client)->setCurrentWidget(list == P::peerList(client) ? P::roomPage(client)
                                                                              : P::lobbyPage(client));
            list->addItems({QStringLiteral("bob 👑 - 10.8.0.1"), QStringLiteral("Alpha 🔒"), QStringLiteral("plain")});
            QTest::qWait(50);
            const QImage rows = list->viewport()->grab().toImage();
            for (int row = 0; row < 3; ++row) {
                const QRect rect = list->visualItemRect(list->item(row));
                int gold = 0;
                for (int x = rect.left(); x <= rect.right(); ++x) {
                    const QColor c = rows.pixelColor(x, rect.center().y());
                    gold += c.red() > 180 && c.green() > 110 && c.blue() < 90;
                }
                QVERIFY2((gold > 2) == (row < 2), qPrintable(list->item(row)->text()));
                QVERIFY(list->item(row)->text().contains(row == 0 ? "👑" : row == 1 ? "🔒" : "plain"));
            }
        }
    }
};

PELLORA_TEST_MAIN(TestWindow)
#include "test_window.moc"
