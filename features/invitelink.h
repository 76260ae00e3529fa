// Invite links: pellora://HOST:PORT/ROOM?key=FINGERPRINT, the room name
// percent-encoded, the server key's fingerprint in its link form (optional).
// A link names a server, its key and a room, never a room's access key.
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
    QString key; // the server key's fingerprint as pinned; empty when the link names none
};

// The link for `room` on `server`, with the server key's fingerprint `key` when not empty.
QString formatLink(const lobby::ServerEndpoint& server, const QString& room, const QString& key = QString());

// Reads a link; nothing, and the reason in `error`, when it is not one.
std::optional<Link> parseLink(const QString& text, QString* error);

// True when `text` is meant as a link (its scheme), good or not.
bool looksLikeLink(const QString& text);

} // namespace invite
