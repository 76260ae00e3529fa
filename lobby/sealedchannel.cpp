// The control channel sealed: TLS first, the server's key pinned on first
// use, plain only for a server that never answered sealed; and the tunnel
// key the server hands a sealed session.
#include "app/vlanclient.h"
#include "lobby/pinning.h"
#include "lobby/serveraddress.h"
#include "protocol/controlcodec.h"
#include "protocol/names.h"
#include "ui/messages.h"
#include "ui/pinprompt.h"

#include <QLabel>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

namespace {

// Long enough for a slow path; a server that does not speak TLS and keeps
// the connection open costs this once before the plain attempt.
constexpr int kHandshakeMs = 5000;

} // namespace

void VLANClient::setUpSealedChannel()
{
    QSslConfiguration configuration = tcpSocket->sslConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    // The key is checked against the pin, not against certificate authorities:
    // most servers carry the certificate they made themselves.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    tcpSocket->setSslConfiguration(configuration);
    handshakeTimer = new QTimer(this);
    handshakeTimer->setSingleShot(true);
    handshakeTimer->setInterval(kHandshakeMs);
    connect(handshakeTimer, &QTimer::timeout, this, [this] {
        if (!handshaking)
            return;
        tcpSocket->abort();
        sealedAttemptFailed();
        onTcpError();
    });
    connect(tcpSocket, &QSslSocket::connected, this, [this] {
        tcpReached = true;
        if (!tryingTls)
            onTcpConnected();
    });
    connect(tcpSocket, &QSslSocket::encrypted, this, &VLANClient::onControlEncrypted);
    connect(tcpSocket, &QSslSocket::errorOccurred, this, [this] { sealedAttemptFailed(); });
}

QString VLANClient::serverPinKey() const
{
    return pinning::settingsKey(lobby::formatEndpoint({serverAddress, serverPort}));
}

void VLANClient::connectControl(const QString& address)
{
    tcpReached = false;
    handshaking = false;
    const bool pinned = !settings.value(serverPinKey()).toString().isEmpty();
    // Without a TLS back-end (a package that lost its TLS plugin, say) a
    // sealed attempt fails before TCP connects: a server never seen sealed is
    // used plain, and one seen sealed is not used at all.
    if (!QSslSocket::supportsSsl()) {
        if (pinned) {
            showConnectionStatus(
                QStringLiteral("%1 was sealed before, and this installation cannot encrypt (its TLS "
                               "support is missing): not connecting without encryption — reinstall Pellora")
                    .arg(lobby::formatEndpoint({serverAddress, serverPort})));
            return;
        }
        if (!serverSpeaksPlain) {
            serverSpeaksPlain = true;
            showServerLine();
        }
    }
    // Plain only for a server that answered plain and was never seen sealed.
    tryingTls = !serverSpeaksPlain || pinned;
    if (!tryingTls) {
        tcpSocket->connectToHost(address, serverPort, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        return;
    }
    handshaking = true;
    // The name, when the server has one, goes along for the certificate (SNI).
    tcpSocket->connectToHostEncrypted(address, serverPort, QIODevice::ReadWrite,
                                      QAbstractSocket::AnyIPProtocol);
    handshakeTimer->start();
}

void VLANClient::sealedAttemptFailed()
{
    handshakeTimer->stop();
    // Unreachable is not the same as plain: only a server that took the
    // connection and then did not speak TLS is tried plain. Never one that
    // was sealed before (no downgrade).
    const bool tookConnection = handshaking && tcpReached;
    handshaking = false;
    if (!tookConnection)
        return;
    if (invitePinnedServer == serverPinKey()) {
        const QString server = lobby::formatEndpoint({serverAddress, serverPort});
        showConnectionStatus(
            QStringLiteral("%1 does not answer sealed, and its invite link asks for a sealed "
                           "connection; not connecting without encryption — retrying every 3 s")
                .arg(server));
        if (!std::exchange(inviteRefusalShown, true))
            QMetaObject::invokeMethod(
                this,
                [this, server] {
                    ui::showWarning(
                        this, QStringLiteral("Invite Link"),
                        QStringLiteral("%1 does not answer sealed (TLS), and its invite link asks "
                                       "for a sealed connection. Pellora will not connect to it "
                                       "without encryption.")
                            .arg(server));
                },
                Qt::QueuedConnection);
        return;
    }
    if (!settings.value(serverPinKey()).toString().isEmpty()) {
        showConnectionStatus(
            QStringLiteral("%1 was sealed before and now does not answer sealed; not connecting "
                           "without encryption — retrying every 3 s")
                .arg(lobby::formatEndpoint({serverAddress, serverPort})));
        return;
    }
    serverSpeaksPlain = true;
    showServerLine();
    QTimer::singleShot(0, this, &VLANClient::attemptReconnect);
}

void VLANClient::onControlEncrypted()
{
    handshakeTimer->stop();
    handshaking = false;
    const QString seen = pinning::fingerprint(tcpSocket->peerCertificate());
    const QString pinned = settings.value(serverPinKey()).toString();
    switch (pinning::compare(pinned, seen)) {
    case pinning::Verdict::FirstUse:
        settings.setValue(serverPinKey(), seen);
        break;
    case pinning::Verdict::Same:
        break;
    case pinning::Verdict::Changed: {
        // Nothing (no name, no client id) goes to a server that shows another key.
        keyRefused = true;
        tcpSocket->abort();
        const QString server = lobby::formatEndpoint({serverAddress, serverPort});
        // The link's key was the player's only word on this server: nothing to ask about.
        if (invitePinnedServer == serverPinKey()) {
            pendingInviteRoom.clear();
            showConnectionStatus(
                QStringLiteral("%1 shows another key than its invite link names; not connected").arg(server));
            QMetaObject::invokeMethod(
                this,
                [this, server] {
                    ui::showWarning(this, QStringLiteral("Invite Link"),
                                    QStringLiteral("%1 shows another key than its invite link names, so "
                                                   "nothing was sent to it. The link may be mistyped or "
                                                   "forged: ask for a new one.")
                                        .arg(server));
                },
                Qt::QueuedConnection);
            return;
        }
        showConnectionStatus(QStringLiteral("The key of %1 changed; not connected").arg(server));
        // Asked once the socket is done reporting, so the next attempt starts clean.
        QMetaObject::invokeMethod(
            this,
            [this, server, pinned, seen] {
                if (!ui::acceptChangedKey(this, server, pinned, seen))
                    return;
                settings.setValue(serverPinKey(), seen);
                keyRefused = false;
                reconnectTimer->stop();
                attemptReconnect();
            },
            Qt::QueuedConnection);
        return;
    }
    }
    if (invitePinnedServer == serverPinKey())
        invitePinnedServer.clear(); // the link's key is the server's
    controlSealed = true;
    serverKey = seen;
    showServerLine();
    onTcpConnected();
}

void VLANClient::takeTunnelKey(const QJsonObject& message)
{
    QByteArray key =
        QByteArray::fromBase64(control::readString(message, field::tunnelKey).toLatin1());
    // Only a key that came over the sealed channel is worth anything.
    if (tcpSocket->isEncrypted() && key.size() == int(seal::kKeyBytes)) {
        tunnel->seal().setKey(reinterpret_cast<const std::uint8_t*>(key.constData()),
                              control::readString(message, field::tunnelIndex).toUInt(),
                              control::readString(message, field::tunnelPhase).toInt());
        // The relay knows the tunnel again only by a heartbeat under the new
        // key (after a server restart, say): one goes at once.
        sendUdpHeartbeats();
    } else if (message.value(field::cmd).toString() == cmd::loginOk)
        tunnel->seal().clear();
    seal::wipe(key.data(), static_cast<std::size_t>(key.size()));
}

void VLANClient::handleTunnelKey(const QJsonObject& message)
{
    takeTunnelKey(message);
}

QString VLANClient::sealingText() const
{
    if (controlSealed)
        return QStringLiteral("sealed");
    return serverSpeaksPlain ? QStringLiteral("not sealed") : QString();
}

void VLANClient::forgetServerSealing()
{
    serverSpeaksPlain = false;
    keyRefused = false;
    controlSealed = false;
    serverKey.clear();
}
