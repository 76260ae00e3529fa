// The window: its state at start, the theme on screen, the crown and lock of
// the lists, and the frameless title bar with its own mouse handling.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"
#include "ui/titlebar.h"

#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QWindow>

using P = ClientProbe;

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<VLANClient> client;
    QWindow* window = nullptr;

private slots:
    void init()
    {
        qputenv("PELLORA_SERVER", "127.0.0.1:1");
        client = std::make_unique<VLANClient>();
        client->setGeometry(100, 100, 1080, 720);
        client->show();
        QVERIFY(QTest::qWaitForWindowExposed(client.get()));
        window = client->windowHandle();
    }

    void cleanup() { client.reset(); }

    void stateAtStart()
    {
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));
        QVERIFY(!P::heartbeatTimer(*client)->isActive() && !P::refreshTimer(*client)->isActive());
        QCOMPARE(P::mainTabs(*client)->count(), 1);
        QCOMPARE(P::roomPage(*client)->parent(), nullptr);
        QCOMPARE(client->windowFlags(), Qt::Window | Qt::FramelessWindowHint);
    }

    // The theme reaches the screen: window colour behind pages, card surface on cards.
    void themeIsOnScreen()
    {
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        const QImage shot = client->grab().toImage();
        QCOMPARE(shot.pixelColor(P::lobbyPage(*client)->mapTo(client.get(), QPoint(5, 5))), QColor(0x0b, 0x0c, 0x10));
        QWidget* card = P::roomList(*client)->parentWidget();
        QCOMPARE(shot.pixelColor(card->mapTo(client.get(), QPoint(card->width() / 2, 5))), QColor(0x12, 0x12, 0x15));
    }

    // With or without a font that has them (ctest runs this once with text
    // fonts only), crown and lock show gold, never as the grey missing-glyph box.
    void crownAndLockAreDrawn()
    {
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        P::mainTabs(*client)->addTab(P::roomPage(*client), QStringLiteral("room"));
        for (QListWidget* list : {P::roomList(*client), P::peerList(*client)}) {
            P::mainTabs(*client)->setCurrentIndex(list == P::peerList(*client));
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

    // Without the icon font the buttons show drawn glyphs (grey, white on
    // hover), never a private-use character.
    void titleGlyphsWithoutTheIconFont()
    {
        if (!chrome::titleGlyphFamily(QFontDatabase::families()).isEmpty())
            QSKIP("this system has the icon font; the buttons use its characters");
        auto pixel = [](QPushButton* b, int x, int y) { return b->icon().pixmap(10, 10).toImage().pixelColor(x, y); };
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(P::closeButton(*client), &enter);
        QCOMPARE(pixel(P::closeButton(*client), 5, 5).rgb(), QColor(Qt::white).rgb());
        QCOMPARE(pixel(P::minimizeButton(*client), 5, 5), QColor(0x88, 0x88, 0x88));
        QCOMPARE(pixel(P::minimizeButton(*client), 5, 0).alpha(), 0);
        QCOMPARE(pixel(P::maximizeButton(*client), 0, 5), QColor(0x88, 0x88, 0x88));
        QCOMPARE(pixel(P::maximizeButton(*client), 5, 5).alpha(), 0);
        QVERIFY(P::closeButton(*client)->text().isEmpty());
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
            return QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape() : Qt::ArrowCursor;
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
};

PELLORA_TEST_MAIN(TestWindow)
#include "test_window.moc"
