// Modal notices. Server texts are shown as plain text: they may carry what
// other players typed.
#pragma once

#include <QString>

class QWidget;

namespace ui {

void showWarning(QWidget* parent, const QString& title, const QString& text);
void showCritical(QWidget* parent, const QString& title, const QString& text);

} // namespace ui
