// Where the client finds its lobby server and relay.
#pragma once

#include <QString>
#include <optional>

namespace lobby {

struct ServerEndpoint {
    QString address; // numeric IPv4 or IPv6 literal
    quint16 port = 7777;
};

// Parses "ADDR", "ADDR:PORT", "[V6]" or "[V6]:PORT" with a numeric address.
// Returns nothing and sets `error` when the text is not of that form.
std::optional<ServerEndpoint> parseServerEndpoint(const QString& text, quint16 defaultPort, QString* error);

// "ADDR:PORT", an IPv6 address in brackets: the form the parser reads back.
QString formatEndpoint(const ServerEndpoint& endpoint);

// The server the client starts with, the first usable of: the --server
// option, PELLORA_SERVER, the one saved in settings, the build default.
// A value that does not parse is reported on stderr and skipped.
ServerEndpoint configuredServerEndpoint(const QString& option = QString(), const QString& saved = QString());

} // namespace lobby
