// The frameless window's own title bar: glyphs and the zone under a point.
#pragma once

#include "ui/hittest.h"

#include <QIcon>
#include <QPoint>
#include <QStringList>

class QColor;
class QWidget;

namespace chrome {

// Platform part of the frameless window, run once the window flags are set:
// the native frame style on Windows; elsewhere it watches for the native
// window, whose mouse events then drive moves and resizes.
void installWindowFrame(QWidget* window);

// The zone of `window` under `pos` (window coordinates), with `titleBar` as
// its title bar.
HitZone zoneAt(const QWidget* window, const QWidget* titleBar, const QPoint& pos);

// The icon font for the title bar buttons found among `families`, or empty.
QString titleGlyphFamily(const QStringList& families);

enum class TitleGlyph { Minimize, Maximize, Close };

constexpr int titleGlyphSize = 10;

// A drawn stand-in for the icon font's glyph, for systems without that font.
QIcon titleGlyphIcon(TitleGlyph glyph, const QColor& color, qreal devicePixelRatio);

} // namespace chrome
