// Style sheets of the window. The window's theme sets the defaults; the
// per-widget sheets below win where both set a property.
#pragma once

#include <QString>

namespace theme {

QString windowSheet();
QString cardSheet();
QString primaryButtonSheet();
QString secondaryButtonSheet();
QString modeToggleSheet();
QString splitterSheet();
QString tabSheet();
QString copiedButtonSheet();

} // namespace theme
