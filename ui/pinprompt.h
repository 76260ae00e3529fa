// The question a player gets when a server shows another key than the one pinned.
#pragma once

#include <QString>

class QWidget;

namespace ui {

// True when the player accepts the new key `seen` for `server` in place of `pinned`.
bool acceptChangedKey(QWidget* parent, const QString& server, const QString& pinned, const QString& seen);

} // namespace ui
