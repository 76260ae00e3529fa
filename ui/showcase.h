// The login page's strip of game icons that scrolls without end.
#pragma once

#include <QStringList>

class QWidget;

namespace showcase {

constexpr int iconSize = 50;
constexpr int iconSpacing = 40;
constexpr int repeats = 4; // the strip wraps after half of it, so it never runs dry

// The six game icons, in showcase order.
QStringList gameIcons();

// One half-transparent icon per path, each on a fixed square: a missing
// image leaves its square empty, so the strip keeps its width.
QWidget* buildStrip(const QStringList& icons);

// The scroll position one tick on: one pixel further, back to 0 once half
// the strip has gone by.
int nextOffset(int offset, int stripWidth);

} // namespace showcase
