// Where a point of the frameless window falls: a resize band, the title
// bar's drag area, or ordinary client area. One rule set for the Win32 hit
// test and for the mouse handling on other platforms; free of Qt and Win32 so
// that it is tested everywhere.
#pragma once

#include <cstdint>

namespace chrome {

// The values are the Win32 WM_NCHITTEST answers, so the Windows handler can
// hand them back unchanged.
enum class HitZone : int {
    Client = 1, // not ours: the widgets under the point get the mouse
    Caption = 2,
    Left = 10,
    Right = 11,
    Top = 12,
    TopLeft = 13,
    TopRight = 14,
    Bottom = 15,
    BottomLeft = 16,
    BottomRight = 17,
};

// Width of the left and top bands; the right and bottom bands are one pixel
// narrower because their test is "beyond size - band".
constexpr int resizeBand = 8;

struct HitQuery {
    int x = 0; // window coordinates, logical pixels
    int y = 0;
    int width = 0;
    int height = 0;
    int titleBarHeight = 0;
    bool overButton = false; // a title bar button lies under the point
    bool maximized = false;  // a maximised window has no resize bands
};

HitZone hitZone(const HitQuery& query);

bool isResizeZone(HitZone zone);

// The two non-client messages the frame answers, told apart by id and wParam.
enum class FrameMessage {
    Other,           // to the default handler
    ClaimClientArea, // WM_NCCALCSIZE with wParam TRUE: the whole window is client area
    HitTest,         // WM_NCHITTEST
};

FrameMessage classifyFrameMessage(unsigned int id, std::uintptr_t wParam);

// Native client coordinates are physical pixels; the widgets use logical
// ones. Rounds down, so a point never lands past the pixel it lies in.
int physicalToLogical(int physical, double devicePixelRatio);

} // namespace chrome
