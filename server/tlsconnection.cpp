// Turning an accepted connection to TLS; the rest of the server sees the same
// lines either way.
#include "server/lobbyserver.h"
#include "server/serverlog.h"

#include <QSslSocket>
#include <QTimer>

void LobbyServer::beginTls(ConnectionId connection)
{
    const auto it = peers_.find(connection);
    auto* socket = it == peers_.end() ? nullptr : qobject_cast<QSslSocket*>(it->second.socket);
    if (!socket || !config_.tls) { // as a server without TLS: what it cannot read, it hangs up on
        lobby_.connectionClosed(connection);
        dropPeer(connection);
        return;
    }
    // Each address gets twice its connections' worth of handshakes per rate
    // window; a flood of them from one address costs the lobby little.
    if (!lobby_.admitHandshake(connection)) {
        ++handshakes_[HandshakeRefused];
        serverlog::debug(QStringLiteral("closing connection %1: too many TLS handshakes from its address")
                             .arg(connection));
        lobby_.connectionClosed(connection);
        dropPeer(connection);
        return;
    }
    it->second.tls = true;
    connect(socket, &QSslSocket::encrypted, this, [this, connection] {
        ++handshakes_[HandshakeDone];
        lobby_.connectionSealed(connection);
    });
    connect(socket, &QSslSocket::encryptedBytesWritten, this,
            [this, connection](qint64 bytes) { outputMoved(connection, bytes); });
    const auto fail = [this, connection, socket](const char* why, int outcome) {
        if (peers_.count(connection) == 0 || socket->isEncrypted())
            return;
        ++handshakes_[outcome];
        serverlog::debug(
            QStringLiteral("closing connection %1: %2").arg(QString::number(connection), QLatin1String(why)));
        lobby_.connectionClosed(connection);
        dropPeer(connection);
    };
    connect(socket, &QSslSocket::errorOccurred, this,
            [fail] { fail("TLS handshake failed", HandshakeFailed); });
    // A handshake costs the server more than a line: it gets far less time
    // than a login, and counts against the address's connections meanwhile.
    QTimer::singleShot(config_.handshakeDeadlineMs, socket,
                       [fail] { fail("TLS handshake not done in time", HandshakeTimedOut); });
    socket->startServerEncryption();
}
