// The server as a whole: the TCP lobby on this thread's event loop and the
// UDP relay on its own thread, on one port.
#pragma once

#include "server/config.h"
#include "server/lobby/lobby.h"
#include "server/relay/relay.h"
#include "server/relay/routes.h"

#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <memory>
#include <unordered_map>

class QTcpSocket;

class LobbyServer : public QObject, private LobbyOutput
{
    Q_OBJECT

public:
    explicit LobbyServer(const ServerConfig& config, QObject* parent = nullptr);
    ~LobbyServer() override;

    // Listens on TCP and UDP. With port 0 a free port is picked that is
    // free for both.
    bool start(QString* error);
    // Closes every connection and stops the relay; logs the final stats.
    void stop();
    quint16 port() const { return port_; }
    QString statsLine() const;
    const Lobby& lobby() const { return lobby_; }

private:
    struct Peer {
        QTcpSocket* socket = nullptr;
        LineReader reader;
    };

    void sendLine(ConnectionId connection, const QByteArray& line) override;
    void closeConnection(ConnectionId connection) override;
    void acceptConnections();
    void readLines(ConnectionId connection);
    void dropPeer(ConnectionId connection);
    // Forgets the connection and returns its socket, still open (null if unknown).
    QTcpSocket* takeSocket(ConnectionId connection);

    ServerConfig config_;
    RouteExchange exchange_;
    Lobby lobby_;
    std::unique_ptr<Relay> relay_;
    std::unique_ptr<state::Store> store_;
    QTcpServer tcp_;
    QTimer expiryTimer_;
    QTimer statsTimer_;
    std::unordered_map<ConnectionId, Peer> peers_;
    ConnectionId nextConnection_ = 1;
    quint16 port_ = 0;
    bool running_ = false;
};
