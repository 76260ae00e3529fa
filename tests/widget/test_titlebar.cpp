// The frameless window and its title bar on the offscreen platform: the
// buttons and their glyphs, and moving, resizing and maximising through the
// window's own mouse events.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"
#include "ui/titlebar.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QWindow>

using P = ClientProbe;

namespace {

QPoint centreOf(VLANClient& client, QWidget* widget)
{
    return widget->mapTo(&client, widget->rect().center());
}

// The first solid pixel of the middle row: every glyph crosses it.
QColor glyphColour(QPushButton* button)
{
    const QImage image = button->icon().pixmap(button->iconSize()).toImage();
    for (int x = 0; x < image.width(); ++x) {
        if (image.pixelColor(x, image.height() / 2).alpha() > 200)
            return image.pixelColor(x, image.height() / 2);
    }
    return {};
}

} // namespace

class TestTitleBar : public QObject
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

    void cleanup()
    {
        client.reset();
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
    }

    void buttonsWithoutTheIconFont()
    {
        VLANClient& c = *client;
        QCOMPARE(c.windowFlags(), Qt::Window | Qt::FramelessWindowHint);
        QCOMPARE(chrome::titleGlyphFamily({"Arial", "segoe mdl2 assets", "Segoe Fluent Icons"}),
                 QStringLiteral("Segoe Fluent Icons"));
        if (!chrome::titleGlyphFamily(QFontDatabase::families()).isEmpty())
            QSKIP("this system has the icon font; the buttons use its characters");
        for (QPushButton* b : {P::minimizeButton(c), P::maximizeButton(c), P::closeButton(c)}) {
            QVERIFY(b->text().isEmpty()); // no private-use character to show as a box
            QCOMPARE(glyphColour(b), QColor(0x88, 0x88, 0x88));
        }
        // Hover turns the glyph white, as the sheet does for the font glyphs.
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QApplication::sendEvent(P::closeButton(c), &enter);
        QCOMPARE(glyphColour(P::closeButton(c)), QColor(Qt::white));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(P::closeButton(c), &leave);
        QCOMPARE(glyphColour(P::closeButton(c)), QColor(0x88, 0x88, 0x88));
        // Minimise is a bar, maximise a box.
        const QImage minimise = P::minimizeButton(c)->icon().pixmap(10, 10).toImage();
        const QImage maximise = P::maximizeButton(c)->icon().pixmap(10, 10).toImage();
        QCOMPARE(minimise.pixelColor(5, 0).alpha(), 0);
        QVERIFY(maximise.pixelColor(5, 0).alpha() > 200 && maximise.pixelColor(0, 5).alpha() > 200);
        QCOMPARE(maximise.pixelColor(5, 5).alpha(), 0);
    }

    void maximiseByButtonAndDoubleClick()
    {
        const QRect normal(120, 90, 1000, 650);
        client->setGeometry(normal);
        QTRY_COMPARE(client->geometry(), normal);
        P::maximizeButton(*client)->click();
        QTRY_VERIFY(client->isMaximized());
        P::maximizeButton(*client)->click();
        QTRY_VERIFY(!client->isMaximized());
        QTRY_COMPARE(client->geometry(), normal);
        const QPoint label = centreOf(*client, P::titleBarLabel(*client));
        QTest::mouseDClick(window, Qt::LeftButton, {}, label);
        QTRY_VERIFY(client->isMaximized());
        QTest::mouseDClick(window, Qt::LeftButton, {}, label);
        QTRY_VERIFY(!client->isMaximized());
        // A double click on the pages does nothing to the window.
        QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(600, 300));
        QVERIFY(!client->isMaximized());
    }

    void dragsMoveAndResize()
    {
        const QPoint start = client->pos();
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(600, 20));
        QTest::mouseMove(window, QPoint(602, 21)); // within the drag distance: still a click
        QCOMPARE(client->pos(), start);
        QTest::mouseMove(window, QPoint(660, 60));
        QTRY_COMPARE(client->pos(), start + QPoint(60, 40));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(600, 20));
        const QRect moved = client->geometry();

        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(1080 - 3, 720 - 3));
        QTest::mouseMove(window, QPoint(1080 - 43, 720 - 33));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(1080 - 43, 720 - 33));
        QTRY_COMPARE(client->geometry(), QRect(moved.topLeft(), QSize(1040, 690)));
        // The left edge cannot push the window below its minimum width.
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(3, 300));
        QTest::mouseMove(window, QPoint(603, 300));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(603, 300));
        QTRY_COMPARE(client->geometry(), QRect(moved.left() + 140, moved.top(), 900, 690));
    }

    void hoverCursorsAndTheCloseButton()
    {
        auto cursorAt = [this](QPoint p) {
            QTest::mouseMove(window, p);
            const QCursor* cursor = QGuiApplication::overrideCursor();
            return cursor ? cursor->shape() : Qt::ArrowCursor;
        };
        QCOMPARE(cursorAt(QPoint(3, 300)), Qt::SizeHorCursor);
        QCOMPARE(cursorAt(QPoint(1080 - 2, 720 - 2)), Qt::SizeFDiagCursor);
        QCOMPARE(cursorAt(QPoint(500, 300)), Qt::ArrowCursor);
        QVERIFY(!QGuiApplication::overrideCursor()); // nothing left on the stack
        cursorAt(QPoint(3, 300));
        QEvent leave(QEvent::Leave);
        QGuiApplication::sendEvent(window, &leave);
        QVERIFY(!QGuiApplication::overrideCursor());

        // The top band over the close button resizes; below it the button closes.
        const QPoint close = centreOf(*client, P::closeButton(*client));
        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(close.x(), 4));
        QVERIFY(client->isVisible());
        QTest::mouseClick(window, Qt::LeftButton, {}, close);
        QTRY_VERIFY(!client->isVisible());
    }
};

PELLORA_TEST_MAIN(TestTitleBar)
#include "test_titlebar.moc"
