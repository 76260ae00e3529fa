#include "ui/hittest.h"

#include <cmath>

namespace chrome {

HitZone hitZone(const HitQuery& q)
{
    if (!q.maximized) {
        const bool left = q.x < resizeBand;
        const bool right = q.x > q.width - resizeBand;
        const bool top = q.y < resizeBand;
        const bool bottom = q.y > q.height - resizeBand;
        // Corners first; the bands win over everything beneath them,
        // including the title bar buttons.
        if (top && left)
            return HitZone::TopLeft;
        if (top && right)
            return HitZone::TopRight;
        if (bottom && left)
            return HitZone::BottomLeft;
        if (bottom && right)
            return HitZone::BottomRight;
        if (left)
            return HitZone::Left;
        if (right)
            return HitZone::Right;
        if (bottom)
            return HitZone::Bottom;
        if (top)
            return HitZone::Top;
    }
    if (q.y >= q.titleBarHeight || q.overButton)
        return HitZone::Client;
    return HitZone::Caption;
}

bool isResizeZone(HitZone zone)
{
    return zone != HitZone::Client && zone != HitZone::Caption;
}

FrameMessage classifyFrameMessage(unsigned int id, std::uintptr_t wParam)
{
    constexpr unsigned int wmNcCalcSize = 0x83;
    constexpr unsigned int wmNcHitTest = 0x84;
    if (id == wmNcCalcSize && wParam == 1)
        return FrameMessage::ClaimClientArea;
    if (id == wmNcHitTest)
        return FrameMessage::HitTest;
    return FrameMessage::Other;
}

int physicalToLogical(int physical, double devicePixelRatio)
{
    if (!(devicePixelRatio > 0))
        return physical;
    return static_cast<int>(std::floor(physical / devicePixelRatio));
}

} // namespace chrome
