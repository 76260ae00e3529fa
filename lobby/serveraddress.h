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

// The default endpoint, overridden once by PELLORA_SERVER; a bad override is
// reported on stderr and ignored.
ServerEndpoint configuredServerEndpoint();

} // namespace lobby
