// The frameless window's zones, the drags and cursors they lead to, and the
// pixel conversions around them.
#include "ui/framedrag.h"
#include "ui/hittest.h"

#include <QTest>

using chrome::HitZone;

namespace {

constexpr int W = 1080;
constexpr int H = 720;
const QSize minimum(900, 550);

HitZone at(int x, int y, bool overButton = false, bool maximized = false)
{
    return chrome::hitZone({x, y, W, H, 40, overButton, maximized});
}

} // namespace

class TestHitTest : public QObject
{
    Q_OBJECT

private slots:
    void zones()
    {
        // Left and top bands are 8 pixels, right and bottom 7; they win over
        // the title bar buttons. The title bar ends at y 40.
        const struct { int x, y; bool button; HitZone zone; } cases[] = {
            {7, 7, false, HitZone::TopLeft},     {W - 3, 3, true, HitZone::TopRight},
            {3, H - 3, false, HitZone::BottomLeft}, {W - 3, H - 3, false, HitZone::BottomRight},
            {7, 300, false, HitZone::Left},      {8, 300, false, HitZone::Client},
            {W - 7, 300, false, HitZone::Right}, {W - 8, 20, true, HitZone::Client},
            {500, H - 7, false, HitZone::Bottom}, {500, H - 8, false, HitZone::Client},
            {W - 20, 7, true, HitZone::Top},     {600, 8, false, HitZone::Caption},
            {600, 39, false, HitZone::Caption},  {600, 40, false, HitZone::Client},
        };
        for (const auto& c : cases)
            QVERIFY2(at(c.x, c.y, c.button) == c.zone, qPrintable(QStringLiteral("%1,%2").arg(c.x).arg(c.y)));
        // A maximised window has no bands: its edge pixels are title bar and page.
        QCOMPARE(at(3, 3, false, true), HitZone::Caption);
        QCOMPARE(at(W - 3, 3, true, true), HitZone::Client);
        QCOMPARE(at(3, 300, false, true), HitZone::Client);
    }

    // Around the border, a press drags exactly the edges the point lies on,
    // the cursor shows that direction, and dragging outwards grows the window.
    void dragsFollowThePoint()
    {
        const QRect start(100, 100, W, H);
        for (int x : {3, W / 2, W - 3}) {
            for (int y : {3, H / 2, H - 3}) {
                const int dx = x < W / 2 ? -1 : x > W / 2 ? 1 : 0;
                const int dy = y < H / 2 ? -1 : y > H / 2 ? 1 : 0;
                const HitZone zone = at(x, y);
                Qt::Edges edges;
                edges.setFlag(Qt::LeftEdge, dx < 0).setFlag(Qt::RightEdge, dx > 0);
                edges.setFlag(Qt::TopEdge, dy < 0).setFlag(Qt::BottomEdge, dy > 0);
                QCOMPARE(chrome::resizeEdges(zone), edges);
                QCOMPARE(chrome::isResizeZone(zone), edges != Qt::Edges());
                const Qt::CursorShape cursor = dx && dy ? (dx == dy ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor)
                                               : dx     ? Qt::SizeHorCursor
                                               : dy     ? Qt::SizeVerCursor
                                                        : Qt::ArrowCursor;
                QCOMPARE(chrome::zoneCursor(zone), cursor);
                const QRect grown = chrome::resizedGeometry(start, edges, QPoint(10 * dx, 10 * dy), minimum);
                QCOMPARE(grown.size(), QSize(W + 10 * dx * dx, H + 10 * dy * dy));
                QVERIFY(grown.contains(start));
            }
        }
    }

    void resizingStopsAtTheMinimum()
    {
        const QRect start(100, 100, W, H);
        // A held edge does not push the window away.
        QCOMPARE(chrome::resizedGeometry(start, Qt::LeftEdge, {2000, 0}, minimum), QRect(280, 100, 900, 720));
        QCOMPARE(chrome::resizedGeometry(start, Qt::TopEdge, {0, 500}, minimum), QRect(100, 270, 1080, 550));
        QCOMPARE(chrome::resizedGeometry(start, Qt::BottomEdge, {0, -2000}, minimum), QRect(100, 100, 1080, 550));
    }

    void nativeMessagesAndPixels()
    {
        // WM_NCCALCSIZE with wParam TRUE claims the frame; WM_NCHITTEST is answered.
        QCOMPARE(chrome::classifyFrameMessage(0x83, 1), chrome::FrameMessage::ClaimClientArea);
        QCOMPARE(chrome::classifyFrameMessage(0x83, 0), chrome::FrameMessage::Other);
        QCOMPARE(chrome::classifyFrameMessage(0x84, 0), chrome::FrameMessage::HitTest);
        QCOMPARE(chrome::classifyFrameMessage(0x201, 1), chrome::FrameMessage::Other);
        // At 150 % physical 11 lies in logical pixel 7 (inside the band), 12 in 8.
        QCOMPARE(chrome::physicalToLogical(11, 1.5), 7);
        QCOMPARE(chrome::physicalToLogical(12, 1.5), 8);
        QCOMPARE(chrome::physicalToLogical(-1, 2.0), -1);
        QCOMPARE(chrome::physicalToLogical(15, 0.0), 15); // no ratio known: taken as is
        QCOMPARE(at(chrome::physicalToLogical(1610, 1.5), 300), HitZone::Right);
    }
};

QTEST_GUILESS_MAIN(TestHitTest)
#include "test_hittest.moc"
