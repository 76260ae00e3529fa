// The server as a whole: the TCP lobby on this thread's event loop and the
// UDP relay on its own thread, on one port.
#pragma once

#include "server/config.h"
#include "server/lobby/lobby.h"
#include "server/lobby/tls.h"
#include "server/relay/relay.h"
#include "server/core/routes.h"
#include "server/ops/opsserver.h"

#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <array>
#include <deque>
#include <memory>
#include <unordered_map>

class QTcpSocket;

class LobbyServer : public QObject, private LobbyOutput
{
    Q_OBJECT

public:
    explicit LobbyServer(const ServerConfig& config, Lobby::Clock clock = monotonicMs,
                         QObject* parent = nullptr);
    ~LobbyServer() override;

    // Listens on TCP and UDP. With port 0 a free port is picked that is
    // free for both.
    bool start(QString* error);
    // Closes every connection and stops the relay; logs the final stats.
    void stop();
    // The relay's mapping port; 0: none.
    quint16 mappingPort() const;
    // Takes up a renewed certificate and key, and the budgets that can change while
    // clients are connected (SIGHUP); whoever is connected stays. A certificate that
    // does not load leaves the running one, and the log says why.
    void reload(const ServerConfig& fresh);
    quint16 port() const { return port_; }
    // SHA-256 of the TLS key's public part, as clients pin it.
    QString fingerprint() const { return fingerprint_; }
    QString statsLine() const;
    // What the lobby hands the relay, and how far the relay has taken it up.
    const RouteExchange& routes() const { return exchange_; }
    const Lobby& lobby() const { return lobby_; }
    // Memory held for output that has not reached its clients yet: a line
    // for many clients counts once.
    qint64 pendingOutput() const { return pendingTotal_; }
    // Connections accepted at most at once (below the open-file limit).
    int connectionCap() const { return connectionCap_; }
    // The operator's HTTP endpoint (server/serverops.cpp); port 0 when off.
    quint16 metricsPort() const { return ops_ ? ops_->port() : 0; }
    OpsServer::Response opsResponse(const QByteArray& path) const;
    QByteArray metricsText() const;
    QByteArray statusPage() const;
    // Empty while the lobby ticked and the relay thread answered within the limit; else why not.
    QString healthProblem() const;
    // Ticks done: tests wait for the next one instead of for a time.
    quint64 ticks() const { return ticks_; }
    // Tests: the relay thread stops answering while held.
    void holdRelayForTest(bool held)
    {
        if (relay_)
            relay_->holdForTest(held);
    }

private:
    void openMapping();
    struct Peer {
        QTcpSocket* socket = nullptr;
        LineReader reader;
        // Lines not yet handed to the socket, each shared with every other
        // queue that holds it; the socket (which copies) gets a little at a
        // time as it drains.
        std::deque<QByteArray> queue;
        qsizetype offset = 0;    // of the first line, already handed over
        qint64 inSocket = 0;     // handed to the socket, not yet to the system
        qint64 pending = 0;      // all its output not yet handed to the system
        qint64 lastProgress = 0; // when output last moved, or started waiting
        bool closing = false;    // over its budget: nothing more is written
        bool opened = false;     // its first byte said plain or TLS
        bool tls = false;
    };

    void sendLine(ConnectionId connection, const QByteArray& line) override;
    void closeConnection(ConnectionId connection) override;
    void checkConnection(ConnectionId connection) override;
    void acceptConnections();
    void pauseAccepting();
    void readLines(ConnectionId connection);
    // A connection whose first byte opens a TLS handshake (server/lobby/tlsconnection.cpp).
    void beginTls(ConnectionId connection);
    void outputMoved(ConnectionId connection, qint64 bytes);
    void pump(Peer& peer);
    void hold(const QByteArray& line, int delta);
    void discardOutput(Peer& peer);
    // Closes a reader that falls behind, once, after the lobby's current command.
    void closeSlowReader(ConnectionId connection, const char* why);
    void checkOutput(bool onTick = false);
    void dropPeer(ConnectionId connection);
    // Forgets the connection and returns its socket, still open (null if unknown).
    QTcpSocket* takeSocket(ConnectionId connection);
    // Each tick: the lobby is alive, and the relay thread answered the last wake-up (or not).
    void noteHealth();

    ServerConfig config_;
    Lobby::Clock clock_;
    RouteExchange exchange_;
    Lobby lobby_;
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<state::Store> store_;
    tls::Server tcp_; // plain lines and TLS on one port
    QString fingerprint_;
    QTimer tickTimer_;
    QTimer acceptPause_;
    QTimer statsTimer_;
    std::unordered_map<ConnectionId, Peer> peers_;
    std::unordered_map<const char*, int> holders_; // queues holding each line, by its data
    ConnectionId nextConnection_ = 1;
    qint64 pendingTotal_ = 0;
    qint64 lastTick_ = 0;
    quint64 ticks_ = 0;
    int connectionCap_ = 0;
    quint16 port_ = 0;
    bool running_ = false;
    std::unique_ptr<OpsServer> ops_;
    enum { HandshakeDone, HandshakeFailed, HandshakeTimedOut, HandshakeRefused, kHandshakeOutcomes };
    std::array<quint64, kHandshakeOutcomes> handshakes_{};
    qint64 startedAt_ = 0;
    qint64 startedWallMs_ = 0;
    qint64 lobbyBeatAt_ = 0;
    qint64 relayBeatAt_ = 0;
    std::uint64_t relayBeatsSeen_ = 0;
};
