#include "lobby/serveraddress.h"

#include <QHostAddress>
#include <cstdio>

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

bool isNumericAddress(const QString& text)
{
    QHostAddress address;
    return !text.isEmpty() && address.setAddress(text) && !text.contains(QLatin1Char('%'));
}

} // namespace

std::optional<ServerEndpoint> parseServerEndpoint(const QString& rawText, quint16 defaultPort, QString* error)
{
    const QString text = rawText.trimmed();
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
        *error = QStringLiteral("\"%1\" is not a numeric IPv4 or IPv6 address").arg(host);
        return std::nullopt;
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

ServerEndpoint configuredServerEndpoint()
{
    ServerEndpoint fallback{QStringLiteral(PELLORA_DEFAULT_SERVER), 7777};
    const QByteArray override = qgetenv("PELLORA_SERVER");
    if (override.isEmpty())
        return fallback;
    QString error;
    if (auto endpoint = parseServerEndpoint(QString::fromUtf8(override), 7777, &error))
        return *endpoint;
    std::fprintf(stderr, "pellora: ignoring PELLORA_SERVER: %s; using %s\n", qPrintable(error),
                 qPrintable(fallback.address));
    return fallback;
}

} // namespace lobby
