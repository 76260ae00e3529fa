#include "features/invitelink.h"

#include <QByteArray>
#include <QUrl>

namespace invite {
namespace {

QString prefix()
{
    return QLatin1String(kScheme) + QStringLiteral("://");
}

bool hasControlCharacters(const QString& text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
            c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return true;
    }
    return false;
}

} // namespace

QString formatLink(const lobby::ServerEndpoint& server, const QString& room)
{
    return prefix() + lobby::formatEndpoint(server) + QLatin1Char('/') +
           QString::fromLatin1(QUrl::toPercentEncoding(room));
}

bool looksLikeLink(const QString& text)
{
    return text.trimmed().startsWith(prefix(), Qt::CaseInsensitive);
}

std::optional<Link> parseLink(const QString& rawText, QString* error)
{
    const QString text = rawText.trimmed();
    if (text.size() > kMaxLinkLength) {
        *error = QStringLiteral("the link is too long");
        return std::nullopt;
    }
    if (!looksLikeLink(text)) {
        *error = QStringLiteral("it does not start with %1").arg(prefix());
        return std::nullopt;
    }
    const QString rest = text.mid(prefix().size());
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash < 0) {
        *error = QStringLiteral("it names no room");
        return std::nullopt;
    }
    const QString authority = rest.left(slash);
    const QString encodedRoom = rest.mid(slash + 1);
    // A user part would let a link show one server and lead to another.
    if (authority.contains(QLatin1Char('@'))) {
        *error = QStringLiteral("it carries a user name");
        return std::nullopt;
    }
    if (authority.trimmed().isEmpty() || authority.trimmed() != authority) {
        *error = QStringLiteral("it names no server");
        return std::nullopt;
    }
    const std::optional<lobby::ServerEndpoint> server = lobby::parseServerEndpoint(authority, 7777, error);
    if (!server)
        return std::nullopt;
    // Anything a room name holds beyond letters comes percent-encoded, so a
    // raw separator means the link was cut or pasted into.
    for (const char c : {'/', '?', '#', ' '}) {
        if (encodedRoom.contains(QLatin1Char(c))) {
            *error = QStringLiteral("the room name is not encoded");
            return std::nullopt;
        }
    }
    const QString room = QUrl::fromPercentEncoding(encodedRoom.toUtf8());
    if (room.trimmed().isEmpty()) {
        *error = QStringLiteral("it names no room");
        return std::nullopt;
    }
    if (hasControlCharacters(room) || room.contains(QChar::ReplacementCharacter)) {
        *error = QStringLiteral("the room name holds characters a room cannot have");
        return std::nullopt;
    }
    error->clear();
    return Link{*server, room};
}

} // namespace invite
