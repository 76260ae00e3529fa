#include "ui/titlebar_win.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <windowsx.h>

namespace chrome::win {

void addFrameStyle(std::uintptr_t window)
{
    const HWND hwnd = reinterpret_cast<HWND>(window);
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    SetWindowLongW(hwnd, GWL_STYLE, style | WS_CAPTION | WS_THICKFRAME | WS_MAXIMIZEBOX);
}

NativeMessage readMessage(const void* msg)
{
    const MSG* m = static_cast<const MSG*>(msg);
    return {m->message, static_cast<std::uintptr_t>(m->wParam)};
}

void hitTestPoint(const void* msg, int* x, int* y)
{
    const MSG* m = static_cast<const MSG*>(msg);
    // Screen coordinates are signed: monitors left of or above the primary one are negative.
    POINT p{GET_X_LPARAM(m->lParam), GET_Y_LPARAM(m->lParam)};
    ScreenToClient(m->hwnd, &p);
    *x = p.x;
    *y = p.y;
}

std::intptr_t claimClientArea(const void* msg)
{
    const MSG* m = static_cast<const MSG*>(msg);
    if (IsZoomed(m->hwnd)) {
        auto* params = reinterpret_cast<NCCALCSIZE_PARAMS*>(m->lParam);
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        if (GetMonitorInfoW(MonitorFromWindow(m->hwnd, MONITOR_DEFAULTTONEAREST), &info))
            params->rgrc[0] = info.rcWork;
    }
    return 0;
}

} // namespace chrome::win
