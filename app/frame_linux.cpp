// The frameless window on X11 and Wayland: the window's own mouse events,
// seen before any widget gets them, pick the zone under the pointer and hand
// moves and resizes to the window manager, or do them by hand where the
// window manager will not.
#include "app/vlanclient.h"
#include "ui/framedrag.h"
#include "ui/pages.h"
#include "ui/titlebar.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWindow>

void chrome::installWindowFrame(QWidget* window)
{
    // The native window comes with the first show; see handleFrameEvent.
    window->installEventFilter(window);
}

bool VLANClient::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    return QWidget::nativeEvent(eventType, message, result);
}

namespace {

void showZoneCursor(chrome::FrameDrag& drag, chrome::HitZone zone)
{
    // An override cursor, because the widgets under the band reset the
    // window's own cursor whenever the pointer enters one of them.
    if (chrome::isResizeZone(zone)) {
        if (drag.cursorOverridden) {
            QGuiApplication::changeOverrideCursor(chrome::zoneCursor(zone));
        } else {
            QGuiApplication::setOverrideCursor(chrome::zoneCursor(zone));
            drag.cursorOverridden = true;
        }
    } else if (drag.cursorOverridden) {
        QGuiApplication::restoreOverrideCursor();
        drag.cursorOverridden = false;
    }
}

} // namespace

bool VLANClient::eventFilter(QObject* watched, QEvent* event)
{
    // The window watches only itself and its native window (QWidget passes everything on).
    using Mode = chrome::FrameDrag::Mode;
    if (watched == this) {
        // Mouse events reach the window before any widget, so the bands
        // win over whatever lies beneath them.
        if (event->type() == QEvent::Show)
            windowHandle()->installEventFilter(this); // a second install replaces the first
        return false;
    }
    if (watched != windowHandle())
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        const chrome::HitZone zone = chrome::zoneAt(this, titleBarWidget, mouse->position().toPoint());
        if (zone == chrome::HitZone::Client)
            return false;
        if (event->type() == QEvent::MouseButtonDblClick) {
            frameDrag.mode = Mode::None;
            if (zone == chrome::HitZone::Caption)
                ui::toggleMaximize(this);
            return true;
        }
        frameDrag.pressGlobal = mouse->globalPosition().toPoint();
        frameDrag.startGeometry = geometry();
        frameDrag.byHand = false;
        if (zone == chrome::HitZone::Caption) {
            frameDrag.mode = Mode::PendingMove; // a click may still become a double click
            return true;
        }
        frameDrag.mode = Mode::Resize;
        frameDrag.edges = chrome::resizeEdges(zone);
        frameDrag.byHand = !windowHandle()->startSystemResize(frameDrag.edges);
        if (!frameDrag.byHand)
            frameDrag.mode = Mode::None;
        return true;
    }
    case QEvent::MouseMove: {
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint delta = mouse->globalPosition().toPoint() - frameDrag.pressGlobal;
        if (frameDrag.mode == Mode::PendingMove) {
            if (!(mouse->buttons() & Qt::LeftButton)) {
                frameDrag.mode = Mode::None;
                return false;
            }
            if (delta.manhattanLength() < QApplication::startDragDistance())
                return true;
            frameDrag.mode = Mode::Move;
            frameDrag.byHand = !windowHandle()->startSystemMove();
            if (!frameDrag.byHand) {
                frameDrag.mode = Mode::None;
                return true;
            }
        }
        if (frameDrag.mode == Mode::Move) {
            if (!isMaximized())
                move(frameDrag.startGeometry.topLeft() + delta);
            return true;
        }
        if (frameDrag.mode == Mode::Resize) {
            setGeometry(
                chrome::resizedGeometry(frameDrag.startGeometry, frameDrag.edges, delta, minimumSize()));
            return true;
        }
        if (mouse->buttons() == Qt::NoButton)
            showZoneCursor(frameDrag, chrome::zoneAt(this, titleBarWidget, mouse->position().toPoint()));
        return false;
    }
    case QEvent::MouseButtonRelease:
        if (frameDrag.mode == Mode::None)
            return false;
        frameDrag.mode = Mode::None;
        return true;
    case QEvent::Leave:
    case QEvent::Hide:
        showZoneCursor(frameDrag, chrome::HitZone::Client);
        return false;
    default:
        return false;
    }
}
