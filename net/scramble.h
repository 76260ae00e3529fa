// XOR scrambling of tunnel datagrams, shared by client and relay.
#pragma once

#include "net/xorkey.h"

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
