// The window as built: its slots, its state at start, the theme on screen,
// and the crown and lock of the lists.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QListWidget>
#include <QMetaMethod>
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
        QStringList found;
        const QMetaObject& meta = VLANClient::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            found << QString::fromLatin1(meta.method(i).methodSignature()).section(QLatin1Char('('), 0, 0);
        QCOMPARE(found.join(QLatin1Char(' ')),
                 QStringLiteral("onTcpReadyRead onTcpConnected onTcpError attemptReconnect onUdpReadyRead "
                                "sendUdpHeartbeats onSendGlobalChat onGlobalChatAnchorClicked showPlayerContextMenu "
                                "doLogin refreshRooms openCreateRoomModal joinSelectedRoom sendChat "
                                "onOnlineUserContextMenu onPeerListContextMenu closeTab onAdapterModeChanged "
                                "updateIconScroll"));
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
        QCOMPARE(shot.pixelColor(P::lobbyPage(client)->mapTo(&client, QPoint(5, 5))), QColor(0x0b, 0x0c, 0x10));
        QWidget* card = P::roomList(client)->parentWidget();
        QCOMPARE(shot.pixelColor(card->mapTo(&client, QPoint(card->width() / 2, 5))), QColor(0x12, 0x12, 0x15));
    }

    // Whether a font has them or not (the test runs once with text fonts
    // only), the crown and the lock show as gold symbols, never as the grey
    // missing-glyph box, and the entries keep their texts.
    void crownAndLockAreDrawn()
    {
        VLANClient client;
        client.show();
        QVERIFY(QTest::qWaitForWindowExposed(&client));
        P::pageStack(client)->setCurrentWidget(P::mainTabs(client));
        P::mainTabs(client)->addTab(P::roomPage(client), QStringLiteral("room"));
        for (QListWidget* list : {P::roomList(client), P::peerList(client)}) {
            P::mainTabs(client)->setCurrentIndex(list == P::peerList(client));
            list->addItems({QStringLiteral("bob 👑 - 10.8.0.1"), QStringLiteral("Alpha 🔒"), QStringLiteral("plain")});
            QTest::qWait(20); // the view lays its items out late
            const QImage rows = list->viewport()->grab().toImage();
            for (int row = 0; row < 3; ++row) {
                const QRect rect = list->visualItemRect(list->item(row));
                int gold = 0;
                for (int x = rect.left(); x <= rect.right(); ++x) {
                    const QColor c = rows.pixelColor(x, rect.center().y());
                    gold += c.red() > 180 && c.green() > 110 && c.blue() < 90;
                }
                QVERIFY2((gold > 2) == (row < 2), qPrintable(list->item(row)->text()));
            }
            QCOMPARE(list->item(1)->text(), QStringLiteral("Alpha 🔒"));
        }
    }
};

PELLORA_TEST_MAIN(TestWindow)
#include "test_window.moc"
