#include "ui/framedrag.h"

namespace chrome {

Qt::Edges resizeEdges(HitZone zone)
{
    switch (zone) {
    case HitZone::Left: return Qt::LeftEdge;
    case HitZone::Right: return Qt::RightEdge;
    case HitZone::Top: return Qt::TopEdge;
    case HitZone::Bottom: return Qt::BottomEdge;
    case HitZone::TopLeft: return Qt::TopEdge | Qt::LeftEdge;
    case HitZone::TopRight: return Qt::TopEdge | Qt::RightEdge;
    case HitZone::BottomLeft: return Qt::BottomEdge | Qt::LeftEdge;
    case HitZone::BottomRight: return Qt::BottomEdge | Qt::RightEdge;
    case HitZone::Client:
    case HitZone::Caption: break;
    }
    return {};
}

Qt::CursorShape zoneCursor(HitZone zone)
{
    switch (zone) {
    case HitZone::Left:
    case HitZone::Right: return Qt::SizeHorCursor;
    case HitZone::Top:
    case HitZone::Bottom: return Qt::SizeVerCursor;
    case HitZone::TopLeft:
    case HitZone::BottomRight: return Qt::SizeFDiagCursor;
    case HitZone::TopRight:
    case HitZone::BottomLeft: return Qt::SizeBDiagCursor;
    case HitZone::Client:
    case HitZone::Caption: break;
    }
    return Qt::ArrowCursor;
}

QRect resizedGeometry(const QRect& start, Qt::Edges edges, const QPoint& delta, const QSize& minimum)
{
    QRect r = start;
    if (edges & Qt::LeftEdge)
        r.setLeft(qMin(start.left() + delta.x(), start.right() + 1 - minimum.width()));
    if (edges & Qt::RightEdge)
        r.setRight(qMax(start.right() + delta.x(), start.left() - 1 + minimum.width()));
    if (edges & Qt::TopEdge)
        r.setTop(qMin(start.top() + delta.y(), start.bottom() + 1 - minimum.height()));
    if (edges & Qt::BottomEdge)
        r.setBottom(qMax(start.bottom() + delta.y(), start.top() - 1 + minimum.height()));
    return r;
}

} // namespace chrome
