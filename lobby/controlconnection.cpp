#include "lobby/controlconnection.h"

#include "lobby/pinning.h"
#include "protocol/controlcodec.h"

#include <QHostInfo>
#include <QSettings>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

namespace lobby {

ControlConnection::ControlConnection(QSettings& settings, const ServerEndpoint& server, QObject* parent)
    : QObject(parent), settings(settings), server_(server)
{
    tcpSocket = new QSslSocket(this);
    QSslConfiguration configuration = tcpSocket->sslConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    // The key is checked against the pin, not against certificate authorities:
    // most servers carry the certificate they made themselves.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    tcpSocket->setSslConfiguration(configuration);
    reconnectTimer = new QTimer(this);
    reconnectTimer->setInterval(timing.retryMs);
    handshakeTimer = new QTimer(this);
    handshakeTimer->setSingleShot(true);
    handshakeTimer->setInterval(timing.handshakeMs);
    connect(reconnectTimer, &QTimer::timeout, this, &ControlConnection::attemptReconnect);
    connect(handshakeTimer, &QTimer::timeout, this, &ControlConnection::handshakeTimedOut);
    connect(tcpSocket, &QSslSocket::connected, this, &ControlConnection::onConnected);
    connect(tcpSocket, &QSslSocket::encrypted, this, &ControlConnection::onEncrypted);
    // The one handler of a failure: which word is the last one is decided here, not by signal order.
    connect(tcpSocket, &QSslSocket::errorOccurred, this, &ControlConnection::onError);
    connect(tcpSocket, &QAbstractSocket::stateChanged, this,
            [this](QAbstractSocket::SocketState socketState) {
                // A retry keeps saying that the server cannot be reached until it can.
                if (socketState == QAbstractSocket::ConnectingState && !reconnectTimer->isActive())
                    emit statusChanged(QStringLiteral("Connecting to %1…").arg(describe()));
                else if (socketState == QAbstractSocket::ConnectedState)
                    emit statusChanged(QStringLiteral("Connected to %1").arg(describe()));
            });
    speaksPlain_ = plainRemembered();
}

// The socket outlives nothing of ours, but still reports its closing while it goes.
ControlConnection::~ControlConnection()
{
    disconnect(tcpSocket, nullptr, this, nullptr);
    if (lookupId >= 0)
        QHostInfo::abortHostLookup(lookupId);
}

void ControlConnection::setTiming(Timing newTiming)
{
    timing = std::move(newTiming);
    reconnectTimer->setInterval(timing.retryMs);
    handshakeTimer->setInterval(timing.handshakeMs);
    speaksPlain_ = plainRemembered();
}

void ControlConnection::setState(State state)
{
    if (std::exchange(state_, state) != state)
        emit stateChanged(state);
}

void ControlConnection::attemptReconnect()
{
    if (tcpSocket->state() != QAbstractSocket::UnconnectedState || lookupId >= 0 ||
        state_ == State::KeyRefused)
        return;
    if (isNumericAddress(server_.address)) {
        connectTo(server_.address);
        return;
    }
    // A name is looked up before every attempt, so a server that moved host is
    // found again; the lookup runs off the window's thread.
    if (!reconnectTimer->isActive())
        emit statusChanged(QStringLiteral("Looking up %1…").arg(server_.address));
    setState(State::LookingUp);
    lookupId = QHostInfo::lookupHost(server_.address, this, &ControlConnection::lookedUp);
}

void ControlConnection::lookedUp(const QHostInfo& info)
{
    if (info.lookupId() != lookupId)
        return; // asked for a server that has since been changed
    lookupId = -1;
    untriedAddresses = info.addresses();
    if (info.error() != QHostInfo::NoError || untriedAddresses.isEmpty()) {
        goDown(QStringLiteral("Cannot find %1: the name does not resolve — check it, retrying every 3 s")
                   .arg(server_.address));
        return;
    }
    connectToNextAddress();
}

// The addresses of a name are tried in the resolver's order; the one that
// answers carries the control channel and, from then on, the relay.
bool ControlConnection::connectToNextAddress()
{
    if (untriedAddresses.isEmpty())
        return false;
    const QString next = untriedAddresses.takeFirst().toString();
    if (next != reachedAddress_) {
        reachedAddress_ = next;
        emit addressReached(next);
        emit serverLineChanged();
    }
    connectTo(reachedAddress_);
    return true;
}

QString ControlConnection::relayAddress() const
{
    return isNumericAddress(server_.address) ? server_.address : reachedAddress_;
}

QString ControlConnection::describe() const
{
    return describeEndpoint(server_, reachedAddress_);
}

void ControlConnection::connectTo(const QString& address)
{
    const bool pinnedServer = !pinned().isEmpty();
    // Without a TLS back-end (a package that lost its TLS plugin, say) a
    // sealed attempt fails before TCP connects: a server never seen sealed is
    // used plain, and one seen sealed is not used at all.
    if (!QSslSocket::supportsSsl()) {
        if (pinnedServer) {
            setState(State::Down);
            emit statusChanged(
                QStringLiteral("%1 was sealed before, and this installation cannot encrypt (its TLS "
                               "support is missing): not connecting without encryption — reinstall Pellora")
                    .arg(formatEndpoint(server_)));
            return;
        }
        if (!std::exchange(speaksPlain_, true))
            emit serverLineChanged();
    }
    // Plain only for a server that answered plain and was never seen sealed.
    tryingTls = !speaksPlain_ || pinnedServer;
    setState(State::Connecting);
    if (!tryingTls) {
        tcpSocket->connectToHost(address, server_.port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        return;
    }
    // The name, when the server has one, goes along for the certificate (SNI).
    tcpSocket->connectToHostEncrypted(address, server_.port, QIODevice::ReadWrite,
                                      QAbstractSocket::AnyIPProtocol);
    handshakeTimer->start();
}

void ControlConnection::onConnected()
{
    if (tryingTls) {
        setState(State::Handshaking);
        return;
    }
    untriedAddresses.clear();
    reconnectTimer->stop();
    setState(State::Up);
    emit connected();
}

void ControlConnection::onEncrypted()
{
    handshakeTimer->stop();
    const QString seen = pinning::fingerprint(tcpSocket->peerCertificate());
    const QString known = pinned();
    switch (pinning::compare(known, seen)) {
    case pinning::Verdict::FirstUse:
        settings.setValue(pinKey(), seen);
        break;
    case pinning::Verdict::Same:
        break;
    case pinning::Verdict::Changed: {
        // Nothing (no name, no client id) goes to a server that shows another key.
        const QString server = formatEndpoint(server_);
        // The link's key was the player's only word on this server: nothing to ask about.
        if (invitePinned == pinKey()) {
            refuse(
                QStringLiteral("%1 shows another key than its invite link names; not connected").arg(server));
            emit inviteKeyRefused(server);
            return;
        }
        refuse(QStringLiteral("The key of %1 changed; not connected").arg(server));
        emit keyChanged(server, known, seen);
        return;
    }
    }
    if (invitePinned == pinKey())
        invitePinned.clear(); // the link's key is the server's
    rememberPlain(false);
    sealed_ = true;
    speaksPlain_ = false;
    serverKey_ = seen;
    untriedAddresses.clear();
    reconnectTimer->stop();
    emit serverLineChanged();
    setState(State::Up);
    emit connected();
}

void ControlConnection::refuse(const QString& status)
{
    untriedAddresses.clear();
    reconnectTimer->stop();
    setState(State::KeyRefused);
    tcpSocket->abort();
    emit statusChanged(status);
}

void ControlConnection::acceptChangedKey(const QString& seen)
{
    settings.setValue(pinKey(), seen);
    retry();
}

void ControlConnection::retry()
{
    if (state_ != State::KeyRefused)
        return;
    setState(State::Down);
    attemptReconnect();
}

void ControlConnection::onError()
{
    // A refused key aborts the socket, which may still report it.
    if (state_ == State::KeyRefused)
        return;
    attemptFailed();
}

void ControlConnection::handshakeTimedOut()
{
    if (state_ != State::Connecting && state_ != State::Handshaking)
        return;
    tcpSocket->abort();
    attemptFailed();
}

void ControlConnection::attemptFailed()
{
    handshakeTimer->stop();
    // Unreachable is not the same as plain: only a server that took the
    // connection and then did not speak TLS (hung up, or kept silent) is
    // tried plain. Never one that was sealed before (no downgrade).
    const bool notSealed = state_ == State::Handshaking;
    if (notSealed) {
        const QString server = formatEndpoint(server_);
        if (invitePinned == pinKey()) {
            goDown(QStringLiteral("%1 does not answer sealed, and its invite link asks for a sealed "
                                  "connection; not connecting without encryption — retrying every 3 s")
                       .arg(server));
            if (!std::exchange(inviteRefusalTold, true))
                emit inviteNotSealed(server);
            return;
        }
        if (!pinned().isEmpty()) {
            goDown(QStringLiteral("%1 was sealed before and now does not answer sealed; not connecting "
                                  "without encryption — retrying every 3 s")
                       .arg(server));
            return;
        }
        speaksPlain_ = true;
        rememberPlain(true);
        emit serverLineChanged();
        setState(State::Down);
        // Plain at once, once the socket has finished reporting this failure.
        QTimer::singleShot(0, this, &ControlConnection::attemptReconnect);
        return;
    }
    if (!untriedAddresses.isEmpty()) {
        // The server's name has more addresses: the next one, once the socket
        // has finished reporting this failure.
        setState(State::Down);
        QTimer::singleShot(0, this, [this] {
            if (tcpSocket->state() == QAbstractSocket::UnconnectedState && !connectToNextAddress())
                goDown(QStringLiteral("Cannot reach %1 — retrying every 3 s").arg(describe()));
        });
        return;
    }
    goDown(QStringLiteral("Cannot reach %1 — retrying every 3 s").arg(describe()));
}

void ControlConnection::goDown(const QString& status)
{
    untriedAddresses.clear();
    reconnectTimer->start();
    setState(State::Down);
    emit statusChanged(status);
    emit lost();
}

bool ControlConnection::isUp() const
{
    return state_ == State::Up && tcpSocket->state() == QAbstractSocket::ConnectedState;
}

bool ControlConnection::isEncrypted() const
{
    return tcpSocket->isEncrypted();
}

void ControlConnection::send(const QJsonObject& message)
{
    // Not before the key is checked: a socket under handshake would keep the line for whoever answers.
    if (state_ != State::Up)
        return;
    tcpSocket->write(control::encodeLine(message));
}

void ControlConnection::readMessages()
{
    // A receiver may end the channel (a server switch): the socket is asked anew for each line.
    while (tcpSocket->canReadLine())
        emit messageReceived(control::decodeLine(tcpSocket->readLine()));
    // A server that never ends its line would make us buffer without bound.
    if (tcpSocket->bytesAvailable() > control::kClientMaxPendingLine) {
        tcpSocket->abort();
        attemptFailed();
    }
}

void ControlConnection::setServer(const ServerEndpoint& server, const QString& inviteKey)
{
    server_ = server;
    pinFromInvite(inviteKey);
    restart();
}

void ControlConnection::restart()
{
    if (lookupId >= 0)
        QHostInfo::abortHostLookup(lookupId);
    lookupId = -1;
    untriedAddresses.clear();
    reachedAddress_.clear();
    forgetSealing();
    emit addressReached(QString());
    emit serverLineChanged();
    tcpSocket->abort();
    reconnectTimer->stop();
    setState(State::Down);
    attemptReconnect();
}

QString ControlConnection::sealingText() const
{
    if (sealed_)
        return QStringLiteral("sealed");
    return speaksPlain_ ? QStringLiteral("not sealed") : QString();
}

QString ControlConnection::pinKey() const
{
    return pinning::settingsKey(formatEndpoint(server_));
}

QString ControlConnection::pinned() const
{
    return settings.value(pinKey()).toString();
}

bool ControlConnection::pinFromInvite(const QString& key)
{
    if (key.isEmpty() || !pinned().isEmpty())
        return false;
    settings.setValue(pinKey(), key);
    invitePinned = pinKey();
    inviteRefusalTold = false;
    return true;
}

// A server that took a connection and did not speak TLS is remembered, so
// that the next start does not wait out the handshake again; a pinned one
// never is, and the mark lapses so that a server that learnt TLS gets sealed.
QString ControlConnection::plainKey() const
{
    return QStringLiteral("plain/") + formatEndpoint(server_);
}

bool ControlConnection::plainRemembered() const
{
    const QDateTime seen = settings.value(plainKey()).toDateTime();
    return seen.isValid() && pinned().isEmpty() && seen.addDays(timing.plainKeptDays) > timing.now();
}

void ControlConnection::rememberPlain(bool on)
{
    if (on)
        settings.setValue(plainKey(), timing.now());
    else
        settings.remove(plainKey());
}

void ControlConnection::forgetSealing()
{
    speaksPlain_ = plainRemembered();
    sealed_ = false;
    serverKey_.clear();
}

} // namespace lobby
