// Modal prompts of the lobby features.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace prompts {

// Masked single-line prompt for a room's access key. The label is shown as
// plain text: it may carry a room name another player chose. Returns the text
// exactly as typed (possibly empty), or nothing when cancelled.
std::optional<QString> askAccessKey(QWidget* parent, const QString& title, const QString& label);

} // namespace prompts
