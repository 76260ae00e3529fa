#include "server/lobby/lobby.h"

#include "lobby/controlcodec.h"
#include "server/relay/routes.h"
#include "server/serverlog.h"

#include <QJsonArray>
#include <QRandomGenerator>

using control::readString;

Lobby::Lobby(const ServerConfig& config, LobbyOutput& output, RouteExchange* relay, Clock clock)
    : config_(config), output_(output), relay_(relay), clock_(std::move(clock)),
      addresses_(config.subnetBase, config.subnetPrefix),
      slotGens_(static_cast<std::size_t>(qMax(config.maxClients, 0)), 0)
{
    config_.maxRoomSize = qBound(1, config_.maxRoomSize, 254);
    // Lowest slots first, so that tables stay small on a quiet server.
    for (int slot = config_.maxClients - 1; slot >= 0; --slot)
        freeSlots_.push_back(static_cast<std::uint32_t>(slot));
}

Lobby::~Lobby() = default;

const QHash<QString, Lobby::Handler>& Lobby::handlers()
{
    static const QHash<QString, Handler> table{
        {QStringLiteral("get_rooms"), &Lobby::getRooms},
        {QStringLiteral("create_room"), &Lobby::createRoom},
        {QStringLiteral("join_room"), &Lobby::joinRoom},
        {QStringLiteral("leave_room"), &Lobby::leaveRoomCommand},
        {QStringLiteral("chat"), &Lobby::roomChat},
        {QStringLiteral("global_chat"), &Lobby::globalChat},
        {QStringLiteral("private_message"), &Lobby::privateMessage},
        {QStringLiteral("kick_player"), &Lobby::kickPlayer},
        {QStringLiteral("transfer_host"), &Lobby::transferHost},
        {QStringLiteral("invite"), &Lobby::invite},
    };
    return table;
}

void Lobby::connectionOpened(ConnectionId connection, const QHostAddress& peer)
{
    connections_.try_emplace(connection, peer, config_.lineLimit, config_.rateWindowMs);
}

void Lobby::connectionClosed(ConnectionId connection)
{
    const auto it = connections_.find(connection);
    if (it == connections_.end())
        return;
    if (Session* session = it->second.session) {
        session->connection = 0;
        session->detachedAt = clock_();
        usersDirty_ = true;
        serverlog::info(QStringLiteral("%1 disconnected; session kept for %2 ms").arg(session->name).arg(config_.sessionGraceMs));
    }
    connections_.erase(it);
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
    if (line.size() > lobbyrules::kMaxLineBytes) {
        serverlog::warn(QStringLiteral("closing connection from %1: line of %2 bytes").arg(c.address.toString()).arg(line.size()));
        closeConnection(connection);
        return;
    }
    switch (c.lines.admit(clock_())) {
    case RateWindow::Verdict::Allowed:
        break;
    case RateWindow::Verdict::Refused:
        sendError(connection, QStringLiteral("Too many messages; some were ignored."));
        return;
    case RateWindow::Verdict::RefusedQuietly:
        return;
    }

    const QJsonObject message = control::decodeLine(line);
    const QString cmd = readString(message, QStringLiteral("cmd"));
    if (cmd == QLatin1String("login")) {
        login(connection, c, message);
    } else if (const auto handler = handlers().constFind(cmd); handler != handlers().constEnd()) {
        if (c.session)
            (this->*handler.value())(c, *c.session, message);
        else
            sendError(connection, QStringLiteral("Log in first."));
    }
    flush();
}

void Lobby::login(ConnectionId self, Connection& c, const QJsonObject& message)
{
    const QString name = readString(message, QStringLiteral("username")).trimmed();
    if (c.session) {
        // The client sends login after every (re)connection and on every
        // click; the same name on the same connection just confirms.
        if (lobbyrules::fold(name) == lobbyrules::fold(c.session->name))
            send(*c.session, control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), c.session->id}}));
        else
            sendError(self, QStringLiteral("You are logged in as %1.").arg(c.session->name));
        usersDirty_ = true;
        return;
    }
    const QString problem = lobbyrules::checkUserName(name);
    if (!problem.isEmpty()) {
        sendError(self, problem);
        return;
    }
    const auto existing = sessions_.find(lobbyrules::fold(name));
    if (existing != sessions_.end()) {
        Session& session = *existing->second;
        if (session.connection != 0 || !session.address.isEqual(c.address, QHostAddress::TolerantConversion)) {
            sendError(self, QStringLiteral("The name %1 is already online.").arg(name));
            return;
        }
        attach(session, self);
        serverlog::info(QStringLiteral("%1 took back the session from %2").arg(session.name, c.address.toString()));
        send(session, control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), session.id}}));
        // The member list may have changed while the connection was down.
        if (session.room)
            send(session, roomUpdate(*session.room));
        usersDirty_ = true;
        return;
    }
    Session* session = createSession(name, c.address);
    if (!session) {
        sendError(self, QStringLiteral("The server is full; try again later."));
        return;
    }
    attach(*session, self);
    serverlog::info(QStringLiteral("login %1 from %2").arg(name, c.address.toString()));
    send(*session, control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), session->id}}));
    usersDirty_ = true;
}

Lobby::Session* Lobby::createSession(const QString& name, const QHostAddress& address)
{
    if (freeSlots_.empty())
        return nullptr;
    auto session = std::make_unique<Session>(config_.chatLimit, config_.rateWindowMs);
    session->name = name;
    session->address = address;
    session->serial = nextSerial_++;
    session->slot = freeSlots_.back();
    freeSlots_.pop_back();
    std::uint32_t& gen = slotGens_[session->slot];
    gen = (gen + 1) & 0xFFFFFF;
    if (gen == 0)
        gen = 1;
    session->gen = gen;
    // The identifier alone authorises binding a UDP endpoint to the session,
    // so it comes from the system's secure random source.
    do {
        session->key.hi = QRandomGenerator::system()->generate64();
        session->key.lo = QRandomGenerator::system()->generate64();
    } while (sessionsByKey_.count(session->key) != 0);
    char hex[kClientKeyHexLength];
    formatClientKey(session->key, hex);
    session->id = QString::fromLatin1(hex, static_cast<qsizetype>(kClientKeyHexLength));

    Session* raw = session.get();
    sessionsByKey_.emplace(raw->key, raw);
    sessions_.emplace(lobbyrules::fold(name), std::move(session));
    routesDirty_ = true;
    return raw;
}

void Lobby::attach(Session& session, ConnectionId connection)
{
    session.connection = connection;
    connections_.at(connection).session = &session;
}

void Lobby::endSession(Session& session)
{
    leaveRoom(session);
    if (session.connection != 0) {
        const auto it = connections_.find(session.connection);
        if (it != connections_.end())
            it->second.session = nullptr;
    }
    serverlog::info(QStringLiteral("session of %1 ended").arg(session.name));
    sessionsByKey_.erase(session.key);
    freeSlots_.push_back(session.slot);
    routesDirty_ = true;
    usersDirty_ = true;
    sessions_.erase(lobbyrules::fold(session.name));
}

void Lobby::expireSessions()
{
    const qint64 now = clock_();
    std::vector<Session*> expired;
    for (const auto& [key, session] : sessions_) {
        if (session->connection != 0)
            continue;
        qint64 lastSign = session->detachedAt;
        if (relay_)
            lastSign = qMax<qint64>(lastSign, relay_->lastHeartbeatMs(session->slot, session->gen));
        if (now - lastSign >= config_.sessionGraceMs)
            expired.push_back(session.get());
    }
    for (Session* session : expired)
        endSession(*session);
    flush();
}

Lobby::Session* Lobby::findOnline(const QString& name)
{
    const auto it = sessions_.find(lobbyrules::fold(name.trimmed()));
    return it != sessions_.end() && it->second->connection != 0 ? it->second.get() : nullptr;
}

void Lobby::send(const Session& session, const QJsonObject& message)
{
    if (session.connection != 0)
        output_.sendLine(session.connection, control::encodeLine(message));
}

void Lobby::sendError(const Session& session, const QString& text)
{
    sendError(session.connection, text);
}

void Lobby::sendError(ConnectionId connection, const QString& text)
{
    if (connection != 0)
        output_.sendLine(connection,
                         control::encodeLine(control::message(QStringLiteral("error"), {{QStringLiteral("message"), text}})));
}

bool Lobby::chatAllowed(Session& session)
{
    switch (session.chat.admit(clock_())) {
    case RateWindow::Verdict::Allowed:
        return true;
    case RateWindow::Verdict::Refused:
        sendError(session, QStringLiteral("You are sending messages too fast; the rest were dropped."));
        return false;
    case RateWindow::Verdict::RefusedQuietly:
        return false;
    }
    return false;
}

void Lobby::flush()
{
    if (routesDirty_) {
        routesDirty_ = false;
        publishRoutes();
    }
    if (!usersDirty_)
        return;
    usersDirty_ = false;
    QJsonArray users;
    for (const auto& [key, session] : sessions_)
        if (session->connection != 0)
            users.append(session->name);
    const QByteArray line =
        control::encodeLine(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("online_users")}, {QStringLiteral("users"), users}});
    for (const auto& [key, session] : sessions_)
        if (session->connection != 0)
            output_.sendLine(session->connection, line);
}

void Lobby::publishRoutes()
{
    if (!relay_)
        return;
    auto table = std::make_shared<RouteTable>();
    table->slotTable.resize(static_cast<std::size_t>(config_.maxClients));
    table->slotByKey.reserve(sessions_.size());
    for (const auto& [key, session] : sessions_) {
        table->slotTable[session->slot].gen = session->gen;
        table->slotTable[session->slot].control = controlAddressOf(session->address);
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
    for (const auto& [key, session] : sessions_) {
        if (key != lobbyrules::fold(session->name))
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
    for (const auto& [id, connection] : connections_)
        if (connection.session && connection.session->connection != id)
            return QStringLiteral("connection points to a session that moved");
    QSet<int> nets;
    for (const auto& [key, room] : rooms_) {
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
    }
    return {};
}
