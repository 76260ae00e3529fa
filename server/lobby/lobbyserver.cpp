#include "server/lobby/lobbyserver.h"

#include "server/serverlog.h"
#include "server/sockettuning_linux.h"

#include <QTcpSocket>

namespace {

// A client that does not read its lines must not make the server hoard them.
constexpr qint64 kMaxPendingOutput = 4 * 1024 * 1024;
constexpr int kPortAttempts = 32;

} // namespace

LobbyServer::LobbyServer(const ServerConfig& config, QObject* parent)
    : QObject(parent), config_(config), exchange_(static_cast<std::uint32_t>(qMax(config.maxClients, 1))),
      lobby_(config_, *this, &exchange_, monotonicMs)
{
    connect(&tcp_, &QTcpServer::newConnection, this, &LobbyServer::acceptConnections);
    // Expiry is checked a few times per grace period, and at least once a second.
    expiryTimer_.setInterval(static_cast<int>(qBound(qint64{20}, config_.sessionGraceMs / 4, qint64{1000})));
    connect(&expiryTimer_, &QTimer::timeout, this, [this] { lobby_.expireSessions(); });
    connect(&statsTimer_, &QTimer::timeout, this, [this] { serverlog::info(statsLine()); });
}

LobbyServer::~LobbyServer()
{
    stop();
}

bool LobbyServer::start(QString* error)
{
    // Qt's IPv6 wildcard is IPv6-only; "::" on the command line means both.
    const QHostAddress tcpAddress =
        config_.listen == QHostAddress::AnyIPv6 ? QHostAddress(QHostAddress::Any) : config_.listen;
    for (int attempt = 0; attempt < (config_.port == 0 ? kPortAttempts : 1); ++attempt) {
        if (!tcp_.listen(tcpAddress, config_.port)) {
            *error = QStringLiteral("cannot listen on TCP %1 port %2: %3")
                         .arg(config_.listen.toString())
                         .arg(config_.port)
                         .arg(tcp_.errorString());
            return false;
        }
        relay_ = std::make_unique<Relay>(exchange_, RelayBudget{static_cast<std::uint32_t>(config_.memberRate),
                                                                static_cast<std::uint32_t>(config_.floodRate)});
        if (relay_->open(config_.listen, tcp_.serverPort(), error))
            break;
        // The TCP port may be taken for UDP by someone else; with port 0, try another.
        tcp_.close();
        relay_.reset();
        *error = QStringLiteral("cannot bind UDP %1 port %2: %3").arg(config_.listen.toString()).arg(config_.port).arg(*error);
    }
    if (!relay_)
        return false;
    port_ = tcp_.serverPort();
    relay_->start();
    expiryTimer_.start();
    if (config_.statsIntervalMs > 0)
        statsTimer_.start(static_cast<int>(qMin<qint64>(config_.statsIntervalMs, 24 * 3600 * 1000)));
    running_ = true;
    serverlog::info(QStringLiteral("listening on %1 port %2 (TCP and UDP)").arg(config_.listen.toString()).arg(port_));
    return true;
}

void LobbyServer::stop()
{
    if (!running_)
        return;
    running_ = false;
    expiryTimer_.stop();
    statsTimer_.stop();
    tcp_.close();
    std::vector<ConnectionId> open;
    for (const auto& [id, peer] : peers_)
        open.push_back(id);
    for (ConnectionId id : open)
        dropPeer(id);
    relay_->stop();
    serverlog::info(statsLine());
    serverlog::info(QStringLiteral("stopped"));
}

QString LobbyServer::statsLine() const
{
    QString line = QStringLiteral("stats clients=%1 connections=%2 rooms=%3")
                       .arg(lobby_.sessionCount())
                       .arg(lobby_.connectionCount())
                       .arg(lobby_.roomCount());
    const RelayCounters counters = exchange_.counters();
    for (std::size_t i = 0; i < kRelayCounterCount; ++i)
        line += QStringLiteral(" %1=%2").arg(QLatin1String(relayCounterName(i))).arg(counters[i]);
    return line;
}

void LobbyServer::acceptConnections()
{
    while (QTcpSocket* socket = tcp_.nextPendingConnection()) {
        // Beyond twice the session capacity nobody can log in anyway; refuse
        // early rather than run out of descriptors.
        if (peers_.size() >= static_cast<std::size_t>(config_.maxClients) * 2) {
            serverlog::warn(QStringLiteral("refusing connection from %1: too many connections").arg(socket->peerAddress().toString()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const ConnectionId id = nextConnection_++;
        enableTcpKeepAlive(socket->socketDescriptor(), 30, 10, 3);
        peers_[id].socket = socket;
        serverlog::debug(QStringLiteral("connection %1 from %2").arg(id).arg(socket->peerAddress().toString()));
        lobby_.connectionOpened(id, socket->peerAddress());
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readLines(id); });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            serverlog::debug(QStringLiteral("connection %1 closed").arg(id));
            lobby_.connectionClosed(id);
            dropPeer(id);
        });
        if (socket->bytesAvailable() > 0)
            readLines(id);
    }
}

void LobbyServer::readLines(ConnectionId connection)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end())
        return;
    QList<QByteArray> lines;
    const bool fine = it->second.reader.feed(it->second.socket->readAll(), lines);
    for (const QByteArray& line : lines) {
        // A handled line may have closed this very connection.
        if (peers_.count(connection) == 0)
            return;
        lobby_.handleLine(connection, line);
    }
    if (!fine && peers_.count(connection) != 0) {
        serverlog::warn(QStringLiteral("closing connection %1: line over %2 bytes").arg(connection).arg(lobbyrules::kMaxLineBytes));
        lobby_.connectionClosed(connection);
        closeConnection(connection);
    }
}

void LobbyServer::sendLine(ConnectionId connection, const QByteArray& line)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end())
        return;
    QTcpSocket* socket = it->second.socket;
    socket->write(line);
    if (socket->bytesToWrite() > kMaxPendingOutput) {
        serverlog::warn(QStringLiteral("closing connection %1: it does not read its messages").arg(connection));
        // The lobby is in the middle of a command; let it finish first.
        QMetaObject::invokeMethod(this, [this, connection] {
            lobby_.connectionClosed(connection);
            dropPeer(connection);
        }, Qt::QueuedConnection);
    }
}

QTcpSocket* LobbyServer::takeSocket(ConnectionId connection)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end())
        return nullptr;
    QTcpSocket* socket = it->second.socket;
    peers_.erase(it);
    socket->disconnect(this);
    return socket;
}

void LobbyServer::closeConnection(ConnectionId connection)
{
    // Called from inside the lobby; the socket goes away once the lobby is done.
    if (QTcpSocket* socket = takeSocket(connection)) {
        QMetaObject::invokeMethod(socket, [socket] {
            socket->abort();
            socket->deleteLater();
        }, Qt::QueuedConnection);
    }
}

void LobbyServer::dropPeer(ConnectionId connection)
{
    if (QTcpSocket* socket = takeSocket(connection)) {
        socket->abort();
        socket->deleteLater();
    }
}
