// Win32 side of the frameless window; no Qt in here.
#pragma once

#include <cstdint>

namespace chrome::win {

// Adds caption, thick frame and maximise box to the window style, so that the
// system offers edge resizing, snapping and the maximise animation. The frame
// these bits would draw never shows: the whole window is claimed as client
// area (claimClientArea).
void addFrameStyle(std::uintptr_t window);

struct NativeMessage {
    unsigned int id = 0;
    std::uintptr_t wParam = 0;
};
NativeMessage readMessage(const void* msg);

// WM_NCHITTEST: the point under the mouse, in physical client coordinates.
void hitTestPoint(const void* msg, int* x, int* y);

// WM_NCCALCSIZE with wParam TRUE: makes the whole window client area and
// returns the message result. A maximised window is held to its monitor's
// work area: the system places it with its invisible frame hanging over the
// screen edges, which would otherwise cut off the title bar and the edges.
std::intptr_t claimClientArea(const void* msg);

} // namespace chrome::win
