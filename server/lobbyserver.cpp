#include "server/lobbyserver.h"

#include "server/processlimits_linux.h"
#include "server/serverlog.h"
#include "server/sockettuning_linux.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QSslSocket>

#include <algorithm>

namespace {

constexpr int kPortAttempts = 32;
// Descriptors kept free for the relay, logs and whatever the process opens.
constexpr long kSpareDescriptors = 64;
// What the kernel may hold for a client on top of the server's own budget.
constexpr int kSendBufferBytes = 128 * 1024;
constexpr int kTickMs = 100;
constexpr int kAcceptPauseMs = 250;
// The most one socket's own buffer is given at a time.
constexpr qint64 kWriteChunk = 16 * 1024;
// A queued line costs this much besides its bytes (counted once per queue).
constexpr qint64 kQueueEntryBytes = 32;
// A client holding more than its output budget must keep reading: output
// that stood still this long closes it. A burst alone closes nobody.
constexpr qint64 kOverBudgetStallMs = 1000;
// Keepalive of a control connection, and of one being checked: probes at once
// and every second, so a peer that still answers has done so within this time.
constexpr int kKeepIdleSeconds = 30;
constexpr int kCheckMs = 3000;
constexpr int kCheckSlackMs = 50;

} // namespace

LobbyServer::LobbyServer(const ServerConfig& config, Lobby::Clock clock, QObject* parent)
    : QObject(parent), config_(config), clock_(std::move(clock)),
      exchange_(static_cast<std::uint32_t>(qMax(config.maxClients, 1))),
      lobby_(config_, *this, &exchange_, clock_)
{
    connect(&tcp_, &QTcpServer::newConnection, this, &LobbyServer::acceptConnections);
    connect(&tcp_, &QTcpServer::acceptError, this, &LobbyServer::pauseAccepting);
    acceptPause_.setSingleShot(true);
    acceptPause_.setInterval(kAcceptPauseMs);
    connect(&acceptPause_, &QTimer::timeout, this, [this] {
        tcp_.resumeAccepting();
        acceptConnections();
    });
    // Expiry, paced lists and stalled output are checked several times a
    // second (more often with a very short grace time).
    tickTimer_.setInterval(static_cast<int>(qBound(qint64{20}, config_.sessionGraceMs / 4, qint64{kTickMs})));
    connect(&tickTimer_, &QTimer::timeout, this, [this] {
        noteHealth();
        lobby_.tick();
        checkOutput(true);
        ++ticks_;
    });
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
    if (!config_.statePath.isEmpty() && !store_) {
        state::Snapshot saved;
        store_ = state::openSqliteStore(config_.statePath, &saved);
        lobby_.restore(saved);
        lobby_.setStore(store_.get());
    }
    if (fingerprint_.isEmpty()) {
        // The server's own key lives beside the state, so a restart keeps what clients pinned.
        const QString ownPath =
            config_.statePath.isEmpty() ? QString() : config_.statePath + QStringLiteral(".tls.pem");
        const tls::Identity identity = tls::loadIdentity(config_.tlsCert, config_.tlsKey, ownPath, error);
        if (identity.isNull())
            return false;
        tcp_.setConfiguration(tls::serverConfiguration(identity));
        fingerprint_ = tls::fingerprint(identity.certificate);
        if (ownPath.isEmpty() && config_.tlsCert.isEmpty())
            serverlog::warn(
                QStringLiteral("TLS key made for this run only (no --state): clients that pinned it will "
                               "refuse the next one"));
    }
    for (int attempt = 0; attempt < (config_.port == 0 ? kPortAttempts : 1); ++attempt) {
        if (!tcp_.listen(tcpAddress, config_.port)) {
            *error = QStringLiteral("cannot listen on TCP %1 port %2: %3")
                         .arg(config_.listen.toString(), QString::number(config_.port), tcp_.errorString());
            return false;
        }
        const RelayBudget budget{static_cast<std::uint32_t>(config_.memberRate),
                                 static_cast<std::uint32_t>(config_.floodRate), config_.keyUses,
                                 config_.keyAskAt};
        relay_ = std::make_unique<Relay>(exchange_, budget);
        if (relay_->open(config_.listen, tcp_.serverPort(), error))
            break;
        // The TCP port may be taken for UDP by someone else; with port 0, try another.
        tcp_.close();
        relay_.reset();
        *error = QStringLiteral("cannot bind UDP %1 port %2: %3")
                     .arg(config_.listen.toString(), QString::number(config_.port), *error);
    }
    if (!relay_)
        return false;
    port_ = tcp_.serverPort();
    openMapping();
    // Running out of descriptors would stall accept() for everyone; stop short of it.
    connectionCap_ = static_cast<int>(qBound<long>(1, qMin<long>(raiseOpenFileLimit() - kSpareDescriptors,
                                                                 static_cast<long>(config_.maxClients) * 2),
                                                   1L << 21));
    // Nobody is aimed at the server itself: where it listens (TCP and relay
    // alike) and every address the host has.
    QList<QHostAddress> own = QNetworkInterface::allAddresses();
    own.append(config_.listen);
    lobby_.setOwnAddresses(own);
    relay_->start();
    lastTick_ = startedAt_ = clock_();
    startedWallMs_ = QDateTime::currentMSecsSinceEpoch();
    noteHealth();
    if (config_.metrics && !ops_) {
        ops_ = std::make_unique<OpsServer>([this](const QByteArray& path) { return opsResponse(path); },
                                           config_.metricsAllow, config_.opsDeadlineMs);
        if (!ops_->listen(config_.metricsAddress, config_.metricsPort, error)) {
            ops_.reset();
            relay_->stop();
            tcp_.close();
            return false;
        }
        serverlog::info(QStringLiteral("metrics, health and status on %1 port %2")
                            .arg(config_.metricsAddress.toString(), QString::number(ops_->port())));
    }
    tickTimer_.start();
    if (config_.statsIntervalMs > 0)
        statsTimer_.start(static_cast<int>(qMin<qint64>(config_.statsIntervalMs, 24 * 3600 * 1000)));
    running_ = true;
    serverlog::info(QStringLiteral("listening on %1 port %2 (TCP and UDP)")
                        .arg(config_.listen.toString(), QString::number(port_)));
    serverlog::info(
        QStringLiteral("TLS key SHA-256 %1%2")
            .arg(fingerprint_, config_.requireSealed ? QStringLiteral("; plain logins refused") : QString()));
    serverlog::info(
        QStringLiteral("invite links name this key as ?key=%1").arg(tls::linkFingerprint(fingerprint_)));
    return true;
}

quint16 LobbyServer::mappingPort() const
{
    return relay_ ? relay_->mappingPort() : 0;
}

void LobbyServer::openMapping()
{
    if (config_.mappingPort == 0)
        return;
    const bool automatic = config_.mappingPort < 0;
    const auto port =
        static_cast<quint16>(automatic ? (config_.port == 0 ? 0 : port_ + 1) : config_.mappingPort);
    QString error;
    // Without it only the hardest pairs of players lose their direct path: a warning, not a failure.
    if (!relay_->openMapping(config_.listen, port, &error)) {
        serverlog::warn(QStringLiteral("no mapping port (UDP %1): %2").arg(QString::number(port), error));
        return;
    }
    lobby_.setMappingPort(relay_->mappingPort());
}

void LobbyServer::stop()
{
    if (!running_)
        return;
    running_ = false;
    tickTimer_.stop();
    acceptPause_.stop();
    statsTimer_.stop();
    tcp_.close();
    if (ops_)
        ops_->close();
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
                       .arg(QString::number(lobby_.sessionCount()), QString::number(lobby_.connectionCount()),
                            QString::number(lobby_.roomCount()));
    const RelayCounters counters = exchange_.counters();
    for (std::size_t i = 0; i < kRelayCounterCount; ++i)
        line +=
            QStringLiteral(" %1=%2").arg(QLatin1String(relayCounterName(i)), QString::number(counters[i]));
    line += QStringLiteral(" log_suppressed=%1").arg(lobby_.logSuppressed());
    if (const QString most = lobby_.mostSuppressed(); !most.isEmpty())
        line += QStringLiteral(" log_suppressed_most=") + most;
    return line;
}

void LobbyServer::pauseAccepting()
{
    // Out of descriptors or memory: retrying at once would only spin.
    if (acceptPause_.isActive())
        return;
    serverlog::warn(QStringLiteral("cannot accept connections: %1; pausing briefly").arg(tcp_.errorString()));
    tcp_.pauseAccepting();
    acceptPause_.start();
}

void LobbyServer::acceptConnections()
{
    while (QTcpSocket* socket = tcp_.nextPendingConnection()) {
        const QHostAddress peer = socket->peerAddress();
        const ConnectionId id = nextConnection_++;
        // Beyond the cap nobody is served well anyway; refuse early rather
        // than run out of descriptors. Refusals are not logged one by one:
        // a flood would flood the log too.
        if (peers_.size() >= static_cast<std::size_t>(connectionCap_) || !lobby_.connectionOpened(id, peer)) {
            serverlog::debug(QStringLiteral("refusing connection from %1").arg(peer.toString()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        enableTcpKeepAlive(socket->socketDescriptor(), kKeepIdleSeconds, 10, 3);
        limitSendBuffer(socket->socketDescriptor(), kSendBufferBytes);
        Peer& entry = peers_[id];
        entry.socket = socket;
        entry.lastProgress = clock_();
        serverlog::debug(QStringLiteral("connection %1 from %2").arg(QString::number(id), peer.toString()));
        connect(socket, &QTcpSocket::readyRead, this, [this, id] { readLines(id); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, id](qint64 bytes) {
            // Over TLS this counts bytes handed to the encryption, not to the system.
            if (const auto it = peers_.find(id); it != peers_.end() && !it->second.tls)
                outputMoved(id, bytes);
        });
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
    if (it == peers_.end() || it->second.closing)
        return;
    if (!it->second.opened) {
        char first = 0;
        if (it->second.socket->peek(&first, 1) != 1)
            return;
        it->second.opened = true;
        if (tls::opensHandshake(first)) {
            beginTls(connection);
            return;
        }
    }
    QList<QByteArray> lines;
    const bool fine = it->second.reader.feed(it->second.socket->readAll(), lines);
    for (const QByteArray& line : lines) {
        // A handled line may have closed this very connection.
        const auto still = peers_.find(connection);
        if (still == peers_.end() || still->second.closing)
            return;
        lobby_.handleLine(connection, line);
    }
    if (!fine && peers_.count(connection) != 0) {
        {
            const auto gate = lobby_.logGate(connection);
            serverlog::warn(
                QStringLiteral("closing connection %1: line over %2 bytes")
                    .arg(QString::number(connection), QString::number(lobbyrules::kMaxLineBytes)));
        }
        lobby_.connectionClosed(connection);
        closeConnection(connection);
    }
}

void LobbyServer::sendLine(ConnectionId connection, const QByteArray& line)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end() || it->second.closing || line.isEmpty())
        return;
    Peer& peer = it->second;
    if (peer.pending == 0)
        peer.lastProgress = clock_();
    hold(line, 1);
    peer.queue.push_back(line);
    peer.pending += line.size();
    pump(peer);
    if (pendingTotal_ > config_.maxTotalPendingOutput)
        checkOutput();
}

void LobbyServer::hold(const QByteArray& line, int delta)
{
    // A line costs its bytes once, however many queues hold it.
    int& holders = holders_[line.constData()];
    if (holders == 0)
        pendingTotal_ += line.size();
    holders += delta;
    pendingTotal_ += delta * kQueueEntryBytes;
    if (holders == 0) {
        pendingTotal_ -= line.size();
        holders_.erase(line.constData());
    }
}

void LobbyServer::pump(Peer& peer)
{
    // Over TLS what waits is ciphertext, behind the encryption; it counts the same.
    const auto unsent = [](QTcpSocket* socket) {
        return socket->bytesToWrite() + static_cast<QSslSocket*>(socket)->encryptedBytesToWrite();
    };
    while (!peer.queue.empty() && unsent(peer.socket) < kWriteChunk) {
        const QByteArray& line = peer.queue.front();
        const qint64 written =
            peer.socket->write(line.constData() + peer.offset, qMin(line.size() - peer.offset, kWriteChunk));
        if (written <= 0)
            return;
        peer.offset += written;
        peer.inSocket += written;
        pendingTotal_ += written;
        if (peer.offset == line.size()) {
            hold(line, -1);
            peer.queue.pop_front();
            peer.offset = 0;
        }
    }
}

void LobbyServer::discardOutput(Peer& peer)
{
    for (const QByteArray& line : peer.queue)
        hold(line, -1);
    peer.queue.clear();
    peer.offset = 0;
    pendingTotal_ -= peer.inSocket;
    peer.inSocket = 0;
    peer.pending = 0;
}

void LobbyServer::outputMoved(ConnectionId connection, qint64 bytes)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end() || it->second.closing)
        return;
    Peer& peer = it->second;
    const qint64 moved = qMin(bytes, peer.inSocket);
    peer.inSocket -= moved;
    peer.pending -= moved;
    pendingTotal_ -= moved;
    peer.lastProgress = clock_();
    pump(peer);
}

void LobbyServer::closeSlowReader(ConnectionId connection, const char* why)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end() || it->second.closing)
        return;
    Peer& peer = it->second;
    peer.closing = true;
    discardOutput(peer);
    {
        const auto gate = lobby_.logGate(connection);
        serverlog::warn(
            QStringLiteral("closing connection %1: %2").arg(QString::number(connection), QLatin1String(why)));
    }
    // The lobby may be in the middle of a command; let it finish first.
    QMetaObject::invokeMethod(this, [this, connection] {
        lobby_.connectionClosed(connection);
        dropPeer(connection);
    }, Qt::QueuedConnection);
}

void LobbyServer::checkOutput(bool onTick)
{
    const qint64 now = clock_();
    // After this thread was held up, what clients did meanwhile has not been
    // seen yet: judge nobody by it this time.
    const bool late = onTick && now - lastTick_ > 3 * tickTimer_.interval();
    if (onTick)
        lastTick_ = now;
    std::vector<std::pair<qint64, ConnectionId>> waiting; // (last progress, connection)
    for (const auto& [id, peer] : peers_)
        if (!peer.closing && peer.pending > 0)
            waiting.emplace_back(peer.lastProgress, id);
    std::sort(waiting.begin(), waiting.end());
    for (const auto& [since, id] : waiting) {
        const auto it = peers_.find(id);
        if (it == peers_.end() || it->second.closing)
            continue;
        const bool stalled = now - since >= config_.outputStallMs;
        if (!late &&
            (stalled || (now - since >= kOverBudgetStallMs && it->second.pending > config_.maxPendingOutput)))
            closeSlowReader(id, stalled ? "its output has not moved" : "it does not read its messages");
        else if (pendingTotal_ > config_.maxTotalPendingOutput)
            closeSlowReader(id, "the server holds too much output; slowest readers go first");
    }
}

void LobbyServer::checkConnection(ConnectionId connection)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end() || it->second.closing)
        return;
    enableTcpKeepAlive(it->second.socket->socketDescriptor(), 1, 1, kCheckMs / 1000);
    // Real time, whatever the lobby's clock: the kernel's probes keep it.
    QElapsedTimer started;
    started.start();
    QTimer::singleShot(kCheckMs, Qt::PreciseTimer, this, [this, connection, started] {
        const auto still = peers_.find(connection);
        if (still == peers_.end() || still->second.closing)
            return; // gone meanwhile; the lobby has heard
        const qintptr fd = still->second.socket->socketDescriptor();
        // An acknowledgement from before the check does not count (the kernel's
        // clock ticks in a few milliseconds); the probes go every second.
        if (tcpPeerAnswered(fd, static_cast<int>(started.elapsed()) - kCheckSlackMs)) {
            enableTcpKeepAlive(fd, kKeepIdleSeconds, 10, 3);
            lobby_.connectionAnswered(connection);
            return;
        }
        {
            const auto gate = lobby_.logGate(connection);
            serverlog::info(
                QStringLiteral("closing connection %1: its peer no longer answers").arg(connection));
        }
        lobby_.connectionClosed(connection);
        dropPeer(connection);
    });
}

QTcpSocket* LobbyServer::takeSocket(ConnectionId connection)
{
    const auto it = peers_.find(connection);
    if (it == peers_.end())
        return nullptr;
    QTcpSocket* socket = it->second.socket;
    discardOutput(it->second);
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
