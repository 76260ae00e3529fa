// Invite links: pellora://HOST:PORT/ROOM, the room name percent-encoded. A
// link names a server and a room, never an access key.
#pragma once

#include "lobby/serveraddress.h"

#include <QString>
#include <optional>

namespace invite {

inline constexpr char kScheme[] = "pellora";
// Longer text is refused before any parsing: nothing real comes near it.
inline constexpr int kMaxLinkLength = 2048;

struct Link {
    lobby::ServerEndpoint server;
    QString room;
};

// The link for `room` on `server`.
QString formatLink(const lobby::ServerEndpoint& server, const QString& room);

// Reads a link; nothing, and the reason in `error`, when it is not one.
std::optional<Link> parseLink(const QString& text, QString* error);

// True when `text` is meant as a link (its scheme), good or not.
bool looksLikeLink(const QString& text);

} // namespace invite
