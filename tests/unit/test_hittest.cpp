// The frameless window's zones and the drags and cursors they lead to.
#include "ui/framedrag.h"
#include "ui/hittest.h"

#include <QTest>

using chrome::HitZone;

class TestHitTest : public QObject
{
    Q_OBJECT

    static constexpr int W = 1080;
    static constexpr int H = 720;
    static HitZone at(int x, int y, bool overButton = false, bool maximized = false)
    {
        return chrome::hitZone({x, y, W, H, 40, overButton, maximized});
    }

private slots:
    // Left and top bands are 8 pixels, right and bottom 7, and they win over the title bar buttons; the title
    // bar ends at y 40. A maximised window has no bands. Native points are physical pixels, rounded down.
    void zones()
    {
        const QList<HitZone> zones = {at(7, 300), at(8, 300), at(W - 7, 20, true), at(W - 8, 20, true),
                                      at(500, H - 8), at(W - 20, 7, true), at(600, 39), at(600, 40),
                                      at(3, 3, false, true), at(3, 300, false, true)};
        QCOMPARE(zones, QList<HitZone>({HitZone::Left, HitZone::Client, HitZone::Right, HitZone::Client,
                                        HitZone::Client, HitZone::Top, HitZone::Caption, HitZone::Client,
                                        HitZone::Caption, HitZone::Client}));
        // WM_NCCALCSIZE without wParam carries a plain RECT, not the parameters the claim rewrites.
        QCOMPARE(chrome::classifyFrameMessage(0x83, 0), chrome::FrameMessage::Other);
        QCOMPARE(chrome::physicalToLogical(11, 1.5), 7);
        QCOMPARE(chrome::physicalToLogical(15, 0.0), 15); // no ratio known: taken as is
    }

    // Around the border, a press drags exactly the edges the point lies on,
    // and dragging outwards grows the window.
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
                const QRect grown =
                    chrome::resizedGeometry(start, edges, QPoint(10 * dx, 10 * dy), {900, 550});
                QCOMPARE(grown.size(), QSize(W + 10 * dx * dx, H + 10 * dy * dy));
                QVERIFY(grown.contains(start));
            }
        }
        // A held edge does not push the window away.
        QCOMPARE(chrome::resizedGeometry(start, Qt::TopEdge, {0, 500}, {900, 550}),
                 QRect(100, 270, 1080, 550));
    }
};

QTEST_GUILESS_MAIN(TestHitTest)
#include "test_hittest.moc"
