#include "lobby/serveraddress.h"

#include <QHostAddress>
#include <QStringList>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <utility>

#ifndef PELLORA_DEFAULT_SERVER
#define PELLORA_DEFAULT_SERVER "127.0.0.1"
#endif

namespace lobby {
namespace {

bool parsePort(const QString& text, quint16* port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

// RFC 1123 labels: letters, digits and inner hyphens, 63 characters at most.
bool isHostName(const QString& name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    const QStringList labels = name.split(QLatin1Char('.'));
    for (const QString& label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (!(c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || c == QLatin1Char('-')))
                return false;
        }
    }
    // An all-digit last label would be a mistyped number, not a name.
    bool digitsOnly = false;
    labels.last().toUInt(&digitsOnly);
    return !digitsOnly;
}

} // namespace

bool isNumericAddress(const QString& text)
{
    QHostAddress address;
    return !text.isEmpty() && address.setAddress(text) && !text.contains(QLatin1Char('%'));
}

std::optional<ServerEndpoint> parseServerEndpoint(const QString& rawText, quint16 defaultPort, QString* error)
{
    const QString text = rawText.trimmed();
    // Control characters (a NUL above all) would let the address parsers read
    // less than the text holds, and the address shown differ from the one used.
    const auto control = [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; };
    if (std::any_of(text.cbegin(), text.cend(), control)) {
        *error = QStringLiteral("the server address holds control characters");
        return std::nullopt;
    }
    ServerEndpoint endpoint;
    endpoint.port = defaultPort;
    QString host = text;
    QString portText;

    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *error = QStringLiteral("missing ']' in \"%1\"").arg(text);
            return std::nullopt;
        }
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':'))) {
                *error = QStringLiteral("unexpected text after ']' in \"%1\"").arg(text);
                return std::nullopt;
            }
            portText = rest.mid(1);
        }
    } else if (text.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        host = text.left(colon);
        portText = text.mid(colon + 1);
    }

    if (!isNumericAddress(host)) {
        // A trailing dot (fully qualified) names the same server.
        const QString name =
            QString::fromLatin1(QUrl::toAce(host.endsWith(QLatin1Char('.')) ? host.chopped(1) : host));
        if (text.startsWith(QLatin1Char('[')) || !isHostName(name)) {
            *error = QStringLiteral("\"%1\" is neither an IPv4 or IPv6 address nor a host name").arg(host);
            return std::nullopt;
        }
        host = name;
    }
    if (text.startsWith(QLatin1Char('[')) && !host.contains(QLatin1Char(':'))) {
        *error = QStringLiteral("brackets are only for IPv6 addresses");
        return std::nullopt;
    }
    if (!portText.isNull() && !parsePort(portText, &endpoint.port)) {
        *error = QStringLiteral("\"%1\" is not a port number").arg(portText);
        return std::nullopt;
    }
    endpoint.address = host;
    return endpoint;
}

QString formatEndpoint(const ServerEndpoint& endpoint)
{
    const QString form =
        endpoint.address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2");
    return form.arg(endpoint.address).arg(endpoint.port);
}

QString describeEndpoint(const ServerEndpoint& endpoint, const QString& reachedAddress)
{
    if (isNumericAddress(endpoint.address) || reachedAddress.isEmpty())
        return formatEndpoint(endpoint);
    return QStringLiteral("%1 (%2):%3").arg(endpoint.address, reachedAddress).arg(endpoint.port);
}

ServerEndpoint configuredServerEndpoint(const QString& option, const QString& saved)
{
    const std::pair<const char*, QString> sources[] = {
        {"--server", option},
        {"PELLORA_SERVER", QString::fromLocal8Bit(qgetenv("PELLORA_SERVER"))},
        {"the saved server", saved},
        {"the build default", QStringLiteral(PELLORA_DEFAULT_SERVER)},
    };
    for (const auto& [source, text] : sources) {
        if (text.trimmed().isEmpty())
            continue;
        QString error;
        if (auto endpoint = parseServerEndpoint(text, 7777, &error))
            return *endpoint;
        std::fprintf(stderr, "pellora: ignoring %s: %s\n", source, qPrintable(error));
    }
    return {QStringLiteral("127.0.0.1"), 7777};
}

} // namespace lobby
