// Lobby state and the handling of control lines, without sockets: the
// server feeds it lines and connection events and carries its output.
// Runs on one thread (the lobby's).
#pragma once

#include "server/lobby/clientkey.h"
#include "server/config.h"
#include "server/lobby/lobbyrules.h"
#include "server/lobby/statestore.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <bitset>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

class RouteExchange;

using ConnectionId = quint64;

class LobbyOutput
{
public:
    virtual ~LobbyOutput() = default;
    virtual void sendLine(ConnectionId connection, const QByteArray& line) = 0;
    // The lobby has already forgotten the connection; the transport only
    // has to close it, and may do so later.
    virtual void closeConnection(ConnectionId connection) = 0;
};

class Lobby
{
public:
    using Clock = std::function<qint64()>;

    // `relay` may be null (no relay: sessions see no heartbeats and publish no routes).
    Lobby(const ServerConfig& config, LobbyOutput& output, RouteExchange* relay, Clock clock);
    ~Lobby();
    Lobby(const Lobby&) = delete;
    Lobby& operator=(const Lobby&) = delete;

    void connectionOpened(ConnectionId connection, const QHostAddress& peer);
    void connectionClosed(ConnectionId connection);
    // One line as received, without its line feed.
    void handleLine(ConnectionId connection, const QByteArray& line);
    // Ends sessions that have had neither a connection nor heartbeats for the grace time.
    void expireSessions();

    // Takes over sessions and rooms saved by an earlier run. Every session
    // starts detached, as if its connection had just dropped. Records that do
    // not fit (bad names, addresses outside the subnet, over capacity) are
    // left out and logged.
    void restore(const state::Snapshot& snapshot);
    // From now on every change is handed to `store` (null: none); the first
    // hand-over is the whole state.
    void setStore(state::Store* store);

    int sessionCount() const { return static_cast<int>(sessions_.size()); }
    int connectionCount() const { return static_cast<int>(connections_.size()); }
    int roomCount() const { return static_cast<int>(rooms_.size()); }

    // Checks the invariants that must hold between any two calls; used by
    // tests and the fuzz target. Returns an empty string when all hold.
    QString consistencyProblem() const;

private:
    enum class Privacy { Public, Private, Locked };
    struct Room;
    struct Session {
        QString name;
        QString id;
        ClientKey key;
        quint64 serial = 0;
        std::uint32_t slot = 0;
        std::uint32_t gen = 0;
        QHostAddress address;
        ConnectionId connection = 0;
        qint64 detachedAt = 0;
        Room* room = nullptr;
        quint32 vip = 0;
        RateWindow chat;
        Session(int limit, qint64 window) : chat(limit, window) {}
    };
    struct Room {
        QString name;
        Privacy privacy = Privacy::Public;
        QString password;
        quint64 serial = 0;
        int netIndex = -1;
        quint32 net = 0;
        QList<Session*> members; // in joining order: the first is the longest present
        Session* host = nullptr;
        std::bitset<256> hostsInUse;
        QSet<quint64> invited; // session serials
    };
    struct Connection {
        QHostAddress address;
        Session* session = nullptr;
        RateWindow lines;
        Connection(const QHostAddress& a, int limit, qint64 window) : address(a), lines(limit, window) {}
    };
    using Handler = void (Lobby::*)(Connection&, Session&, const QJsonObject&);

    // Commands.
    void login(ConnectionId self, Connection& connection, const QJsonObject& message);
    void getRooms(Connection&, Session& session, const QJsonObject&);
    void createRoom(Connection&, Session& session, const QJsonObject& message);
    void joinRoom(Connection&, Session& session, const QJsonObject& message);
    void leaveRoomCommand(Connection&, Session& session, const QJsonObject&);
    void roomChat(Connection&, Session& session, const QJsonObject& message);
    void globalChat(Connection&, Session& session, const QJsonObject& message);
    void privateMessage(Connection&, Session& session, const QJsonObject& message);
    void kickPlayer(Connection&, Session& session, const QJsonObject& message);
    void transferHost(Connection&, Session& session, const QJsonObject& message);
    void invite(Connection&, Session& session, const QJsonObject& message);

    // Sessions.
    // With `key` (a restored session) that identifier is kept instead of a fresh one.
    Session* createSession(const QString& name, const QHostAddress& address, const ClientKey* key = nullptr);
    void attach(Session& session, ConnectionId connection);
    void endSession(Session& session);
    Session* findOnline(const QString& name);

    // Rooms.
    void enterRoom(Session& session, Room& room);
    void leaveRoom(Session& session);
    Session* memberNamed(Room& room, const QString& name);
    // Host-only commands share their checks; returns the target or null (error sent).
    Session* hostTarget(Session& session, const QJsonObject& message);
    QJsonObject roomUpdate(const Room& room) const;
    void sendRoomUpdate(const Room& room);

    // Output.
    void send(const Session& session, const QJsonObject& message);
    void sendError(const Session& session, const QString& text);
    void sendError(ConnectionId connection, const QString& text);
    bool chatAllowed(Session& session);
    void flush();
    void publishRoutes();
    void closeConnection(ConnectionId connection);

    // Persistence: what changed since the last save.
    void sessionChanged(Session& session) { changedSessions_.insert(&session); }
    void roomChanged(Room& room) { changedRooms_.insert(&room); }
    void saveState();
    void restoreRoom(const state::Room& record, const std::map<quint64, Session*>& sessions);
    static state::Session record(const Session& session);
    static state::Room record(const Room& room);
    // Ended sessions are remembered for a while, so that a client coming back
    // with an old identifier hears what became of its room.
    void rememberEnded(const Session& session);
    QString lostSessionNotice(const QJsonObject& login) const;

    static const QHash<QString, Handler>& handlers();

    ServerConfig config_;
    LobbyOutput& output_;
    RouteExchange* relay_;
    Clock clock_;
    AddressPlan addresses_;

    std::map<QString, std::unique_ptr<Session>> sessions_; // by folded name
    std::map<QString, std::unique_ptr<Room>> rooms_;       // by folded name
    std::unordered_map<ConnectionId, Connection> connections_;
    std::unordered_map<ClientKey, Session*, ClientKeyHash> sessionsByKey_;
    std::vector<std::uint32_t> slotGens_;
    std::vector<std::uint32_t> freeSlots_;
    quint64 nextSerial_ = 1;
    bool routesDirty_ = false;
    bool usersDirty_ = false;

    state::Store* store_ = nullptr;
    bool saveEverything_ = false;
    std::set<Session*> changedSessions_;
    std::set<Room*> changedRooms_;
    std::vector<quint64> endedSessions_;
    std::vector<quint64> closedRooms_;
    std::unordered_map<ClientKey, QString, ClientKeyHash> endedRoomByKey_; // empty: was in no room
    std::deque<ClientKey> endedOrder_;
};
