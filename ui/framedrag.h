// Moving and resizing the frameless window from its own mouse events, for
// window systems where the client drives that (everything but Win32).
#pragma once

#include "ui/hittest.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <Qt>

namespace chrome {

Qt::Edges resizeEdges(HitZone zone);
// The cursor that announces a zone; the arrow for zones that do not resize.
Qt::CursorShape zoneCursor(HitZone zone);

// The window geometry after dragging the given edges by `delta`, never
// smaller than `minimum`; an edge held back by the minimum stays put instead
// of pushing the window away.
QRect resizedGeometry(const QRect& start, Qt::Edges edges, const QPoint& delta, const QSize& minimum);

// A drag in progress: a pending title bar press waits for the drag distance
// before it moves the window, so that clicks and double clicks stay clicks.
struct FrameDrag {
    enum class Mode { None, PendingMove, Move, Resize };
    Mode mode = Mode::None;
    bool byHand = false; // the window system refused to take over
    Qt::Edges edges;
    QPoint pressGlobal;
    QRect startGeometry;
    bool cursorOverridden = false;
};

} // namespace chrome
