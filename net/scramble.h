// The client's scrambling of whole datagrams: a copy, over the in-place
// scrambling that the relay shares (protocol/scramble.h).
#pragma once

#include "protocol/scramble.h"

#include <QByteArray>

namespace tunnel {

// Returns a scrambled copy; the same call unscrambles. Empty stays empty.
inline QByteArray scramblePayload(const QByteArray& payload)
{
    if (payload.isEmpty())
        return {};
    QByteArray out = payload;
    scrambleInPlace(reinterpret_cast<unsigned char*>(out.data()), static_cast<std::size_t>(out.size()));
    return out;
}

} // namespace tunnel
