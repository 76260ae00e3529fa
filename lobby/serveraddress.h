// Where the client finds its lobby server and relay.
#pragma once

#include <QString>
#include <optional>

namespace lobby {

struct ServerEndpoint {
    QString address; // numeric IPv4 or IPv6 literal, or a DNS name (lower case, ASCII)
    quint16 port = 7777;
};

// True when `address` is a numeric IPv4 or IPv6 literal (no scope).
bool isNumericAddress(const QString& address);

// Parses "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT", HOST a numeric address or
// a DNS name (internationalised names become their ASCII form).
// Returns nothing and sets `error` when the text is not of that form.
std::optional<ServerEndpoint> parseServerEndpoint(const QString& text, quint16 defaultPort, QString* error);

// "ADDR:PORT", an IPv6 address in brackets: the form the parser reads back.
QString formatEndpoint(const ServerEndpoint& endpoint);

// What the login page shows: formatEndpoint for a number; for a name, the name
// and, once known, the address it was reached at: "NAME (ADDR):PORT".
QString describeEndpoint(const ServerEndpoint& endpoint, const QString& reachedAddress);

// The server the client starts with, the first usable of: the --server
// option, PELLORA_SERVER, the one saved in settings, the build default.
// A value that does not parse is reported on stderr and skipped.
ServerEndpoint configuredServerEndpoint(const QString& option = QString(), const QString& saved = QString());

} // namespace lobby
