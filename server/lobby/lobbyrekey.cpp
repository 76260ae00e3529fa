// Keys age by use as well as by time: a client (or the relay, for the tunnel)
// asks for a new key before one has sealed all it may, and every key is
// replaced within the key lifetime anyway. Nothing here is logged: keys.
#include "protocol/messages.h"
#include "server/lobby/lobby.h"

void Lobby::rekey(Connection&, Session& session, const QJsonObject& message)
{
    if (session.seal.serial == 0)
        return;
    const msg::Rekey request = msg::Rekey::parse(message);
    if (!request.pair) {
        // Served by the next tick, once the key is old enough.
        session.rekeyWanted = true;
        return;
    }
    const std::uint32_t index = *request.pair;
    if (!session.room || index == 0)
        return;
    // Only a member of the pair may ask for its key.
    for (auto& [serials, p] : session.room->pairs) {
        const bool member = serials.first == session.serial || serials.second == session.serial;
        if (p.index == index && member)
            p.rekeyWanted = true;
    }
}

void Lobby::renewPairKeys(qint64 now)
{
    for (const auto& [name, room] : rooms_) {
        for (auto& [serials, pair] : room->pairs) {
            // A new pair's age counts from the first look.
            if (pair.issuedAt == kNever)
                pair.issuedAt = now;
            const qint64 age = now - pair.issuedAt;
            if (age < config_.tunnelKeyLifetimeMs && !(pair.rekeyWanted && age >= kRekeyMinAgeMs))
                continue;
            SealKey key;
            // Without fresh randomness the old key stays until the next try.
            if (!seal::randomBytes(key.bytes.data(), key.bytes.size()))
                continue;
            // The same index with a new key and serial: both members get new
            // lists, and each keeps taking the old key a little while.
            pair.key = key;
            pair.serial = ++pairSerials_;
            pair.issuedAt = now;
            pair.rekeyWanted = false;
            ++pairRotations_;
            directChanged(*room);
        }
    }
}
