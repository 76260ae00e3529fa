// Invite links, as any program or web page may hand them to a second start: every text is read or refused
// with a reason; what is read writes back to a link that reads the same.
#include "features/invitelink.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString error;
    const std::optional<invite::Link> link = invite::parseLink(text, &error);
    if (!link) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    const QString written = invite::formatLink(link->server, link->room, link->key);
    // Raw characters a link may carry come back percent-encoded, which can pass the length limit.
    if (written.size() > invite::kMaxLinkLength)
        return 0;
    QString again;
    const std::optional<invite::Link> back = invite::parseLink(written, &again);
    if (!back || back->room != link->room || back->key != link->key ||
        lobby::formatEndpoint(back->server) != lobby::formatEndpoint(link->server))
        std::abort();
    return 0;
}
