// Lobby state and the handling of control lines, without sockets: the
// server feeds it lines and connection events and carries its output.
// Runs on one thread (the lobby's).
#pragma once

#include "protocol/clientkey.h"
#include "protocol/directwire.h"
#include "protocol/controlcodec.h"
#include "server/config.h"
#include "server/lobby/lobbyrules.h"
#include "server/lobby/statestore.h"
#include "server/core/routes.h"
#include "server/serverlog.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <algorithm>
#include <bitset>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
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
    // A login waits for the name this quiet connection holds: the transport
    // finds out within seconds whether its peer still answers, then closes it
    // (and reports connectionClosed) or reports connectionAnswered. One that
    // says nothing leaves the name where it is.
    virtual void checkConnection(ConnectionId /*connection*/) {}
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

    // False when the peer's address already holds all the connections it
    // may; the lobby then does not know the connection and it is to be closed.
    bool connectionOpened(ConnectionId connection, const QHostAddress& peer);
    void connectionClosed(ConnectionId connection);
    // The peer of a connection given to checkConnection still answers.
    void connectionAnswered(ConnectionId connection);
    // The connection finished a TLS handshake: its logins get sealed sessions.
    void connectionSealed(ConnectionId connection);
    // Whether the connection's address may have one more TLS handshake now.
    bool admitHandshake(ConnectionId connection);
    // One line as received, without its line feed.
    void handleLine(ConnectionId connection, const QByteArray& line);
    // Called often (a few times a second): ends sessions that have had
    // neither a connection nor heartbeats for the grace time, closes
    // connections that did not log in in time, sends paced lists that are due.
    void tick();

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
    // Log lines left out because one address caused too many, and the
    // address that lost the most of those still being held back.
    quint64 logSuppressed() const { return logSuppressed_; }
    QString mostSuppressed() const;
    // Holds the log lines written while it lives to the budget of the
    // connection's address.
    serverlog::Gate logGate(ConnectionId connection);

    // Checks the invariants that must hold between any two calls; used by
    // tests and the fuzz target. Returns an empty string when all hold.
    QString consistencyProblem() const;
    // The same invariants, as far as they concern what changed since the
    // last look (the sessions and rooms touched); costs what changed, so it
    // can run after every step. What only a count over everything shows
    // (address budgets, invitations, pair indices) waits for the full check.
    QString changeProblem();

    // Addresses of the server itself (where it listens, its interfaces):
    // candidates naming them are dropped.
    void setOwnAddresses(const QList<QHostAddress>& addresses);
    // The relay's mapping port, told to sealed members with their peers; 0: none.
    void setMappingPort(quint16 port) { mappingPort_ = port; }
    // The address budgets and the login deadline from now on (counts already held stay).
    void updateBudgets(const ServerConfig& fresh);

    // What the operator's metrics and status page show (server/lobby/lobbyops.cpp).
    enum LoginRefusal { RefusedPlain, RefusedName, RefusedTaken, RefusedAddress, RefusedFull, kRefusalCount };
    static const char* refusalName(int refusal);
    // How a pair of members reaches each other, as its members report it.
    enum PathKind { PathDirect, PathRelayed, PathPrivate, kPathKindCount };
    static const char* pathName(int path);
    // Upper bounds (seconds) of the histogram of time from both in the room to direct.
    static constexpr std::array<double, 9> kDirectBuckets{1, 2, 5, 10, 20, 30, 60, 120, 300};
    struct Figures {
        std::array<int, 2> sessions{};                  // plain, sealed
        std::array<std::array<int, 3>, 2> members{};    // [plain, sealed][layer unknown, 2, 3]
        std::array<int, 3> rooms{};                     // public, private, locked
        std::array<quint64, kRefusalCount> refusals{};  // logins refused, by reason
        quint64 tunnelRotations = 0, pairRotations = 0; // keys replaced
        std::array<int, kPathKindCount> pairs{};        // pairs by reported path
        std::array<quint64, kDirectBuckets.size() + 1> directBuckets{}; // not cumulative, +Inf last
        double directSeconds = 0;                       // sum of the histogram
    };
    Figures figures() const;
    struct PublicRoom {
        QString name; // as the client sent it, game label included
        int members = 0;
    };
    // Rooms everybody sees; private ones never.
    std::vector<PublicRoom> publicRooms() const;

private:
    friend struct LobbyTamper; // tests break the invariants above on purpose
    static constexpr qint64 kNever = -(qint64{1} << 60);
    static constexpr qint64 kListIntervalMs = 1000;
    // A connection that sent no line for this long (clients ask for the room
    // list every 5 s) is checked when its name is asked for from its address;
    // without an answer from the transport the name stays where it is.
    static constexpr qint64 kQuietMs = 7000;
    static constexpr qint64 kCheckWaitMs = 10000;
    // Direct paths: changes of a member's candidates or relay-seen endpoint
    // taken per window, and direct_peers lines a member is sent per window.
    // A client that changes its addresses all the time makes its peers' lists
    // go out this often at most.
    static constexpr int kDirectChanges = 6;
    static constexpr qint64 kDirectChangeWindowMs = 60000;
    static constexpr int kDirectSends = 4;
    static constexpr qint64 kDirectSendWindowMs = 4000;
    static constexpr std::uint32_t kMaxPairIndex = directwire::kMaxPair;
    enum class Privacy { Public, Private, Locked };
    struct Room;
    struct Session {
        QString name;
        QString filedAs; // the name's skeleton, its key in sessions_
        QString id;
        ClientKey key;
        // Created or taken back by a login with `client_id`: only the current
        // id takes it back. Otherwise the same name from the same address does.
        bool keyed = false;
        quint64 serial = 0;
        std::uint32_t slot = 0;
        std::uint32_t gen = 0;
        QHostAddress address; // of the control connection, or the last one it had
        QString addressKey;   // the same, as counted in the address budget
        ConnectionId connection = 0;
        qint64 detachedAt = 0;
        Room* room = nullptr;
        quint32 vip = 0;
        std::uint8_t layer = 0; // adapter mode said at the join (2, 3), 0: none
        // Both follow the session to every connection that takes it back.
        TokenBucket chat;
        TokenBucket lines;
        bool chatRefused = false; // told once per burst
        // Sealed sessions only: the tunnel key (and the one before it, for a few seconds).
        SealRoute seal;
        qint64 keyIssuedAt = 0;
        qint64 oldKeyUntil = 0;
        // The last serial its keys had: kept while it is plain, so that the
        // relay never mistakes a later key for one it holds.
        std::uint32_t sealSerial = 0;
        bool rekeyWanted = false; // the relay or the client asked for a new key
        // Direct paths (sealed sessions): what the client listed and where the
        // relay bound its heartbeats ("address:port", empty: nowhere yet).
        std::vector<lobbyrules::Candidate> candidates;
        QString observed;
        // How its NAT maps: the same port toward the relay and the mapping
        // port (independent), or not (dependent: only a birthday probe passes).
        enum class Mapping : std::uint8_t { Unknown, Independent, Dependent } mapping = Mapping::Unknown;
        // The player keeps its address private: it pairs with nobody and
        // nobody hears of its addresses.
        bool privateAddress = false;
        quint64 directVersion = 0; // changes with either
        TokenBucket directChanges;
        TokenBucket directSends;
        bool directWanted = false;        // its direct_peers changed and waits to go out
        std::vector<quint64> directSent;  // what the last one listed (pair serial, peer version)...
        bool touched = false;             // listed for changeProblem()
        qint64 joinedAt = 0;              // entered its current room
        Session(const ServerConfig& c)
            : chat(c.chatLimit, c.rateWindowMs), lines(c.lineLimit, c.rateWindowMs),
              directChanges(kDirectChanges, kDirectChangeWindowMs),
              directSends(kDirectSends, kDirectSendWindowMs)
        {
        }
    };
    // Wrong access keys of one address for one room.
    struct KeyGuard {
        qint64 windowStart = 0;
        qint64 blockedUntil = 0;
        int failures = 0;
        int strikes = 0;
    };
    struct Room {
        QString name;
        QString filedAs; // the name's skeleton, its key in rooms_
        Privacy privacy = Privacy::Public;
        QString password;
        quint64 serial = 0;
        int netIndex = -1;
        quint32 net = 0;
        QList<Session*> members; // in joining order: the first is the longest present
        Session* host = nullptr;
        std::bitset<256> hostsInUse;
        QSet<quint64> invited; // session serials
        QString creatorKey;    // the address whose room budget it counts against
        QHash<QString, KeyGuard> guards;
        // While `guards` is full of blocked addresses (until this time at
        // least), every address not in it counts against one shared guard.
        KeyGuard crowd;
        qint64 guardsFullUntil = 0;
        // Member lists go out at most once a second; changes in between are
        // sent together when the second is over.
        qint64 updateSentAt = kNever;
        bool updateWanted = false;
        // A pair of sealed members of one layer talks directly with its own key;
        // filed by the two session serials, the lower first.
        struct Pair {
            std::uint32_t index = 0; // unique among the server's live pairs
            quint64 serial = 0;      // never repeats
            SealKey key;
            qint64 issuedAt = kNever; // the key; kNever: not looked at yet
            bool rekeyWanted = false; // a member asked for a new key
        };
        std::map<std::pair<quint64, quint64>, Pair> pairs;
        // What each member of a pair last reported of the path to the other (any
        // two members, sealed or not), filed as pairs are.
        struct PathPair {
            std::array<std::int8_t, 2> said{-1, -1}; // by the lower serial, the higher; -1: nothing
            std::array<qint64, 2> at{};              // when
            bool wasDirect = false;                  // counted in the histogram once
        };
        std::map<std::pair<quint64, quint64>, PathPair> paths;
        bool directDirty = false; // pairs or lists to be looked at
        bool touched = false;     // listed for changeProblem()
    };
    struct Connection {
        QHostAddress address;
        QString addressKey;
        qint64 openedAt = 0;
        Session* session = nullptr;
        bool sealed = false; // over TLS
        TokenBucket lines; // until it logs in; then the session's
        bool linesRefused = false;
        bool toldToLogIn = false; // once per connection: clients keep asking for lists
        qint64 lastLineAt = 0;
        // A login that waits until the connection holding its name proves
        // itself (a line, or the transport's check) or goes away.
        QJsonObject waitingLogin;
        ConnectionId waitingFor = 0;
        // Logins waiting for this one; checkConnection asked since `checkedAt`.
        std::vector<ConnectionId> waiters;
        bool checking = false;
        qint64 checkedAt = 0;
        // Lists are sent at most once a second per connection; a request in
        // between is answered when the second is over, once.
        quint64 usersVersion = 0; // of the online list last sent
        qint64 usersSentAt = kNever;
        qint64 roomsSentAt = kNever;
        bool roomsWanted = false;
        Connection(const QHostAddress& a, QString key, qint64 now, int limit, qint64 window)
            : address(a), addressKey(std::move(key)), openedAt(now), lines(limit, window), lastLineAt(now)
        {
        }
    };
    struct AddressUse {
        int connections = 0;
        int sessions = 0;
        int rooms = 0;
    };

    // What one address may spend, shared by its connections and sessions.
    // Forgotten only once full again, so reconnecting refills nothing.
    struct AddressBudget {
        TokenBucket lines;
        TokenBucket chat;
        TokenBucket log;
        TokenBucket handshakes; // TLS handshakes cost the server more than a line
        quint64 suppressed = 0;
        explicit AddressBudget(const ServerConfig& c);
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
    void directCandidates(Connection&, Session& session, const QJsonObject& message);
    void pathReport(Connection&, Session& session, const QJsonObject& message);
    static int pathOf(const Room::PathPair& pair);
    // A new tunnel key, or with "pair" a new pair key (server/lobby/lobbyrekey.cpp).
    void rekey(Connection&, Session& session, const QJsonObject& message);

    // Sessions.
    Session* createSession(const QString& name, const QString& filedAs, const Connection& connection,
                           bool keyed);
    bool mayTakeBack(const Session& session, const Connection& connection, const QJsonObject& message) const;
    // A name held by a connection from the login's own address, whose client may have
    // vanished without a word: the login waits for the holder to prove itself.
    void waitFor(ConnectionId self, Connection& connection, const QJsonObject& message, ConnectionId holder);
    // The holder is there: the logins waiting for it are refused.
    void holderAnswered(ConnectionId id, Connection& holder);
    // Logins whose holder went away try again.
    void retryWaitingLogins();
    void takeBack(Session& session, ConnectionId self, Connection& connection, bool keyed);
    void newKey(Session& session);
    // Sealed tunnels (server/lobby/lobbyseal.cpp).
    void sendLoginOk(Session& session);
    // `message` with the session's tunnel key, index and phase when it is sealed.
    void sendTunnelKey(Session& session, control::ObjectWriter message);
    void setSealed(Session& session, bool sealed);
    void rotateTunnelKeys(qint64 now);
    // Pair keys too age by time and by request (server/lobby/lobbyrekey.cpp).
    void renewPairKeys(qint64 now);
    // A key is replaced on request only once it is this old: each member can
    // make the server do the work only so often.
    static constexpr qint64 kRekeyMinAgeMs = 2000;
    // Direct paths (server/lobby/lobbydirect.cpp).
    bool directEligible(const Session& session) const
    {
        return config_.direct && !session.privateAddress && session.seal.serial != 0 && session.layer != 0;
    }
    // Whether the two reach the server from one address (the same NAT or
    // network), so that the addresses inside it may help them.
    static bool sameNetwork(const Session& a, const Session& b);
    // The login's "private" (a new session, or one taken back).
    void directLogin(Session& session, const QJsonObject& login);
    void directChanged(Room& room)
    {
        room.directDirty = directDirty_ = true;
        touch(room);
    }
    void dropPairs(Room& room, const Session& session);
    // Makes and drops the pairs of rooms that changed, then sends the lists that are due.
    void updateDirect(qint64 now);
    void updatePairs(Room& room);
    // What `session`'s direct_peers lists now; the JSON too when `peers` is given.
    std::vector<quint64> directList(const Session& session, control::ArrayWriter* peers) const;
    // Takes in the endpoints the relay bound since the last look.
    void checkBoundEndpoints(qint64 now);
    // A take-back: new pairs (the old keys may have left with the old device).
    void renewDirect(Session& session);
    // Pairs exactly between the room's eligible members of one layer, each index live and in range.
    QString pairProblem(const Room& room) const;
    void attach(Session& session, ConnectionId connection);
    // Forgets a connection; its session, if any, stays without one.
    void detach(ConnectionId connection);
    void endSession(Session& session);
    void expireSessions(qint64 now);
    Session* findOnline(const QString& name);
    AddressUse& use(const QString& addressKey) { return addressUse_[addressKey]; }
    void release(const QString& addressKey, int AddressUse::*counter);
    AddressBudget& budget(const QString& addressKey)
    {
        return budgets_.try_emplace(addressKey, config_).first->second;
    }
    serverlog::Gate logGate(const QString& addressKey);
    bool lineAllowed(ConnectionId self, Connection& connection);

    // Rooms.
    void enterRoom(Session& session, Room& room);
    void leaveRoom(Session& session);
    Session* memberNamed(Room& room, const QString& name);
    // The room `session` means by a name with this key: its own, a private one
    // it is invited to, or the one everybody sees; null when there is none it
    // may know of.
    Room* roomFor(const Session& session, const QString& key);
    // Host-only commands share their checks; returns the target or null (error sent).
    Session* hostTarget(Session& session, const QJsonObject& message);
    QByteArray joinOk(const Session& session) const;
    QByteArray roomUpdate(const Room& room) const;
    void sendRoomUpdate(Room& room);
    void sendRoomList(Connection& connection);
    // Null when the key may be tried now; otherwise the refusal to send.
    QString keyRefusal(Room& room, const QString& addressKey, bool wrong);

    // Output.
    void send(const Session& session, const QByteArray& line);
    void sendError(const Session& session, const QString& text);
    void sendError(ConnectionId connection, const QString& text);
    bool chatAllowed(Session& session);
    void flush();
    void usersChanged() { ++usersVersion_, pacedDue_ = kNever; }
    void sendDueLists(qint64 now);
    void publishRoutes();
    void closeConnection(ConnectionId connection);

    // Persistence: what changed since the last save.
    void sessionChanged(Session& session)
    {
        changedSessions_.insert(&session);
        touch(session);
    }
    void roomChanged(Room& room)
    {
        changedRooms_.insert(&room);
        touch(room);
    }
    // For changeProblem(), once it was asked: what changed since it last
    // looked; forget() on the way out. Costs a test of a flag otherwise.
    void touch(Session& session)
    {
        if (tracking_ && !std::exchange(session.touched, true))
            touchedSessions_.push_back(&session);
    }
    void touch(Room& room)
    {
        if (tracking_ && !std::exchange(room.touched, true))
            touchedRooms_.push_back(&room);
    }
    void forget(Session& session)
    {
        if (session.touched)
            touchedSessions_.erase(std::find(touchedSessions_.begin(), touchedSessions_.end(), &session));
    }
    void forget(Room& room)
    {
        if (room.touched)
            touchedRooms_.erase(std::find(touchedRooms_.begin(), touchedRooms_.end(), &room));
    }
    // Those of consistencyProblem()'s checks that concern one session or room.
    QString sessionProblem(const Session& session) const;
    QString roomProblem(const Room& room) const;
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
    QSet<QString> ownHosts_; // as lobbyrules::endpointText writes the address
    Clock clock_;
    AddressPlan addresses_;

    std::map<QString, std::unique_ptr<Session>> sessions_; // by folded name
    // By folded name. Private rooms may share a name with any other room, so
    // that nothing an outsider does tells whether they exist; rooms that
    // everybody sees have names of their own.
    std::multimap<QString, std::unique_ptr<Room>> rooms_;
    std::unordered_map<ConnectionId, Connection> connections_;
    std::vector<std::pair<ConnectionId, ConnectionId>> freedWaiters_; // (waiting, the holder that went)
    QHash<QString, AddressUse> addressUse_;
    std::map<QString, AddressBudget> budgets_;
    quint64 logSuppressed_ = 0;
    std::unordered_map<ClientKey, Session*, ClientKeyHash> sessionsByKey_;
    std::vector<std::uint32_t> slotGens_;
    std::vector<std::uint32_t> freeSlots_;
    bool tracking_ = false;
    std::vector<Session*> touchedSessions_;
    std::vector<Room*> touchedRooms_;
    quint64 nextSerial_ = 1;
    bool routesDirty_ = false;
    quint64 usersVersion_ = 1; // counts changes of the set of online names
    QByteArray usersLine_;
    quint64 usersLineVersion_ = 0;
    qint64 pacedDue_ = kNever; // when the next paced list may be due

    state::Store* store_ = nullptr;
    bool saveEverything_ = false;
    std::set<Session*> changedSessions_;
    std::set<Room*> changedRooms_;
    std::vector<quint64> endedSessions_;
    std::vector<quint64> closedRooms_;
    std::vector<state::Invitation> invitationChanges_;
    struct EndedIn {
        QString name; // empty: was in no room
        quint64 serial = 0;
    };
    std::unordered_map<ClientKey, EndedIn, ClientKeyHash> endedRoomByKey_;
    std::deque<ClientKey> endedOrder_;

    std::unordered_set<std::uint32_t> pairIndices_;
    std::uint32_t nextPairIndex_ = 1;
    quint64 pairSerials_ = 0;
    quint64 directVersions_ = 0;
    quint16 mappingPort_ = 0;
    bool directDirty_ = false;   // some room's pairs or lists want a look
    bool directPending_ = false; // some member's list waits for its budget
    std::uint64_t endpointChangesSeen_ = 0;
    std::uint64_t rekeyAsksSeen_ = 0;
    bool endpointsPending_ = false; // a change waits for the member's budget
    std::array<quint64, kRefusalCount> refusals_{};
    quint64 tunnelRotations_ = 0;
    quint64 pairRotations_ = 0;
    std::array<quint64, kDirectBuckets.size() + 1> directBuckets_{};
    double directSeconds_ = 0;
};
