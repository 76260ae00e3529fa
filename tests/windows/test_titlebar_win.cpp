// The Win32 side of the frameless window on a real (windowless-driver) window.
#include "tests/windows/wincheck.h"
#include "ui/hittest.h"
#include "ui/titlebar_win.h"

#include <windows.h>

namespace {

constexpr int kLeft = 100;
constexpr int kTop = 200;
constexpr int kWidth = 300;
constexpr int kHeight = 400;

struct Window
{
    HWND hwnd = CreateWindowExW(0, L"STATIC", L"Pellora test", WS_POPUP, kLeft, kTop, kWidth, kHeight,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ~Window() { DestroyWindow(hwnd); }
    std::uintptr_t id() const { return reinterpret_cast<std::uintptr_t>(hwnd); }
};

MSG message(HWND hwnd, UINT id, WPARAM wParam, LPARAM lParam)
{
    MSG m{};
    m.hwnd = hwnd;
    m.message = id;
    m.wParam = wParam;
    m.lParam = lParam;
    return m;
}

// The whole way of a WM_NCHITTEST at 100 % scale: message, point, zone; or
// -1 when the message is not read as a hit test.
int zoneAtScreen(HWND hwnd, int screenX, int screenY, bool overButton = false)
{
    // As the system packs the point: two signed 16-bit halves.
    const LPARAM point = static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(screenX)) |
                                             (static_cast<DWORD>(static_cast<WORD>(screenY)) << 16));
    const MSG m = message(hwnd, WM_NCHITTEST, 0, point);
    const chrome::win::NativeMessage native = chrome::win::readMessage(&m);
    if (chrome::classifyFrameMessage(native.id, native.wParam) != chrome::FrameMessage::HitTest)
        return -1;
    chrome::HitQuery q;
    chrome::win::hitTestPoint(&m, &q.x, &q.y);
    q.width = kWidth;
    q.height = kHeight;
    q.titleBarHeight = 40;
    q.overButton = overButton;
    return static_cast<int>(chrome::hitZone(q));
}

} // namespace

static void hitTestAnswersTheZoneUnderTheMouse()
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    CHECK(zoneAtScreen(window.hwnd, kLeft + 3, kTop + 3) == HTTOPLEFT);
    CHECK(zoneAtScreen(window.hwnd, kLeft + kWidth - 3, kTop + kHeight - 3) == HTBOTTOMRIGHT);
    CHECK(zoneAtScreen(window.hwnd, kLeft + kWidth - 7, kTop + 20, true) == HTRIGHT);
    CHECK(zoneAtScreen(window.hwnd, kLeft + 150, kTop + 20) == HTCAPTION);
    CHECK(zoneAtScreen(window.hwnd, kLeft + 150, kTop + 40) == HTCLIENT);
    // Screen points are signed: left of and above the window on a monitor at negative coordinates.
    CHECK(zoneAtScreen(window.hwnd, -5, kTop + 20) == HTLEFT);
    CHECK(zoneAtScreen(window.hwnd, kLeft + 150, -30) == HTTOP);
    const MSG calcSize = message(window.hwnd, WM_NCCALCSIZE, TRUE, 0);
    const chrome::win::NativeMessage native = chrome::win::readMessage(&calcSize);
    CHECK(native.id == WM_NCCALCSIZE && native.wParam == TRUE);
}

// The frame style lets the system maximise the window, whose client area is then the work area.
static void framedWindowMaximisesToTheWorkArea()
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    chrome::win::addFrameStyle(window.id());
    const LONG style = GetWindowLongW(window.hwnd, GWL_STYLE);
    const LONG framed = WS_CAPTION | WS_THICKFRAME | WS_MAXIMIZEBOX | WS_POPUP;
    CHECK((style & (framed | WS_MINIMIZEBOX)) == framed);
    ShowWindow(window.hwnd, SW_MAXIMIZE);
    REQUIRE(IsZoomed(window.hwnd));
    MONITORINFO info{};
    info.cbSize = sizeof info;
    REQUIRE(GetMonitorInfoW(MonitorFromWindow(window.hwnd, MONITOR_DEFAULTTONEAREST), &info));
    // The system's proposal hangs the invisible frame over the screen edges.
    NCCALCSIZE_PARAMS params{};
    params.rgrc[0] =
        RECT{info.rcWork.left - 8, info.rcWork.top - 8, info.rcWork.right + 8, info.rcWork.bottom + 8};
    const MSG m = message(window.hwnd, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&params));
    CHECK(chrome::win::claimClientArea(&m) == 0);
    CHECK(EqualRect(&params.rgrc[0], &info.rcWork));
}

int main()
{
    return wincheck::run({WINCHECK_CASE(hitTestAnswersTheZoneUnderTheMouse),
                          WINCHECK_CASE(framedWindowMaximisesToTheWorkArea)});
}
