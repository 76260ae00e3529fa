// Text conventions of the lobby: room-list entries, room names built by the
// create-room dialog, peer-list entries and tab titles.
#pragma once

#include <QString>

namespace rooms {

// The server marks rooms that need an access key after the name. Detection is
// loose (any letter case of the bracket markers, anywhere in the entry) so that
// we rather ask for a key once too often than send none.
inline bool isRestrictedEntry(const QString& entry)
{
    return entry.contains(QStringLiteral("🔒")) ||
           entry.contains(QLatin1String("[Locked]"), Qt::CaseInsensitive) ||
           entry.contains(QLatin1String("[Private]"), Qt::CaseInsensitive);
}

// Removal only takes the exact form the server writes (" 🔒", " [Locked]",
// " [Private]"), so any other spelling is part of the room's real name.
inline QString stripRestrictedMarkers(QString entry)
{
    for (const QString& marker :
         {QStringLiteral(" 🔒"), QStringLiteral(" [Locked]"), QStringLiteral(" [Private]")})
        entry.remove(marker, Qt::CaseSensitive);
    return entry;
}

inline const QString kAnyGame = QStringLiteral("Any / Custom Game");

// "[Game] name", or the bare name for the catch-all category. Both parts are
// substituted in one pass so that "%1" typed into the name stays literal.
inline QString composeRoomName(const QString& game, const QString& trimmedName)
{
    if (game == kAnyGame)
        return trimmedName;
    return QStringLiteral("[%1] %2").arg(game, trimmedName);
}

// Peer-list items carry the member's name and host flag besides the shown
// text, so that menus never have to take a name back apart from the text.
constexpr int kPeerNameRole = Qt::UserRole;
constexpr int kPeerHostRole = Qt::UserRole + 1;
constexpr int kPeerVipRole = Qt::UserRole + 2;

inline QString peerEntryText(const QString& user, const QString& virtualIp, bool host)
{
    return user + (host ? QStringLiteral(" 👑") : QString()) + QStringLiteral(" - ") + virtualIp;
}

// The second line of a member's entry: how our traffic reaches it, and its round trip that way.
inline QString peerPathText(bool direct, int rttMs)
{
    const QString path = direct ? QStringLiteral("direct") : QStringLiteral("relayed");
    return rttMs < 0 ? path : QStringLiteral("%1 · %2 ms").arg(path).arg(rttMs);
}

// Tab bars read "&" as a shortcut marker; a name must show as it is.
inline QString tabTitle(const QString& prefix, const QString& name)
{
    return prefix + QString(name).replace(QLatin1Char('&'), QLatin1String("&&"));
}

} // namespace rooms
