// Style sheets of the window. The window's theme sets the defaults; the
// per-widget sheets below win where both set a property.
#pragma once

#include <QColor>
#include <QString>

class QComboBox;

namespace theme {

QString windowSheet();
QString cardSheet();
QString primaryButtonSheet();
QString secondaryButtonSheet();
QString modeToggleSheet();
QString splitterSheet();
QString tabSheet();
QString copiedButtonSheet();

// Surface and text of drop-down lists.
inline const QColor popupSurface{0x18, 0x18, 0x1b};
inline const QColor popupText{0xff, 0xff, 0xff};
inline const QColor popupSelection{0x27, 0x27, 0x2a};
// Secondary text under list entries.
inline const QColor detailText{0x71, 0x71, 0x7a};

// Gives the drop-down list of `box` the theme's colours, frame included.
void darkPopup(QComboBox* box);

} // namespace theme
