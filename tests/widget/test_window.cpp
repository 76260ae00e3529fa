// The window: state at start, theme, crown and lock, server line, the
// frameless title bar's mouse handling and the adapter-mode buttons.
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QWindow>

using P = ClientProbe;
using namespace Qt::StringLiterals;

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<VLANClient> client;
    QWindow* window = nullptr;

private slots:
    void init()
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:1");
        QSettings(u"Zentho"_s, u"Launcher"_s).clear();
        client = std::make_unique<VLANClient>();
        client->setGeometry(100, 100, 1080, 720);
        client->show();
        QVERIFY(QTest::qWaitForWindowExposed(client.get()));
        window = client->windowHandle();
    }

    void cleanup() { client.reset(); }

    // At start: the login page, no timers, the lobby tab only, a frameless
    // window, and the theme on screen (window colour behind pages, card surface on cards).
    void stateAtStartAndTheme()
    {
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));
        QVERIFY(!P::heartbeatTimer(*client)->isActive() && !P::refreshTimer(*client)->isActive());
        QCOMPARE(P::mainTabs(*client)->count(), 1);
        QCOMPARE(P::roomPage(*client)->parent(), nullptr);
        QCOMPARE(client->windowFlags(), Qt::Window | Qt::FramelessWindowHint);
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        const QImage shot = client->grab().toImage();
        QCOMPARE(shot.pixelColor(P::lobbyPage(*client)->mapTo(client.get(), QPoint(5, 5))),
                 QColor(0x0b, 0x0c, 0x10));
        QWidget* card = P::roomList(*client)->parentWidget();
        QCOMPARE(shot.pixelColor(card->mapTo(client.get(), QPoint(card->width() / 2, 5))),
                 QColor(0x12, 0x12, 0x15));
    }

    // With or without a font that has them (ctest runs this once with text
    // fonts only), crown and lock show gold, never as the grey missing-glyph box.
    void crownAndLockAreDrawn()
    {
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        P::mainTabs(*client)->addTab(P::roomPage(*client), u"room"_s);
        for (QListWidget* list : {P::roomList(*client), P::peerList(*client)}) {
            P::mainTabs(*client)->setCurrentIndex(list == P::peerList(*client));
            list->addItems({u"bob 👑 - 10.8.0.1"_s, u"Alpha 🔒"_s, u"plain"_s});
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
            QCOMPARE(list->item(1)->text(), u"Alpha 🔒"_s);
        }
    }

    // "change" opens the server dialog: a host name is refused, a numeric
    // address is saved and used at once and at the next start.
    void serverLineChangesTheServer()
    {
        FakeLobby lobby;
        VLANClient& client = *this->client;
        QLabel* line = nullptr;
        for (QLabel* label : P::loginPage(client)->findChildren<QLabel*>())
            line = label->text().startsWith(u"Server: 127.0.0.1:1 · <a"_s) ? label : line;
        QVERIFY(line);
        QString refusal;
        testenv::whenModal([&](QWidget* dialog) {
            auto* field = dialog->findChild<QLineEdit*>();
            field->setText(u"lobby.example:7777"_s);
            QTest::keyClick(field, Qt::Key_Return);
            for (QLabel* label : dialog->findChildren<QLabel*>())
                refusal += label->isVisible() ? label->text() : QString();
            field->setText(QString::fromLatin1(lobby.endpoint()));
            QTest::keyClick(field, Qt::Key_Return);
        });
        emit line->linkActivated(u"change"_s);
        QVERIFY2(refusal.contains(QLatin1String("host names cannot be used")), qPrintable(refusal));
        QCOMPARE(QSettings(u"Zentho"_s, u"Launcher"_s).value(u"server"_s).toString(),
                 QString::fromLatin1(lobby.endpoint()));
        QVERIFY(line->text().contains(QString::fromLatin1(lobby.endpoint())));
        QVERIFY(lobby.waitForClient());
        // Heartbeats follow the lobby to its new address.
        QVERIFY(udp::samePeer(P::relayPeer(client), udp::parsePeer("127.0.0.1", lobby.port())));
        qunsetenv("PELLORA_SERVER");
        VLANClient next;
        QTRY_COMPARE(lobby.connections, 2);
    }

    void dragsMoveResizeAndMaximise()
    {
        const QPoint start = client->pos();
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(600, 20));
        QTest::mouseMove(window, QPoint(602, 21)); // within the drag distance: still a click
        QCOMPARE(client->pos(), start);
        QTest::mouseMove(window, QPoint(660, 60));
        QTRY_COMPARE(client->pos(), start + QPoint(60, 40));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(600, 20));
        // The left edge cannot push the window below its minimum width.
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(3, 300));
        QTest::mouseMove(window, QPoint(603, 330));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(603, 330));
        const QRect normal(start + QPoint(60 + 180, 40), QSize(900, 720));
        QTRY_COMPARE(client->geometry(), normal);

        const QPoint title = P::titleBarLabel(*client)->geometry().center();
        QTest::mouseDClick(window, Qt::LeftButton, {}, title);
        QTRY_VERIFY(client->isMaximized());
        QTest::mouseDClick(window, Qt::LeftButton, {}, title);
        QTRY_COMPARE(client->geometry(), normal);
        QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(600, 300)); // the pages: nothing
        QVERIFY(!client->isMaximized());
    }

    void hoverCursorsAndTheCloseButton()
    {
        auto cursorAt = [this](QPoint p) {
            QTest::mouseMove(window, p);
            return QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape()
                                                     : Qt::ArrowCursor;
        };
        QCOMPARE(cursorAt(QPoint(1080 - 2, 720 - 2)), Qt::SizeFDiagCursor);
        QCOMPARE(cursorAt(QPoint(500, 300)), Qt::ArrowCursor);
        QVERIFY(!QGuiApplication::overrideCursor()); // nothing left on the stack
        cursorAt(QPoint(3, 300));
        QEvent leave(QEvent::Leave);
        QGuiApplication::sendEvent(window, &leave);
        QVERIFY(!QGuiApplication::overrideCursor());
        // The top band over the close button resizes; below it the button closes.
        const QPoint close = P::closeButton(*client)->mapTo(client.get(), QPoint(20, 20));
        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(close.x(), 4));
        QVERIFY(client->isVisible());
        QTest::mouseClick(window, Qt::LeftButton, {}, close);
        QTRY_VERIFY(!client->isVisible());
    }

    // Exactly one mode button is checked after every click or key; the label follows.
    void adapterModeButtons()
    {
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        QPushButton* layer2 = P::layer2Button(*client);
        QPushButton* layer3 = P::layer3Button(*client);
        const auto mode = [&] {
            return QString::number(P::layer2Mode(*client)) + QString::number(layer2->isChecked()) +
                   QString::number(layer3->isChecked()) + P::adapterModeLabel(*client)->text();
        };
        const QString start =
            u"001Maximum speed and lowest ping. Enter the Host's IP manually inside your game "
            u"to connect."_s;
        const QString layer2Text =
            u"110Host will automatically show up in the in-game LAN list. Best for older games."_s;
        const QString layer3Text =
            u"001Maximum speed and lowest ping. You will need to manually type the Host's IP "
            u"to connect. (10.8.x.x) "_s;
        QVERIFY(layer2->isEnabled() && layer3->isEnabled());
        QCOMPARE(mode(), start);
        // A click on the checked button flips it off first; the slot turns it back on.
        for (const auto& [button, key, text] : {std::tuple(layer2, false, layer2Text),
                                                {layer2, false, layer2Text},
                                                {layer3, false, layer3Text},
                                                {layer3, false, layer3Text},
                                                {layer2, true, layer2Text}}) {
            P::adapterModeLabel(*client)->setText(u"scribble"_s);
            key ? QTest::keyClick(button, Qt::Key_Space) : QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(mode(), text);
        }
    }
};

PELLORA_TEST_MAIN(TestWindow)
#include "test_window.moc"
