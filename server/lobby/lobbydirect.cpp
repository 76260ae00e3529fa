// Direct paths: sealed members of a room that run the same layer get a pair
// key and each other's candidates, so that they can talk without the relay.
// Nothing here is logged: the lists carry keys.
#include "protocol/directlimits.h"
#include "protocol/messages.h"
#include "server/lobby/lobby.h"

namespace {

// One address one way, whichever way it was written or learned.
QString hostKey(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? lobbyrules::formatIpv4(v4) : QHostAddress(address.toIPv6Address()).toString();
}

} // namespace

void Lobby::setOwnAddresses(const QList<QHostAddress>& addresses)
{
    ownHosts_.clear();
    for (const QHostAddress& address : addresses)
        ownHosts_.insert(hostKey(address));
}

bool Lobby::sameNetwork(const Session& a, const Session& b)
{
    // The control connections' addresses as the budgets count them (an IPv6
    // /64 as one). Not where the relay sees heartbeats come from: a datagram's
    // source can be forged, a TCP connection's cannot.
    return a.addressKey == b.addressKey;
}

void Lobby::directLogin(Session& session, const msg::Login& login)
{
    session.privateAddress = login.privateAddress;
    if (session.privateAddress)
        session.candidates.clear();
}

void Lobby::directCandidates(Connection&, Session& session, const QJsonObject& message)
{
    if (!config_.direct)
        return;
    // Going private takes effect at once, whatever the budget; going public
    // again is a change like any other.
    const bool wasPrivate = session.privateAddress;
    const msg::Candidates given = msg::Candidates::parse(message);
    if (given.privateAddress) {
        session.privateAddress = true;
        if (wasPrivate && session.candidates.empty())
            return;
        session.candidates.clear();
        session.directVersion = ++directVersions_;
        if (session.room)
            directChanged(*session.room);
        return;
    }
    // Only a sealed session's list goes anywhere, and only to its room;
    // outside one, going public changes no list.
    if (session.seal.serial == 0 || !session.room) {
        session.privateAddress = false;
        return;
    }
    std::vector<lobbyrules::Candidate> kept;
    for (const QString& text : given.addresses) {
        lobbyrules::Candidate entry = lobbyrules::candidate(text);
        // Nothing aims a peer at the server itself, or into the rooms' own
        // networks (those lead back through the tunnel).
        if (entry.text.isEmpty() || ownHosts_.contains(hostKey(entry.address)) ||
            std::find(kept.begin(), kept.end(), entry) != kept.end())
            continue;
        bool isV4 = false;
        const quint32 v4 = entry.address.toIPv4Address(&isV4);
        if (!isV4 || !addresses_.contains(v4))
            kept.push_back(std::move(entry));
    }
    // Unchanged costs nothing; changes beyond the budget are ignored, since
    // each one sends every peer of the room a new list.
    if ((kept == session.candidates && !wasPrivate) || !session.directChanges.admit(clock_()))
        return;
    session.privateAddress = false;
    session.candidates = std::move(kept);
    session.directVersion = ++directVersions_;
    directChanged(*session.room);
}

void Lobby::checkBoundEndpoints(qint64 now)
{
    if (!relay_)
        return;
    const std::uint64_t changes = relay_->endpointChanges();
    if (changes == endpointChangesSeen_ && !endpointsPending_)
        return;
    endpointChangesSeen_ = changes;
    endpointsPending_ = false;
    for (const auto& [key, s] : sessions_) {
        Session& session = *s;
        if (session.seal.serial == 0)
            continue;
        const BoundEndpoint bound = relay_->boundEndpoint(session.slot, session.gen);
        const BoundEndpoint mapped = relay_->mappedEndpoint(session.slot, session.gen);
        const QString text = bound.port == 0
                                 ? QString()
                                 : lobbyrules::endpointText(QHostAddress(bound.host.data()), bound.port);
        // Judged only from one host: a NAT with two addresses says nothing by its ports.
        using Mapping = Session::Mapping;
        const Mapping mapping = bound.port == 0 || mapped.port == 0 || bound.host != mapped.host
                                    ? session.mapping
                                    : (bound.port == mapped.port ? Mapping::Independent : Mapping::Dependent);
        if (text == session.observed && mapping == session.mapping)
            continue;
        // A client can move its heartbeats from port to port; like candidates,
        // that makes its peers' lists go out only so often.
        if (!session.directChanges.admit(now)) {
            endpointsPending_ = true;
            continue;
        }
        session.observed = text;
        session.mapping = mapping;
        session.directVersion = ++directVersions_;
        if (session.room)
            directChanged(*session.room);
    }
}

void Lobby::dropPairs(Room& room, const Session& session)
{
    for (auto it = room.pairs.begin(); it != room.pairs.end();) {
        if (it->first.first != session.serial && it->first.second != session.serial) {
            ++it;
            continue;
        }
        pairIndices_.erase(it->second.index);
        it = room.pairs.erase(it); // the key is wiped with it
    }
    directChanged(room);
}

void Lobby::renewDirect(Session& session)
{
    if (!session.room)
        return;
    dropPairs(*session.room, session);
    // Another device may have taken over: its addresses are its own, and the
    // client learns its list anew whatever the last one held.
    session.candidates.clear();
    session.directVersion = ++directVersions_;
    session.directSent.assign(1, 0);
}

void Lobby::updatePairs(Room& room)
{
    room.directDirty = false;
    std::map<quint64, const Session*> eligible;
    for (const Session* member : room.members)
        if (directEligible(*member))
            eligible.emplace(member->serial, member);
    for (auto it = room.pairs.begin(); it != room.pairs.end();) {
        const auto a = eligible.find(it->first.first), b = eligible.find(it->first.second);
        if (a != eligible.end() && b != eligible.end() && a->second->layer == b->second->layer) {
            ++it;
            continue;
        }
        pairIndices_.erase(it->second.index);
        it = room.pairs.erase(it);
    }
    for (auto a = eligible.cbegin(); a != eligible.cend(); ++a) {
        for (auto b = std::next(a); b != eligible.cend(); ++b) {
            if (a->second->layer != b->second->layer || room.pairs.count({a->first, b->first}) != 0)
                continue;
            Room::Pair pair;
            // Without fresh randomness the two stay on the relay.
            if (!seal::randomBytes(pair.key.bytes.data(), pair.key.bytes.size()))
                continue;
            do {
                pair.index = nextPairIndex_;
                nextPairIndex_ = nextPairIndex_ >= directlimits::kMaxPairIndex ? 1 : nextPairIndex_ + 1;
            } while (pairIndices_.count(pair.index) != 0);
            pair.serial = ++pairSerials_;
            pairIndices_.insert(pair.index);
            room.pairs.emplace(std::make_pair(a->first, b->first), pair);
        }
    }
    for (Session* member : room.members) {
        if (!member->directWanted && directList(*member, nullptr) != member->directSent)
            member->directWanted = directPending_ = true;
    }
}

std::vector<quint64> Lobby::directList(const Session& session, msg::DirectPeers* peers) const
{
    std::vector<quint64> listed;
    if (!session.room)
        return listed;
    const Room& room = *session.room;
    for (const Session* peer : room.members) {
        const auto found = room.pairs.find(std::minmax(session.serial, peer->serial));
        if (peer == &session || found == room.pairs.end())
            continue;
        const Room::Pair& pair = found->second;
        // Addresses inside a private network help only a peer in that network,
        // and would aim anyone else at hosts of their own.
        const bool near = sameNetwork(session, *peer);
        listed.push_back(pair.serial);
        listed.push_back(peer->directVersion);
        listed.push_back(near);
        // One side maps each destination anew, the other keeps one port:
        // the first opens many ports toward the other's, which tries ports of
        // the first's address until one answers.
        using Mapping = Session::Mapping;
        msg::Birthday role = msg::Birthday::None;
        if (!near && mappingPort_ != 0 && !peer->observed.isEmpty() && !session.observed.isEmpty()) {
            if (session.mapping == Mapping::Dependent && peer->mapping == Mapping::Independent)
                role = msg::Birthday::Spray;
            else if (session.mapping == Mapping::Independent && peer->mapping == Mapping::Dependent)
                role = msg::Birthday::Scan;
        }
        listed.push_back(static_cast<quint64>(role));
        if (!peers)
            continue;
        msg::DirectPeers::Peer& entry = peers->peers.emplace_back();
        entry.username = peer->name;
        entry.vip = peer->vip;
        entry.pair = pair.index;
        entry.side = session.slot < peer->slot ? 0 : 1;
        entry.key = pair.key.bytes;
        entry.birthday = role;
        if (!peer->observed.isEmpty())
            entry.candidates.append(peer->observed);
        for (const lobbyrules::Candidate& candidate : peer->candidates)
            if (candidate.text != peer->observed && (near || !candidate.local))
                entry.candidates.append(candidate.text);
    }
    return listed;
}

void Lobby::updateDirect(qint64 now)
{
    if (directDirty_) {
        directDirty_ = false;
        for (const auto& [key, room] : rooms_)
            if (room->directDirty)
                updatePairs(*room);
    }
    if (!directPending_)
        return;
    directPending_ = false;
    for (const auto& [key, s] : sessions_) {
        Session& session = *s;
        if (!session.directWanted)
            continue;
        // Keys go only over a sealed connection; a detached member hears of
        // its list when it takes its session back.
        if (session.connection == 0 || session.seal.serial == 0) {
            session.directWanted = false;
            continue;
        }
        if (!session.directSends.admit(now)) {
            directPending_ = true;
            continue;
        }
        session.directWanted = false;
        msg::DirectPeers peers;
        session.directSent = directList(session, &peers);
        peers.mappingPort = mappingPort_;
        send(session, peers.line());
    }
}

QString Lobby::pairProblem(const Room& room) const
{
    std::map<quint64, const Session*> eligible;
    for (const Session* member : room.members)
        if (directEligible(*member))
            eligible.emplace(member->serial, member);
    std::size_t couples = 0;
    for (auto a = eligible.cbegin(); a != eligible.cend(); ++a)
        for (auto b = std::next(a); b != eligible.cend(); ++b)
            couples += a->second->layer == b->second->layer;
    for (const auto& [serials, pair] : room.pairs) {
        const auto a = eligible.find(serials.first), b = eligible.find(serials.second);
        if (a == eligible.end() || b == eligible.end() || a->second->layer != b->second->layer ||
            serials.first >= serials.second)
            return QStringLiteral("a pair in %1 that should not be").arg(room.name);
        if (pair.index == 0 || pair.index > directlimits::kMaxPairIndex ||
            pairIndices_.count(pair.index) == 0)
            return QStringLiteral("a pair index in %1 out of range or not live").arg(room.name);
    }
    return couples == room.pairs.size() ? QString() : QStringLiteral("pairs missing in %1").arg(room.name);
}
