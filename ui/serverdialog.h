// The small dialog of the login page in which the player types the server.
#pragma once

#include "lobby/serveraddress.h"

#include <optional>

class QWidget;

namespace ui {

// Asks for an address or host name and a port, starting from `current`. Input that
// does not parse is refused with the reason and the dialog stays open;
// nothing when the player cancels.
// `key` says how the current server is sealed (its key's fingerprint), if known.
std::optional<lobby::ServerEndpoint> askServer(QWidget* parent, const lobby::ServerEndpoint& current,
                                               const QString& key = QString());

} // namespace ui
