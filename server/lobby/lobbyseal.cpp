// Sealed sessions: a tunnel key for each session that logged in over TLS,
// handed over in login_ok and replaced regularly.
#include "protocol/messages.h"
#include "server/lobby/lobby.h"
#include "server/serverlog.h"

namespace {

// Fresh from the system's random source; false (and the session plain) if that failed.
bool freshKey(SealKey& key)
{
    return seal::randomBytes(key.bytes.data(), key.bytes.size());
}

} // namespace

void Lobby::connectionSealed(ConnectionId connection)
{
    const auto it = connections_.find(connection);
    if (it != connections_.end())
        it->second.sealed = true;
}

bool Lobby::admitHandshake(ConnectionId connection)
{
    const auto it = connections_.find(connection);
    return it != connections_.end() && budget(it->second.addressKey).handshakes.admit(clock_());
}

void Lobby::setSealed(Session& session, bool sealed)
{
    const qint64 now = clock_();
    SealRoute& route = session.seal;
    if (!sealed || !freshKey(session.seal.oldKey)) {
        if (route.serial != 0) {
            routesDirty_ = true;
            // Plain from now on: its pairs go, its peers stay on the relay with it.
            if (session.room)
                directChanged(*session.room);
        }
        route = SealRoute();
        session.rekeyWanted = false;
        return;
    }
    if (route.serial == 0 && session.room)
        directChanged(*session.room);
    // The new key went into oldKey above; swap it in, keeping the current as the old one.
    std::swap(route.key, route.oldKey);
    route.oldValid = route.serial != 0;
    tunnelRotations_ += route.oldValid ? 1 : 0;
    route.phase = route.serial != 0 ? static_cast<std::uint8_t>(route.phase ^ 1) : 0;
    // A serial never repeats for a session, not even across plain spells: the
    // relay may see the tables between only after the next, and must still
    // take this key for a new one.
    session.sealSerial = session.sealSerial + 1 == 0 ? 1 : session.sealSerial + 1;
    route.serial = session.sealSerial;
    session.rekeyWanted = false;
    session.keyIssuedAt = now;
    session.oldKeyUntil = now + config_.oldKeyGraceMs;
    routesDirty_ = true;
}

void Lobby::sendLoginOk(Session& session)
{
    send(session, msg::LoginOk{session.id, tunnelKey(session)}.line());
}

msg::TunnelKey Lobby::tunnelKey(const Session& session)
{
    msg::TunnelKey out;
    out.present = session.seal.serial != 0;
    if (out.present) {
        out.key = session.seal.key.bytes;
        out.index = session.slot;
        out.phase = session.seal.phase;
    }
    return out;
}

void Lobby::rotateTunnelKeys(qint64 now)
{
    // The relay asks when a key carried nearly all it may.
    const bool asked = relay_ && relay_->rekeyAsks() != rekeyAsksSeen_;
    if (asked)
        rekeyAsksSeen_ = relay_->rekeyAsks();
    for (const auto& [name, s] : sessions_) {
        Session& session = *s;
        if (asked && relay_->takeRekey(session.slot, session.gen))
            session.rekeyWanted = session.seal.serial != 0;
        if (session.seal.serial == 0)
            continue;
        if (session.seal.oldValid && now >= session.oldKeyUntil) {
            session.seal.oldValid = false;
            session.seal.oldKey = SealKey();
            routesDirty_ = true;
        }
        // A key is replaced only while the player can hear of it; a detached
        // session gets its new key when it comes back.
        const qint64 age = now - session.keyIssuedAt;
        if (session.connection == 0 ||
            (age < config_.tunnelKeyLifetimeMs && !(session.rekeyWanted && age >= kRekeyMinAgeMs)))
            continue;
        setSealed(session, true);
        send(session, tunnelKey(session).line());
    }
}
