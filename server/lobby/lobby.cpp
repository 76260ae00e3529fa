#include "server/lobby/lobby.h"

#include "protocol/controlcodec.h"
#include "protocol/names.h"
#include "server/lobby/names.h"
#include "server/core/routes.h"
#include "server/serverlog.h"

#include <QJsonArray>
#include <QRandomGenerator>

#include <algorithm>
#include <limits>

using control::readString;

namespace {

// An address is shared by a household or a LAN party: it may spend a few
// players' worth of lines and chat (more where it may hold more sessions),
// not one budget per session or connection.
int addressShare(int limit, int sessions, int perShare, int least)
{
    return static_cast<int>(qMin<qint64>(qint64{limit} * qMax(least, sessions / perShare), 1 << 30));
}
// Log lines one address may cause per minute: enough for every join and
// leave of a party, too few to fill a disk.
constexpr int kLogLinesPerSession = 6;
constexpr int kLeastLogLines = 100;
constexpr qint64 kLogWindowMs = 60000;

// What counts as one address in the budgets. IPv4 peers on a dual-stack
// socket arrive as mapped IPv6 addresses; one host must count once either
// way. An IPv6 host has a whole /64 to pick addresses from, so the /64 counts.
QString addressKeyOf(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(bytes.c + 8, bytes.c + 16, quint8{0});
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

} // namespace

Lobby::Lobby(const ServerConfig& config, LobbyOutput& output, RouteExchange* relay, Clock clock)
    : config_(config), output_(output), relay_(relay), clock_(std::move(clock)),
      addresses_(config.subnetBase, config.subnetPrefix),
      slotGens_(static_cast<std::size_t>(qMax(config.maxClients, 0)), 0)
{
    config_.maxRoomSize = qBound(1, config_.maxRoomSize, directlimits::kMaxRoomSize);
    // The lowest free slot first, so that route tables span the sessions
    // present, not the capacity: ascending order is already a min-heap.
    for (int slot = 0; slot < config_.maxClients; ++slot)
        freeSlots_.push_back(static_cast<std::uint32_t>(slot));
}

Lobby::~Lobby() = default;

Lobby::AddressBudget::AddressBudget(const ServerConfig& c)
    : lines(addressShare(c.lineLimit, c.maxSessionsPerAddress, 4, 4), c.rateWindowMs),
      chat(addressShare(c.chatLimit, c.maxSessionsPerAddress, 8, 2), c.rateWindowMs),
      log(qMax(kLeastLogLines, kLogLinesPerSession * c.maxSessionsPerAddress), kLogWindowMs),
      handshakes(2 * c.maxConnectionsPerAddress, c.rateWindowMs)
{
}

serverlog::Gate Lobby::logGate(const QString& addressKey)
{
    return serverlog::Gate([this, addressKey] {
        AddressBudget& b = budget(addressKey);
        if (b.log.admit(clock_()))
            return true;
        ++b.suppressed;
        ++logSuppressed_;
        return false;
    });
}

serverlog::Gate Lobby::logGate(ConnectionId connection)
{
    const auto it = connections_.find(connection);
    return logGate(it != connections_.end() ? it->second.addressKey : QString());
}

QString Lobby::mostSuppressed() const
{
    const auto most = std::max_element(budgets_.cbegin(), budgets_.cend(), [](const auto& a, const auto& b) {
        return a.second.suppressed < b.second.suppressed;
    });
    return most != budgets_.cend() && most->second.suppressed > 0 ? most->first : QString();
}

const QHash<QString, Lobby::Handler>& Lobby::handlers()
{
    static const QHash<QString, Handler> table{
        {cmd::getRooms, &Lobby::getRooms},
        {cmd::createRoom, &Lobby::createRoom},
        {cmd::joinRoom, &Lobby::joinRoom},
        {cmd::leaveRoom, &Lobby::leaveRoomCommand},
        {cmd::chat, &Lobby::roomChat},
        {cmd::globalChat, &Lobby::globalChat},
        {cmd::privateMessage, &Lobby::privateMessage},
        {cmd::kickPlayer, &Lobby::kickPlayer},
        {cmd::transferHost, &Lobby::transferHost},
        {cmd::invite, &Lobby::invite},
        {cmd::candidates, &Lobby::directCandidates},
        {cmd::rekey, &Lobby::rekey},
        {cmd::pathReport, &Lobby::pathReport},
    };
    return table;
}

bool Lobby::connectionOpened(ConnectionId connection, const QHostAddress& peer)
{
    const QString key = addressKeyOf(peer);
    AddressUse& counts = use(key);
    if (connections_.count(connection) != 0 || counts.connections >= config_.maxConnectionsPerAddress) {
        release(key, nullptr);
        return false;
    }
    ++counts.connections;
    connections_.try_emplace(connection, peer, key, clock_(), config_.lineLimit, config_.rateWindowMs);
    return true;
}

void Lobby::release(const QString& addressKey, int AddressUse::*counter)
{
    const auto it = addressUse_.find(addressKey);
    if (it == addressUse_.end())
        return;
    if (counter)
        --(it.value().*counter);
    if (it->connections == 0 && it->sessions == 0 && it->rooms == 0)
        addressUse_.erase(it);
}

void Lobby::detach(ConnectionId connection)
{
    const auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    if (Session* session = it->second.session) {
        session->connection = 0;
        session->detachedAt = clock_();
        usersChanged();
        serverlog::info(QStringLiteral("%1 disconnected; session kept for %2 ms")
                            .arg(session->name, QString::number(config_.sessionGraceMs)));
    }
    for (ConnectionId waiting : it->second.waiters)
        freedWaiters_.emplace_back(waiting, connection);
    const QString key = it->second.addressKey;
    connections_.erase(it);
    release(key, &AddressUse::connections);
}

void Lobby::connectionClosed(ConnectionId connection)
{
    const auto gate = logGate(connection);
    detach(connection);
    flush();
}

void Lobby::connectionAnswered(ConnectionId connection)
{
    const auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    const auto gate = logGate(it->second.addressKey);
    holderAnswered(connection, it->second);
    flush();
}

void Lobby::closeConnection(ConnectionId connection)
{
    connectionClosed(connection);
    output_.closeConnection(connection);
}

void Lobby::handleLine(ConnectionId connection, const QByteArray& line)
{
    const auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    Connection& c = it->second;
    const auto gate = logGate(c.addressKey);
    c.lastLineAt = clock_();
    // Whoever waits for this connection's name: it is still there.
    if (!c.waiters.empty())
        holderAnswered(connection, c);
    if (line.size() > lobbyrules::kMaxLineBytes) {
        serverlog::warn(QStringLiteral("closing connection from %1: line of %2 bytes")
                            .arg(c.address.toString(), QString::number(line.size())));
        closeConnection(connection);
        return;
    }
    if (!lineAllowed(connection, c))
        return;

    const QJsonObject message = control::decodeLine(line);
    const QString cmd = readString(message, field::cmd);
    if (cmd == cmd::login) {
        const msg::Login request = msg::Login::parse(message);
        const QString lost = c.session ? QString() : lostSessionNotice(request);
        const Session* before = c.session;
        login(connection, c, request);
        if (c.session && c.session != before)
            directLogin(*c.session, request);
        // After login_ok (or the refusal): the client leaves the room it still shows.
        if (!lost.isEmpty())
            output_.sendLine(connection, msg::Notice{cmd::kicked, lost}.line());
    } else if (const auto handler = handlers().constFind(cmd); handler != handlers().constEnd()) {
        // Not logged in: told once (a client that lost its login asks for lists
        // every few seconds), nothing while its login waits.
        if (c.session)
            (this->*handler.value())(c, *c.session, message);
        else if (c.waitingFor == 0 && !std::exchange(c.toldToLogIn, true))
            sendError(connection, QStringLiteral("Log in first."));
    }
    flush();
}

bool Lobby::lineAllowed(ConnectionId self, Connection& c)
{
    const qint64 now = clock_();
    TokenBucket& own = c.session ? c.session->lines : c.lines;
    if (own.admit(now) && budget(c.addressKey).lines.admit(now)) {
        c.linesRefused = false;
        return true;
    }
    if (!std::exchange(c.linesRefused, true))
        sendError(self, QStringLiteral("Too many messages; some were ignored."));
    return false;
}

void Lobby::login(ConnectionId self, Connection& c, const msg::Login& message)
{
    if (config_.requireSealed && !c.sealed) {
        ++refusals_[RefusedPlain];
        sendError(self, QStringLiteral(
                            "This server accepts only sealed (encrypted) connections, and this one is plain: "
                            "use a client that connects with TLS."));
        return;
    }
    const QString name = message.username.trimmed();
    const bool keyed = message.clientId.has_value();
    c.waitingFor = 0; // a new login replaces one that waits
    c.waitingLogin = {};
    if (c.session) {
        // The client sends login after every (re)connection and on every
        // click; the same name on the same connection just confirms, and
        // changes nothing anyone else sees.
        if (name.size() <= lobbyrules::maxUnits(lobbyrules::kMaxUserName) &&
            names::skeleton(name) == c.session->filedAs)
            sendLoginOk(*c.session);
        else
            sendError(self, QStringLiteral("You are logged in as %1.").arg(c.session->name));
        return;
    }
    const QString problem = lobbyrules::checkUserName(name);
    if (!problem.isEmpty()) {
        ++refusals_[RefusedName];
        sendError(self, problem);
        return;
    }
    const QString filedAs = names::skeleton(name);
    const auto existing = sessions_.find(filedAs);
    const bool back = existing != sessions_.end();
    if (back && !mayTakeBack(*existing->second, c, message)) {
        const Session& holder = *existing->second;
        if (!holder.keyed && holder.connection != 0 && holder.addressKey == c.addressKey)
            waitFor(self, c, message, holder.connection);
        else {
            ++refusals_[RefusedTaken];
            sendError(self, QStringLiteral("The name %1 is already online.").arg(name));
        }
        return;
    }
    // A session taken back from elsewhere counts against this address from now on.
    if ((!back || existing->second->addressKey != c.addressKey) &&
        use(c.addressKey).sessions >= config_.maxSessionsPerAddress) {
        ++refusals_[RefusedAddress];
        sendError(self, QStringLiteral("Too many players are online from your address; try again later."));
        return;
    }
    if (back) {
        takeBack(*existing->second, self, c, keyed);
        return;
    }
    Session* session = createSession(name, filedAs, c, keyed);
    if (!session) {
        ++refusals_[RefusedFull];
        sendError(self, QStringLiteral("The server is full; try again later."));
        return;
    }
    attach(*session, self);
    serverlog::info(QStringLiteral("login %1 from %2").arg(name, c.address.toString()));
    setSealed(*session, c.sealed);
    sendLoginOk(*session);
}

bool Lobby::mayTakeBack(const Session& session, const Connection& c, const msg::Login& message) const
{
    // The current id proves the player, wherever it comes from now, even
    // while the old connection still looks alive.
    if (session.keyed)
        return lobbyrules::sameSecret(message.clientId.value_or(QString()), session.id);
    return session.connection == 0 && session.addressKey == c.addressKey;
}

void Lobby::waitFor(ConnectionId self, Connection& c, const msg::Login& message, ConnectionId holder)
{
    Connection& h = connections_.at(holder);
    c.waitingFor = holder;
    c.waitingLogin = message;
    // Waiters that closed or moved on are dropped here, so the list holds live ones only.
    std::vector<ConnectionId>& list = h.waiters;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](ConnectionId w) {
                                  const auto it = connections_.find(w);
                                  return w == self || it == connections_.end() ||
                                         it->second.waitingFor != holder;
                              }),
               list.end());
    list.push_back(self);
    const qint64 now = clock_();
    if (!h.checking && now - h.lastLineAt >= kQuietMs) {
        h.checking = true;
        h.checkedAt = now;
        serverlog::info(QStringLiteral("login as %1 from %2 waits: checking the quiet connection holding it")
                            .arg(h.session->name, c.address.toString()));
        output_.checkConnection(holder);
    }
}

void Lobby::holderAnswered(ConnectionId id, Connection& holder)
{
    holder.checking = false;
    const QString name = holder.session ? holder.session->name : QString();
    for (ConnectionId waiting : std::exchange(holder.waiters, {})) {
        // Only a waiter still on this holder: it may have logged in anew since.
        const auto it = connections_.find(waiting);
        if (it == connections_.end() || it->second.waitingFor != id)
            continue;
        it->second.waitingFor = 0;
        it->second.waitingLogin = {};
        ++refusals_[RefusedTaken];
        sendError(waiting, QStringLiteral("The name %1 is already online.").arg(name));
    }
}

void Lobby::retryWaitingLogins()
{
    while (!freedWaiters_.empty()) {
        for (const auto& [waiting, holder] : std::exchange(freedWaiters_, {})) {
            const auto it = connections_.find(waiting);
            if (it == connections_.end() || it->second.waitingFor != holder)
                continue;
            const msg::Login message = std::exchange(it->second.waitingLogin, {});
            it->second.waitingFor = 0;
            const auto gate = logGate(it->second.addressKey);
            login(waiting, it->second, message);
        }
    }
}

void Lobby::takeBack(Session& session, ConnectionId self, Connection& c, bool keyed)
{
    if (session.connection != 0) {
        const ConnectionId old = session.connection;
        detach(old);
        output_.closeConnection(old);
    }
    if (session.addressKey != c.addressKey) {
        const QString oldKey = session.addressKey;
        session.addressKey = c.addressKey;
        ++use(c.addressKey).sessions;
        release(oldKey, &AddressUse::sessions);
    }
    session.address = c.address;
    session.keyed = session.keyed || keyed;
    // An id that travelled once is not good forever.
    newKey(session);
    attach(session, self);
    serverlog::info(
        QStringLiteral("%1 took back the session from %2").arg(session.name, c.address.toString()));
    // A new tunnel key at every take-back too: the old one may have leaked with the old device.
    setSealed(session, c.sealed);
    renewDirect(session);
    sendLoginOk(session);
    // The client may still show the room (after a lost connection or a
    // server restart): confirm it, and the member list may have changed.
    if (session.room) {
        send(session, joinOk(session));
        send(session, roomUpdate(*session.room));
    }
}

Lobby::Session* Lobby::createSession(const QString& name, const QString& filedAs, const Connection& c,
                                     bool keyed)
{
    if (freeSlots_.empty())
        return nullptr;
    auto session = std::make_unique<Session>(config_);
    session->name = name;
    session->filedAs = filedAs;
    session->keyed = keyed;
    session->address = c.address;
    session->addressKey = c.addressKey;
    ++use(c.addressKey).sessions;
    session->serial = nextSerial_++;
    std::pop_heap(freeSlots_.begin(), freeSlots_.end(), std::greater<>());
    session->slot = freeSlots_.back();
    freeSlots_.pop_back();
    std::uint32_t& gen = slotGens_[session->slot];
    gen = (gen + 1) & 0xFFFFFF;
    if (gen == 0)
        gen = 1;
    session->gen = gen;
    Session* raw = session.get();
    newKey(*raw);
    sessions_.emplace(filedAs, std::move(session));
    return raw;
}

void Lobby::newKey(Session& session)
{
    sessionsByKey_.erase(session.key);
    // The identifier alone authorises binding a UDP endpoint to the session,
    // so it comes from the system's secure random source.
    do {
        session.key.hi = QRandomGenerator::system()->generate64();
        session.key.lo = QRandomGenerator::system()->generate64();
    } while (sessionsByKey_.count(session.key) != 0);
    char hex[kClientKeyHexLength];
    formatClientKey(session.key, hex);
    session.id = QString::fromLatin1(hex, static_cast<qsizetype>(kClientKeyHexLength));
    sessionsByKey_.emplace(session.key, &session);
    routesDirty_ = true;
}

void Lobby::attach(Session& session, ConnectionId connection)
{
    session.connection = connection;
    connections_.at(connection).session = &session;
    sessionChanged(session);
    usersChanged();
}

void Lobby::endSession(Session& session)
{
    rememberEnded(session);
    leaveRoom(session);
    // Its invitations end with it, here and in the saved state.
    for (const auto& [key, room] : rooms_)
        if (room->invited.remove(session.serial))
            invitationChanges_.push_back({room->serial, session.serial, true});
    if (session.connection != 0) {
        const auto it = connections_.find(session.connection);
        if (it != connections_.end())
            it->second.session = nullptr;
    }
    serverlog::info(QStringLiteral("session of %1 ended").arg(session.name));
    changedSessions_.erase(&session);
    forget(session);
    endedSessions_.push_back(session.serial);
    if (session.connection != 0)
        usersChanged();
    sessionsByKey_.erase(session.key);
    freeSlots_.push_back(session.slot);
    std::push_heap(freeSlots_.begin(), freeSlots_.end(), std::greater<>());
    routesDirty_ = true;
    const QString addressKey = session.addressKey;
    const QString filedAs = session.filedAs;
    sessions_.erase(filedAs);
    release(addressKey, &AddressUse::sessions);
}

void Lobby::tick()
{
    const qint64 now = clock_();
    expireSessions(now);
    rotateTunnelKeys(now);
    renewPairKeys(now);
    checkBoundEndpoints(now);
    std::vector<ConnectionId> late;
    for (auto& [id, c] : connections_) {
        if (!c.session && now - c.openedAt >= config_.loginDeadlineMs)
            late.push_back(id);
        if (c.waiters.empty())
            continue;
        if (c.checking && now - c.checkedAt >= kCheckWaitMs) {
            holderAnswered(id, c);
        } else if (!c.checking && now - c.lastLineAt >= kQuietMs) {
            c.checking = true;
            c.checkedAt = now;
            output_.checkConnection(id);
        }
    }
    for (ConnectionId id : late) {
        serverlog::debug(QStringLiteral("closing connection %1: no login in time").arg(id));
        closeConnection(id);
    }
    for (auto it = budgets_.begin(); it != budgets_.end();) {
        const AddressBudget& b = it->second;
        it = b.lines.full(now) && b.chat.full(now) && b.log.full(now) && b.handshakes.full(now)
                 ? budgets_.erase(it)
                 : std::next(it);
    }
    flush();
}

void Lobby::expireSessions(qint64 now)
{
    std::vector<Session*> expired;
    for (const auto& [key, session] : sessions_) {
        if (session->connection != 0)
            continue;
        qint64 lastSign = session->detachedAt;
        if (relay_)
            lastSign = qMax<qint64>(lastSign, relay_->lastHeartbeatMs(session->slot, session->gen));
        // Heartbeats alone keep a session only so long: its control
        // connection is how the player proves who it is.
        if (now - lastSign >= config_.sessionGraceMs || now - session->detachedAt >= config_.detachedLimitMs)
            expired.push_back(session.get());
    }
    for (Session* session : expired) {
        const auto gate = logGate(session->addressKey);
        endSession(*session);
    }
}

Lobby::Session* Lobby::findOnline(const QString& name)
{
    if (name.size() > lobbyrules::maxUnits(lobbyrules::kMaxUserName))
        return nullptr;
    const auto it = sessions_.find(names::skeleton(name.trimmed()));
    return it != sessions_.end() && it->second->connection != 0 ? it->second.get() : nullptr;
}

void Lobby::send(const Session& session, const QByteArray& line)
{
    if (session.connection != 0)
        output_.sendLine(session.connection, line);
}

void Lobby::sendError(const Session& session, const QString& text)
{
    sendError(session.connection, text);
}

void Lobby::sendError(ConnectionId connection, const QString& text)
{
    if (connection != 0)
        output_.sendLine(connection, msg::Notice{cmd::error, text}.line());
}

bool Lobby::chatAllowed(Session& session)
{
    const qint64 now = clock_();
    if (session.chat.admit(now) && budget(session.addressKey).chat.admit(now)) {
        session.chatRefused = false;
        return true;
    }
    if (!std::exchange(session.chatRefused, true))
        sendError(session, QStringLiteral("You are sending messages too fast; the rest were dropped."));
    return false;
}

void Lobby::flush()
{
    retryWaitingLogins();
    saveState();
    if (routesDirty_) {
        routesDirty_ = false;
        publishRoutes();
    }
    const qint64 now = clock_();
    if (now >= pacedDue_)
        sendDueLists(now);
    if (directDirty_ || directPending_)
        updateDirect(now);
}

void Lobby::sendDueLists(qint64 now)
{
    pacedDue_ = std::numeric_limits<qint64>::max();
    for (auto& [id, c] : connections_) {
        const bool usersWanted = c.session && c.usersVersion != usersVersion_;
        if (!usersWanted && !c.roomsWanted)
            continue;
        if (usersWanted && now - c.usersSentAt >= kListIntervalMs) {
            if (usersLineVersion_ != usersVersion_) {
                msg::OnlineUsers users;
                for (const auto& [key, session] : sessions_)
                    if (session->connection != 0)
                        users.users.append(session->name);
                usersLine_ = users.line();
                usersLineVersion_ = usersVersion_;
            }
            c.usersVersion = usersVersion_;
            c.usersSentAt = now;
            output_.sendLine(id, usersLine_);
        } else if (usersWanted) {
            pacedDue_ = qMin(pacedDue_, c.usersSentAt + kListIntervalMs);
        }
        if (c.roomsWanted && now - c.roomsSentAt >= kListIntervalMs)
            sendRoomList(c);
        else if (c.roomsWanted)
            pacedDue_ = qMin(pacedDue_, c.roomsSentAt + kListIntervalMs);
    }
    for (const auto& [key, room] : rooms_)
        if (room->updateWanted)
            sendRoomUpdate(*room);
}

void Lobby::publishRoutes()
{
    if (!relay_)
        return;
    auto table = std::make_shared<RouteTable>();
    // Up to the highest slot in use: a republish costs the sessions present.
    std::size_t span = 0;
    for (const auto& [key, session] : sessions_)
        span = std::max<std::size_t>(span, session->slot + std::size_t{1});
    table->slotTable.resize(span);
    table->slotByKey.reserve(sessions_.size());
    for (const auto& [key, session] : sessions_) {
        table->slotTable[session->slot].gen = session->gen;
        table->slotTable[session->slot].control = controlAddressOf(session->address);
        table->slotTable[session->slot].seal = session->seal;
        table->slotByKey.emplace(session->key, session->slot);
    }
    table->rooms.reserve(rooms_.size());
    for (const auto& [key, room] : rooms_) {
        const auto index = static_cast<std::int32_t>(table->rooms.size());
        RouteTable::Room& entry = table->rooms.emplace_back();
        entry.serial = room->serial;
        entry.net = room->net;
        entry.slotByHost.fill(-1);
        for (const Session* member : room->members) {
            entry.members.push_back(member->slot);
            entry.slotByHost[member->vip & 0xFFu] = static_cast<std::int32_t>(member->slot);
            RouteTable::Slot& slot = table->slotTable[member->slot];
            slot.room = index;
            slot.roomSerial = room->serial;
            slot.vip = member->vip;
            slot.layer = member->layer;
        }
    }
    relay_->publish(std::move(table));
}

QString Lobby::consistencyProblem() const
{
    if (sessionsByKey_.size() != sessions_.size())
        return QStringLiteral("key index out of step");
    if (freeSlots_.size() + sessions_.size() != static_cast<std::size_t>(config_.maxClients))
        return QStringLiteral("slots lost");
    QSet<quint32> vips;
    QSet<std::uint32_t> slotsSeen;
    QSet<quint64> serials;
    for (const auto& [key, session] : sessions_) {
        serials.insert(session->serial);
        if (key != names::skeleton(session->name) || key != session->filedAs)
            return QStringLiteral("session filed under the wrong name");
        if (slotsSeen.contains(session->slot))
            return QStringLiteral("slot used twice");
        slotsSeen.insert(session->slot);
        if (session->connection != 0) {
            const auto c = connections_.find(session->connection);
            if (c == connections_.end() || c->second.session != session.get())
                return QStringLiteral("connection of %1 out of step").arg(session->name);
        }
        if (!session->room)
            continue;
        if (!session->room->members.contains(session.get()))
            return QStringLiteral("%1 not listed in its room").arg(session->name);
        if ((session->vip & 0xFFFFFF00u) != session->room->net || (session->vip & 0xFFu) == 0 ||
            (session->vip & 0xFFu) == 0xFFu || vips.contains(session->vip))
            return QStringLiteral("bad address for %1").arg(session->name);
        vips.insert(session->vip);
    }
    // Few addresses: a map walks them without a QHash's look at every bucket.
    std::map<QString, AddressUse> counted;
    for (const auto& [id, connection] : connections_) {
        if (connection.session && connection.session->connection != id)
            return QStringLiteral("connection points to a session that moved");
        ++counted[connection.addressKey].connections;
    }
    for (const auto& [key, session] : sessions_)
        ++counted[session->addressKey].sessions;
    for (const auto& [key, room] : rooms_)
        ++counted[room->creatorKey].rooms;
    for (const auto& [key, use] : counted) {
        const AddressUse found = addressUse_.value(key);
        if (found.connections != use.connections || found.sessions != use.sessions ||
            found.rooms != use.rooms)
            return QStringLiteral("address budget of %1 out of step").arg(key);
        if (use.connections > config_.maxConnectionsPerAddress ||
            use.sessions > config_.maxSessionsPerAddress || use.rooms > config_.maxRoomsPerAddress)
            return QStringLiteral("address %1 over its budget").arg(key);
    }
    if (counted.size() != static_cast<std::size_t>(addressUse_.size()))
        return QStringLiteral("stale address budgets");
    QSet<int> nets;
    QSet<QString> namesSeenByAll;
    std::size_t pairs = 0;
    for (const auto& [key, room] : rooms_) {
        if (key != names::skeleton(room->name) || key != room->filedAs)
            return QStringLiteral("room %1 filed under the wrong name").arg(room->name);
        if (room->privacy != Privacy::Private && namesSeenByAll.contains(key))
            return QStringLiteral("two rooms everybody sees are named %1").arg(room->name);
        if (room->privacy != Privacy::Private)
            namesSeenByAll.insert(key);
        for (quint64 serial : room->invited)
            if (!serials.contains(serial))
                return QStringLiteral("room %1 invites a session that ended").arg(room->name);
        if (room->members.isEmpty() || !room->members.contains(room->host))
            return QStringLiteral("room %1 without members or host").arg(room->name);
        if (nets.contains(room->netIndex))
            return QStringLiteral("network used twice");
        nets.insert(room->netIndex);
        if (room->members.size() > config_.maxRoomSize)
            return QStringLiteral("room %1 over capacity").arg(room->name);
        for (const Session* member : room->members)
            if (member->room != room.get())
                return QStringLiteral("member of %1 points elsewhere").arg(room->name);
        if (const QString problem = pairProblem(*room); !problem.isEmpty())
            return problem;
        pairs += room->pairs.size();
    }
    if (pairs != pairIndices_.size())
        return QStringLiteral("pair indices out of step");
    return {};
}
