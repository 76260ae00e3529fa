// The frameless window on Windows: the system moves and resizes it, asking
// the window through WM_NCHITTEST which part lies under the mouse.
#include "app/vlanclient.h"
#include "ui/pages.h"
#include "ui/titlebar.h"
#include "ui/titlebar_win.h"

void chrome::installWindowFrame(QWidget* window)
{
    // Asking for the id creates the native window now, before it is shown.
    chrome::win::addFrameStyle(static_cast<std::uintptr_t>(window->winId()));
}

bool VLANClient::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    const chrome::win::NativeMessage native = chrome::win::readMessage(message);
    switch (chrome::classifyFrameMessage(native.id, native.wParam)) {
    case chrome::FrameMessage::ClaimClientArea:
        *result = chrome::win::claimClientArea(message);
        return true;
    case chrome::FrameMessage::HitTest: {
        int x = 0;
        int y = 0;
        chrome::win::hitTestPoint(message, &x, &y);
        // The message speaks physical pixels, the widgets logical ones; at
        // display scales above 100 % the two differ.
        const qreal dpr = devicePixelRatioF();
        const QPoint local(chrome::physicalToLogical(x, dpr), chrome::physicalToLogical(y, dpr));
        const chrome::HitZone zone = chrome::zoneAt(this, titleBarWidget, local);
        if (zone != chrome::HitZone::Client) {
            *result = static_cast<qintptr>(zone);
            return true;
        }
        break;
    }
    case chrome::FrameMessage::Other:
        break;
    }
    return QWidget::nativeEvent(eventType, message, result);
}

bool VLANClient::eventFilter(QObject* watched, QEvent* event)
{
    return QWidget::eventFilter(watched, event); // the system moves and resizes, see nativeEvent
}
