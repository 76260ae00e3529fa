// The frameless window and its title bar on the offscreen platform: zones of
// the real widget tree, the buttons, and moving, resizing and maximising
// through the window's own mouse events.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"
#include "ui/titlebar.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QWindow>

using P = ClientProbe;
using chrome::HitZone;

namespace {

QPoint centreOf(VLANClient& client, QWidget* widget)
{
    return widget->mapTo(&client, widget->rect().center());
}

QColor glyphColour(QPushButton* button)
{
    // Every glyph crosses the middle row.
    const QImage image = button->icon().pixmap(button->iconSize()).toImage();
    for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, image.height() / 2);
        if (c.alpha() > 200)
            return c;
    }
    return {};
}

} // namespace

class TestTitleBar : public QObject
{
    Q_OBJECT

    std::unique_ptr<VLANClient> client;

    QWindow* shownWindow()
    {
        client = std::make_unique<VLANClient>();
        client->setGeometry(100, 100, 1080, 720);
        client->show();
        if (!QTest::qWaitForWindowExposed(client.get()))
            return nullptr;
        return client->windowHandle();
    }

private slots:
    void init() { qputenv("PELLORA_SERVER", "127.0.0.1:1"); }
    void cleanup()
    {
        client.reset();
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    }

    void frameless()
    {
        VLANClient c;
        QCOMPARE(c.windowFlags(), Qt::Window | Qt::FramelessWindowHint);
        QCOMPARE(c.windowTitle(), QStringLiteral("Zentho - Pellora Beta 0.4"));
        QCOMPARE(P::titleBarWidget(c)->height(), 40);
        QCOMPARE(P::titleBarLabel(c)->text(), QStringLiteral("ZENTHO // GAMING NETWORK beta 0.4"));
        for (QPushButton* b : {P::minimizeButton(c), P::maximizeButton(c), P::closeButton(c)}) {
            QCOMPARE(b->size(), QSize(45, 40));
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
        }
    }

    void glyphFontChoice()
    {
        QCOMPARE(chrome::titleGlyphFamily({"Arial", "Segoe MDL2 Assets", "Segoe Fluent Icons"}),
                 QStringLiteral("Segoe Fluent Icons"));
        QCOMPARE(chrome::titleGlyphFamily({"Arial", "segoe mdl2 assets"}), QStringLiteral("Segoe MDL2 Assets"));
        QCOMPARE(chrome::titleGlyphFamily({"DejaVu Sans", "Segoe UI"}), QString());
    }

    void glyphsDrawnWithoutTheIconFont()
    {
        if (!chrome::titleGlyphFamily(QFontDatabase::families()).isEmpty())
            QSKIP("this system has the icon font; the buttons use its characters");
        VLANClient c;
        for (QPushButton* b : {P::minimizeButton(c), P::maximizeButton(c), P::closeButton(c)}) {
            QVERIFY(b->text().isEmpty()); // no private-use character to show as a box
            QVERIFY(!b->icon().isNull());
            QCOMPARE(b->iconSize(), QSize(chrome::titleGlyphSize, chrome::titleGlyphSize));
            QCOMPARE(glyphColour(b), QColor(0x88, 0x88, 0x88));
        }
        QCOMPARE(P::closeButton(c)->accessibleName(), QStringLiteral("Close"));

        // Hover turns the glyph white, as the sheet does for the font glyphs.
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(P::closeButton(c), &enter);
        QCOMPARE(glyphColour(P::closeButton(c)), QColor(Qt::white));
        QCOMPARE(glyphColour(P::minimizeButton(c)), QColor(0x88, 0x88, 0x88));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(P::closeButton(c), &leave);
        QCOMPARE(glyphColour(P::closeButton(c)), QColor(0x88, 0x88, 0x88));

        // The three glyphs differ: minimise is a bar, maximise a box, close a cross.
        const QImage minimise = P::minimizeButton(c)->icon().pixmap(10, 10).toImage();
        const QImage maximise = P::maximizeButton(c)->icon().pixmap(10, 10).toImage();
        QCOMPARE(minimise.pixelColor(5, 0).alpha(), 0);
        QVERIFY(maximise.pixelColor(5, 0).alpha() > 200);
        QVERIFY(maximise.pixelColor(0, 5).alpha() > 200);
        QCOMPARE(maximise.pixelColor(5, 5).alpha(), 0);
    }

    void zonesOfTheRealWindow()
    {
        VLANClient c;
        c.resize(1080, 720);
        c.show();
        QVERIFY(QTest::qWaitForWindowExposed(&c));
        auto zone = [&c](QPoint p) { return chrome::zoneAt(&c, P::titleBarWidget(c), p); };
        const QPoint close = centreOf(c, P::closeButton(c));
        QCOMPARE(zone(close), HitZone::Client);
        QCOMPARE(zone(centreOf(c, P::minimizeButton(c))), HitZone::Client);
        QCOMPARE(zone(centreOf(c, P::maximizeButton(c))), HitZone::Client);
        QCOMPARE(zone(QPoint(1080 - 8, 20)), HitZone::Client);
        QCOMPARE(zone(QPoint(1080 - 7, 20)), HitZone::Right);
        QCOMPARE(zone(QPoint(close.x(), 4)), HitZone::Top);
        QCOMPARE(zone(centreOf(c, P::titleBarLabel(c))), HitZone::Caption);
        QCOMPARE(zone(QPoint(600, 20)), HitZone::Caption); // the stretch
        QCOMPARE(zone(QPoint(600, 40)), HitZone::Client);
        QCOMPARE(zone(QPoint(3, 3)), HitZone::TopLeft);
        QCOMPARE(zone(QPoint(1080 - 3, 720 - 3)), HitZone::BottomRight);
        QCOMPARE(zone(centreOf(c, P::connectButton(c))), HitZone::Client);
    }

    void maximiseTwiceRestoresGeometry()
    {
        QVERIFY(shownWindow());
        const QRect normal(120, 90, 1000, 650);
        client->setGeometry(normal);
        QTRY_COMPARE(client->geometry(), normal);
        P::maximizeButton(*client)->click();
        QTRY_VERIFY(client->isMaximized());
        QTRY_VERIFY(client->geometry() != normal);
        P::maximizeButton(*client)->click();
        QTRY_VERIFY(!client->isMaximized());
        QTRY_COMPARE(client->geometry(), normal);
    }

    void titleBarDragMovesTheWindow()
    {
        QWindow* window = shownWindow();
        QVERIFY(window);
        const QPoint start = client->pos();
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(600, 20));
        QTest::mouseMove(window, QPoint(602, 21)); // within the drag distance: still a click
        QCOMPARE(client->pos(), start);
        QTest::mouseMove(window, QPoint(660, 60));
        QTRY_COMPARE(client->pos(), start + QPoint(60, 40));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(600, 20));
        QCOMPARE(client->size(), QSize(1080, 720));
    }

    void edgeDragsResizeTheWindow()
    {
        QWindow* window = shownWindow();
        QVERIFY(window);
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(1080 - 3, 720 - 3));
        QTest::mouseMove(window, QPoint(1080 - 3 - 40, 720 - 3 - 30));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(1080 - 3 - 40, 720 - 3 - 30));
        QTRY_COMPARE(client->geometry(), QRect(100, 100, 1040, 690));

        // The left edge cannot push the window below its minimum width.
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(3, 300));
        QTest::mouseMove(window, QPoint(603, 300));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(603, 300));
        QTRY_COMPARE(client->geometry(), QRect(100 + 1040 - 900, 100, 900, 690));
    }

    void topBandOverCloseButtonResizesInsteadOfClosing()
    {
        QWindow* window = shownWindow();
        QVERIFY(window);
        const QPoint close = centreOf(*client, P::closeButton(*client));
        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(close.x(), 4));
        QVERIFY(client->isVisible());
        // Below the band the button clicks as usual.
        QTest::mouseClick(window, Qt::LeftButton, {}, close);
        QTRY_VERIFY(!client->isVisible());
    }

    void doubleClickOnTitleTogglesMaximise()
    {
        QWindow* window = shownWindow();
        QVERIFY(window);
        const QRect normal = client->geometry();
        const QPoint label = centreOf(*client, P::titleBarLabel(*client));
        QTest::mouseDClick(window, Qt::LeftButton, {}, label);
        QTRY_VERIFY(client->isMaximized());
        QTest::mouseDClick(window, Qt::LeftButton, {}, label);
        QTRY_VERIFY(!client->isMaximized());
        QTRY_COMPARE(client->geometry(), normal);
        // A double click on the pages does nothing to the window.
        QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(600, 300));
        QVERIFY(!client->isMaximized());
    }

    void hoverShowsResizeCursors()
    {
        QWindow* window = shownWindow();
        QVERIFY(window);
        auto cursorAt = [window](QPoint p) {
            QTest::mouseMove(window, p);
            const QCursor* cursor = QGuiApplication::overrideCursor();
            return cursor ? cursor->shape() : Qt::ArrowCursor;
        };
        QCOMPARE(cursorAt(QPoint(3, 300)), Qt::SizeHorCursor);
        QCOMPARE(cursorAt(QPoint(1080 - 2, 300)), Qt::SizeHorCursor);
        QCOMPARE(cursorAt(QPoint(500, 2)), Qt::SizeVerCursor);
        QCOMPARE(cursorAt(QPoint(1080 - 2, 720 - 2)), Qt::SizeFDiagCursor);
        QCOMPARE(cursorAt(QPoint(2, 720 - 2)), Qt::SizeBDiagCursor);
        QCOMPARE(cursorAt(QPoint(500, 300)), Qt::ArrowCursor);
        QVERIFY(!QGuiApplication::overrideCursor()); // nothing left on the stack
        cursorAt(QPoint(3, 300));
        QEvent leave(QEvent::Leave);
        QGuiApplication::sendEvent(window, &leave);
        QVERIFY(!QGuiApplication::overrideCursor());
    }
};

PELLORA_TEST_MAIN(TestTitleBar)
#include "test_titlebar.moc"
