#include "features/invitelink.h"

#include "lobby/pinning.h"

#include <QByteArray>
#include <QUrl>

namespace invite {
namespace {

QString prefix()
{
    return QLatin1String(kScheme) + QStringLiteral("://");
}

// The query: key=FINGERPRINT; other parameters are left for later versions.
bool readQuery(const QString& query, QString* key, QString* error)
{
    for (const QString& parameter : query.split(QLatin1Char('&'))) {
        if (!parameter.startsWith(QLatin1String("key=")))
            continue;
        if (!key->isEmpty()) {
            *error = QStringLiteral("it names the server key twice");
            return false;
        }
        *key = pinning::fromLinkForm(parameter.mid(4));
        if (key->isEmpty()) {
            *error = QStringLiteral("the server key it names is not a key fingerprint");
            return false;
        }
    }
    return true;
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

QString formatLink(const lobby::ServerEndpoint& server, const QString& room, const QString& key)
{
    const QString linkKey = pinning::linkForm(key);
    return prefix() + lobby::formatEndpoint(server) + QLatin1Char('/') +
           QString::fromLatin1(QUrl::toPercentEncoding(room)) +
           (linkKey.isEmpty() ? QString() : QStringLiteral("?key=") + linkKey);
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
    const qsizetype question = rest.indexOf(QLatin1Char('?'), slash);
    const QString encodedRoom = rest.mid(slash + 1, question < 0 ? -1 : question - slash - 1);
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
    QString key;
    if (question >= 0 && !readQuery(rest.mid(question + 1), &key, error))
        return std::nullopt;
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
    return Link{*server, room, key};
}

} // namespace invite
