// The Win32 side of the frameless window on a real (windowless-driver)
// window: the style bits, how the two non-client messages are read, and the
// hit-test point in the window's own coordinates feeding the zone rules.
#include "tests/windows/wincheck.h"
#include "ui/hittest.h"
#include "ui/titlebar_win.h"

#include <windows.h>

namespace {

constexpr int kLeft = 100;
constexpr int kTop = 200;
constexpr int kWidth = 300;
constexpr int kHeight = 400;
constexpr int kTitleBar = 40;

// A plain top-level window at a known place on the screen.
struct Window
{
    HWND hwnd = CreateWindowExW(0, L"STATIC", L"Pellora test", WS_POPUP, kLeft, kTop, kWidth, kHeight,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ~Window()
    {
        if (hwnd)
            DestroyWindow(hwnd);
    }
    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    std::uintptr_t id() const { return reinterpret_cast<std::uintptr_t>(hwnd); }
};

LPARAM screenPoint(int x, int y)
{
    // As the system packs it: two signed 16-bit halves.
    return static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(x)) |
                               (static_cast<DWORD>(static_cast<WORD>(y)) << 16));
}

MSG message(HWND hwnd, UINT id, WPARAM wParam, LPARAM lParam)
{
    MSG m{};
    m.hwnd = hwnd;
    m.message = id;
    m.wParam = wParam;
    m.lParam = lParam;
    return m;
}

struct Point
{
    int x;
    int y;
};

Point clientPoint(HWND hwnd, int screenX, int screenY)
{
    const MSG m = message(hwnd, WM_NCHITTEST, 0, screenPoint(screenX, screenY));
    Point p{0, 0};
    chrome::win::hitTestPoint(&m, &p.x, &p.y);
    return p;
}

// The whole way of a WM_NCHITTEST at 100 % scale: message, point, zone.
int zoneAtScreen(HWND hwnd, int screenX, int screenY, bool overButton = false)
{
    const MSG m = message(hwnd, WM_NCHITTEST, 0, screenPoint(screenX, screenY));
    const chrome::win::NativeMessage native = chrome::win::readMessage(&m);
    if (chrome::classifyFrameMessage(native.id, native.wParam) != chrome::FrameMessage::HitTest)
        return -1;
    chrome::HitQuery q;
    chrome::win::hitTestPoint(&m, &q.x, &q.y);
    q.width = kWidth;
    q.height = kHeight;
    q.titleBarHeight = kTitleBar;
    q.overButton = overButton;
    return static_cast<int>(chrome::hitZone(q));
}

} // namespace

WINCHECK_CASE(frame_style_adds_caption_thick_frame_and_maximise_box)
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    chrome::win::addFrameStyle(window.id());
    const LONG style = GetWindowLongW(window.hwnd, GWL_STYLE);
    CHECK_EQ(static_cast<unsigned long>(style & 0xC50000), 0xC50000ul);
    CHECK((style & WS_MINIMIZEBOX) == 0);
    CHECK((style & WS_POPUP) != 0); // what was there stays
    chrome::win::addFrameStyle(window.id());
    CHECK_EQ(GetWindowLongW(window.hwnd, GWL_STYLE), style);
}

WINCHECK_CASE(non_client_messages_are_told_apart)
{
    const MSG calcTrue = message(nullptr, WM_NCCALCSIZE, TRUE, 0);
    const MSG calcFalse = message(nullptr, WM_NCCALCSIZE, FALSE, 0);
    const MSG hitTest = message(nullptr, WM_NCHITTEST, 0, screenPoint(5, 5));
    const MSG paint = message(nullptr, WM_NCPAINT, 1, 0);
    auto kind = [](const MSG& m) {
        const chrome::win::NativeMessage native = chrome::win::readMessage(&m);
        return chrome::classifyFrameMessage(native.id, native.wParam);
    };
    CHECK(kind(calcTrue) == chrome::FrameMessage::ClaimClientArea);
    CHECK(kind(calcFalse) == chrome::FrameMessage::Other);
    CHECK(kind(hitTest) == chrome::FrameMessage::HitTest);
    CHECK(kind(paint) == chrome::FrameMessage::Other);
    const chrome::win::NativeMessage native = chrome::win::readMessage(&calcTrue);
    CHECK_EQ(native.id, static_cast<unsigned int>(WM_NCCALCSIZE));
    CHECK_EQ(native.wParam, static_cast<std::uintptr_t>(1));
}

WINCHECK_CASE(hit_test_point_is_signed_and_relative_to_the_window)
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    const Point inside = clientPoint(window.hwnd, kLeft + 20, kTop + 30);
    CHECK_EQ(inside.x, 20);
    CHECK_EQ(inside.y, 30);
    // Monitors left of and above the primary one have negative coordinates.
    const Point leftOfScreen = clientPoint(window.hwnd, -5, kTop + 10);
    CHECK_EQ(leftOfScreen.x, -5 - kLeft);
    CHECK_EQ(leftOfScreen.y, 10);
    const Point aboveScreen = clientPoint(window.hwnd, kLeft + 50, -30);
    CHECK_EQ(aboveScreen.x, 50);
    CHECK_EQ(aboveScreen.y, -30 - kTop);
    const Point farCorner = clientPoint(window.hwnd, kLeft + kWidth - 1, kTop + kHeight - 1);
    CHECK_EQ(farCorner.x, kWidth - 1);
    CHECK_EQ(farCorner.y, kHeight - 1);
}

WINCHECK_CASE(hit_test_message_answers_the_zone_under_the_mouse)
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + 3, kTop + 3), 13);                    // HTTOPLEFT
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + kWidth - 3, kTop + kHeight - 3), 17); // HTBOTTOMRIGHT
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + kWidth - 7, kTop + 20, true), 11);    // HTRIGHT over a button
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + kWidth - 8, kTop + 20, true), 1);     // the button itself
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + 150, kTop + 20), 2);                  // HTCAPTION
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + 150, kTop + kTitleBar), 1);           // the pages below
    CHECK_EQ(zoneAtScreen(window.hwnd, kLeft + 150, kTop + 4, true), 12);            // HTTOP over a button
}

WINCHECK_CASE(client_area_claim_leaves_a_normal_window_alone)
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    NCCALCSIZE_PARAMS params{};
    params.rgrc[0] = RECT{kLeft, kTop, kLeft + kWidth, kTop + kHeight};
    const MSG m = message(window.hwnd, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&params));
    CHECK_EQ(static_cast<long long>(chrome::win::claimClientArea(&m)), 0ll);
    CHECK_EQ(params.rgrc[0].left, static_cast<LONG>(kLeft));
    CHECK_EQ(params.rgrc[0].top, static_cast<LONG>(kTop));
    CHECK_EQ(params.rgrc[0].right, static_cast<LONG>(kLeft + kWidth));
    CHECK_EQ(params.rgrc[0].bottom, static_cast<LONG>(kTop + kHeight));
}

WINCHECK_CASE(client_area_of_a_maximised_window_is_the_work_area)
{
    Window window;
    REQUIRE(window.hwnd != nullptr);
    chrome::win::addFrameStyle(window.id());
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
    CHECK_EQ(static_cast<long long>(chrome::win::claimClientArea(&m)), 0ll);
    CHECK_EQ(params.rgrc[0].left, info.rcWork.left);
    CHECK_EQ(params.rgrc[0].top, info.rcWork.top);
    CHECK_EQ(params.rgrc[0].right, info.rcWork.right);
    CHECK_EQ(params.rgrc[0].bottom, info.rcWork.bottom);
}

WINCHECK_MAIN()
