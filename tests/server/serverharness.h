// Real sockets against an in-process pellora-server on a loopback port.
// Waiting spins the event loop, so the server (same thread) keeps working.
#pragma once

#include "server/lobby/lobbyserver.h"

#include <QJsonObject>
#include <QTcpSocket>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace harness {

std::unique_ptr<LobbyServer> startServer(ServerConfig config = {});
ServerConfig testConfig(); // loopback, a free port, short timers
// Value of one counter in the server's stats line, -1 if absent.
qint64 statValue(const LobbyServer& server, const QString& name);
bool waitForStat(const LobbyServer& server, const QString& name, qint64 atLeast, int timeoutMs = 3000);
QJsonObject command(const QString& cmd, std::initializer_list<std::pair<QString, QString>> fields = {});

class ControlClient
{
public:
    explicit ControlClient(quint16 port, const QHostAddress& from = QHostAddress(QHostAddress::LocalHost));
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    void send(const QJsonObject& message);
    void sendRaw(const QByteArray& bytes);
    // The first unread message with this cmd (earlier messages of other
    // kinds stay unread); an empty object after the timeout.
    QJsonObject next(const QString& cmd, int timeoutMs = 3000);
    // Takes messages with this cmd until one satisfies `wanted`; returns it,
    // or the last one taken (empty if none) after the timeout.
    QJsonObject until(const QString& cmd, const std::function<bool(const QJsonObject&)>& wanted, int timeoutMs = 3000);
    bool quietOn(const QString& cmd, int ms = 300); // no message with this cmd within `ms`
    QString login(const QString& name);             // the client_id of login_ok, empty on failure
    QJsonObject createRoom(const QString& room, const QString& mode = QStringLiteral("public"), const QString& password = QString());
    QJsonObject joinRoom(const QString& room, const QString& password = QString());
    bool waitDisconnected(int timeoutMs = 3000);
    void forget() { inbox.clear(); }

    QTcpSocket socket;
    QList<QJsonObject> inbox;

private:
    QByteArray pending_;
};

class TunnelPeer
{
public:
    explicit TunnelPeer(quint16 relayPort, const QHostAddress& from = QHostAddress(QHostAddress::LocalHost));
    void heartbeat(const QString& clientId);
    void sendPlain(const QByteArray& plain); // scrambled, as one tunnel datagram
    void sendRaw(const QByteArray& bytes);
    QByteArray receive(int timeoutMs = 2000); // next datagram, unscrambled; empty after the timeout
    QByteArray receiveRaw(int timeoutMs = 2000);
    bool quiet(int ms = 300);
    quint16 localPort() const { return socket.localPort(); }

    QUdpSocket socket;
    QHostAddress relayAddress;
    quint16 relayPort;
};

quint32 ipv4(const char* text);
// An IPv4 packet of `length` bytes (header + filler) from `source` to `destination`.
QByteArray ipv4Packet(quint32 source, quint32 destination, int length, char fill = 'x');
QByteArray ethernetFrame(quint64 destination, quint64 source, int length, char fill = 'y');

} // namespace harness
