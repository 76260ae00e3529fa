// The frameless window's zones: resize bands, title bar, buttons, client area,
// the non-client messages answered, and the pixel conversions around them.
#include "ui/framedrag.h"
#include "ui/hittest.h"

#include <QTest>

using chrome::HitZone;

namespace {

constexpr int W = 1080;
constexpr int H = 720;
constexpr int titleBar = 40;

HitZone at(int x, int y, bool overButton = false, bool maximized = false)
{
    chrome::HitQuery q;
    q.x = x;
    q.y = y;
    q.width = W;
    q.height = H;
    q.titleBarHeight = titleBar;
    q.overButton = overButton;
    q.maximized = maximized;
    return chrome::hitZone(q);
}

} // namespace

Q_DECLARE_METATYPE(HitZone)

class TestHitTest : public QObject
{
    Q_OBJECT

private slots:
    void zones_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<bool>("overButton");
        QTest::addColumn<HitZone>("zone");
        // Corners come first.
        QTest::newRow("top-left (3,3)") << 3 << 3 << false << HitZone::TopLeft;
        QTest::newRow("bottom-right (w-3,h-3)") << W - 3 << H - 3 << false << HitZone::BottomRight;
        QTest::newRow("top-right") << W - 3 << 3 << true << HitZone::TopRight;
        QTest::newRow("bottom-left") << 3 << H - 3 << false << HitZone::BottomLeft;
        QTest::newRow("top-left, last pixel") << 7 << 7 << false << HitZone::TopLeft;
        // Left and top bands are 8 pixels, right and bottom 7.
        QTest::newRow("left band ends at 7") << 7 << 300 << false << HitZone::Left;
        QTest::newRow("x 8 is client") << 8 << 300 << false << HitZone::Client;
        QTest::newRow("right band starts at w-7") << W - 7 << 300 << false << HitZone::Right;
        QTest::newRow("w-8 is client") << W - 8 << 300 << false << HitZone::Client;
        QTest::newRow("bottom band starts at h-7") << 500 << H - 7 << false << HitZone::Bottom;
        QTest::newRow("h-8 is client") << 500 << H - 8 << false << HitZone::Client;
        QTest::newRow("top band ends at 7") << 500 << 7 << false << HitZone::Top;
        // The close button: its right-most 7 columns and top 8 rows resize.
        QTest::newRow("(w-8,20) over button") << W - 8 << 20 << true << HitZone::Client;
        QTest::newRow("(w-7,20) over button") << W - 7 << 20 << true << HitZone::Right;
        QTest::newRow("4 from top over button") << W - 20 << 4 << true << HitZone::Top;
        // Title bar above y = 40 only.
        QTest::newRow("title label") << 100 << 20 << false << HitZone::Caption;
        QTest::newRow("title stretch") << 600 << 39 << false << HitZone::Caption;
        QTest::newRow("y 8 under the top band") << 600 << 8 << false << HitZone::Caption;
        QTest::newRow("y 40 is client") << 600 << 40 << false << HitZone::Client;
        QTest::newRow("y 40 over a button below") << 600 << 40 << true << HitZone::Client;
        QTest::newRow("page") << 500 << 400 << false << HitZone::Client;
    }

    void zones()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(bool, overButton);
        QFETCH(HitZone, zone);
        QCOMPARE(at(x, y, overButton), zone);
    }

    void maximisedWindowHasNoBands()
    {
        // A maximised window cannot be resized; its screen-edge pixels belong
        // to the title bar and its buttons, so a flick to the corner closes it.
        QCOMPARE(at(3, 3, false, true), HitZone::Caption);
        QCOMPARE(at(W - 3, 3, true, true), HitZone::Client);
        QCOMPARE(at(W - 3, H - 3, false, true), HitZone::Client);
        QCOMPARE(at(3, 300, false, true), HitZone::Client);
    }

    void resizeZonesAreTheEightBands()
    {
        QVERIFY(!chrome::isResizeZone(HitZone::Client));
        QVERIFY(!chrome::isResizeZone(HitZone::Caption));
        for (HitZone zone : {HitZone::Left, HitZone::Right, HitZone::Top, HitZone::Bottom, HitZone::TopLeft,
                             HitZone::TopRight, HitZone::BottomLeft, HitZone::BottomRight})
            QVERIFY(chrome::isResizeZone(zone));
        // The values are the system's hit-test answers.
        QCOMPARE(int(HitZone::Caption), 2);
        QCOMPARE(int(HitZone::Left), 10);
        QCOMPARE(int(HitZone::BottomRight), 17);
    }

    void answeredMessages()
    {
        QCOMPARE(chrome::classifyFrameMessage(0x83, 1), chrome::FrameMessage::ClaimClientArea);
        QCOMPARE(chrome::classifyFrameMessage(0x83, 0), chrome::FrameMessage::Other);
        QCOMPARE(chrome::classifyFrameMessage(0x84, 0), chrome::FrameMessage::HitTest);
        QCOMPARE(chrome::classifyFrameMessage(0x84, 1), chrome::FrameMessage::HitTest);
        QCOMPARE(chrome::classifyFrameMessage(0x201, 1), chrome::FrameMessage::Other);
    }

    void physicalPixelsBecomeLogical()
    {
        QCOMPARE(chrome::physicalToLogical(11, 1.0), 11);
        // 150 %: physical 11 lies in logical pixel 7 (inside the band), 12 in pixel 8.
        QCOMPARE(chrome::physicalToLogical(11, 1.5), 7);
        QCOMPARE(chrome::physicalToLogical(12, 1.5), 8);
        QCOMPARE(chrome::physicalToLogical(9, 1.25), 7);
        QCOMPARE(chrome::physicalToLogical(10, 1.25), 8);
        QCOMPARE(chrome::physicalToLogical(-1, 2.0), -1);
        QCOMPARE(chrome::physicalToLogical(15, 0.0), 15); // no ratio known: taken as is

        // At 150 % a 1080-pixel window is 1620 physical pixels wide: its right
        // band starts at logical 1073, physical 1610.
        QCOMPARE(at(chrome::physicalToLogical(1609, 1.5), 300), HitZone::Client);
        QCOMPARE(at(chrome::physicalToLogical(1610, 1.5), 300), HitZone::Right);
        // Unconverted, the same point would be far outside the window's bands.
        QCOMPARE(at(50, 300), HitZone::Client);
        QCOMPARE(at(chrome::physicalToLogical(10, 2.0), 300), HitZone::Left);
    }

    void cursorsAndEdgesMatchTheZone()
    {
        QCOMPARE(chrome::resizeEdges(HitZone::TopLeft), Qt::TopEdge | Qt::LeftEdge);
        QCOMPARE(chrome::resizeEdges(HitZone::BottomRight), Qt::BottomEdge | Qt::RightEdge);
        QCOMPARE(chrome::resizeEdges(HitZone::Right), Qt::Edges(Qt::RightEdge));
        QCOMPARE(chrome::resizeEdges(HitZone::Caption), Qt::Edges());
        QCOMPARE(chrome::zoneCursor(HitZone::Left), Qt::SizeHorCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::Bottom), Qt::SizeVerCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::TopLeft), Qt::SizeFDiagCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::BottomRight), Qt::SizeFDiagCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::TopRight), Qt::SizeBDiagCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::BottomLeft), Qt::SizeBDiagCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::Caption), Qt::ArrowCursor);
        QCOMPARE(chrome::zoneCursor(HitZone::Client), Qt::ArrowCursor);
    }

    void resizingByHand()
    {
        const QRect start(100, 100, 1080, 720);
        const QSize minimum(900, 550);
        QCOMPARE(chrome::resizedGeometry(start, Qt::RightEdge | Qt::BottomEdge, {40, 30}, minimum),
                 QRect(100, 100, 1120, 750));
        // Dragging the left or top edge moves it; the opposite edge stays.
        QCOMPARE(chrome::resizedGeometry(start, Qt::LeftEdge, {-50, 99}, minimum), QRect(50, 100, 1130, 720));
        QCOMPARE(chrome::resizedGeometry(start, Qt::TopEdge | Qt::LeftEdge, {20, 10}, minimum),
                 QRect(120, 110, 1060, 710));
        // Never below the minimum, and a held edge does not push the window.
        QCOMPARE(chrome::resizedGeometry(start, Qt::LeftEdge, {2000, 0}, minimum), QRect(280, 100, 900, 720));
        QCOMPARE(chrome::resizedGeometry(start, Qt::BottomEdge, {0, -2000}, minimum), QRect(100, 100, 1080, 550));
        QCOMPARE(chrome::resizedGeometry(start, Qt::TopEdge, {0, 500}, minimum), QRect(100, 270, 1080, 550));
        QCOMPARE(chrome::resizedGeometry(start, Qt::Edges(), {30, 30}, minimum), start);
    }
};

QTEST_GUILESS_MAIN(TestHitTest)
#include "test_hittest.moc"
