#include "lobby/serveraddress.h"

#include <QHostAddress>
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
        *error = QStringLiteral("\"%1\" is not a numeric IPv4 or IPv6 address (host names cannot be used: "
                                "the relay is addressed by number)").arg(host);
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

QString formatEndpoint(const ServerEndpoint& endpoint)
{
    const QString form = endpoint.address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2");
    return form.arg(endpoint.address).arg(endpoint.port);
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
