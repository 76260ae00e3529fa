// Real sockets against an in-process pellora-server on loopback. Waiting spins
// the event loop, so the server (same thread) keeps working.
#pragma once

#include "server/lobby/lobbyserver.h"

#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <functional>
#include <memory>

namespace harness {

using Fields = std::initializer_list<std::pair<QString, QString>>;

ServerConfig testConfig(); // loopback, a free port, short timers
std::unique_ptr<LobbyServer> startServer(ServerConfig config = testConfig());
qint64 statValue(const LobbyServer& server, const QString& name); // -1 if absent
bool waitForStat(const LobbyServer& server, const QString& name, qint64 atLeast, int timeoutMs = 3000);

class ControlClient
{
public:
    explicit ControlClient(quint16 port, const QHostAddress& from = QHostAddress(QHostAddress::LocalHost));
    void send(const QString& cmd, Fields fields = {});
    void sendRaw(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    // The first unread message with this cmd (others stay unread); empty after the timeout.
    QJsonObject next(const QString& cmd, int timeoutMs = 3000);
    // Takes `cmd` messages until one satisfies `wanted`; returns the last one taken.
    QJsonObject until(const QString& cmd, const std::function<bool(const QJsonObject&)>& wanted);
    bool quietOn(const QString& cmd, int ms = 300);
    QString login(const QString& name, const QString& id = {}) // the client_id of login_ok
    {
        send("login", {{"username", name}, {"client_id", id}});
        return next("login_ok").value("client_id").toString();
    }
    QJsonObject createRoom(const QString& room, const QString& mode = "public", const QString& key = {})
    {
        send("create_room", {{"room_name", room}, {"privacy_mode", mode}, {"password", key}});
        return next("join_ok");
    }
    QJsonObject joinRoom(const QString& room, const QString& key = {})
    {
        send("join_room", {{"room_name", room}, {"password", key}});
        return next("join_ok");
    }
    bool waitDisconnected(int ms = 3000)
    {
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }

    QTcpSocket socket;
    QList<QJsonObject> inbox;

private:
    QByteArray pending_;
};

class TunnelPeer
{
public:
    explicit TunnelPeer(quint16 port, const QHostAddress& from = QHostAddress(QHostAddress::LocalHost))
        : relayPort(port)
    {
        socket.bind(from, 0);
    }
    void heartbeat(const QString& id) { sendRaw(R"({"client_id":")" + id.toLatin1() + "\"}"); }
    void sendPlain(const QByteArray& plain);
    void sendRaw(const QByteArray& bytes) { socket.writeDatagram(bytes, relayAddress, relayPort); }
    // The next datagram from the relay's own address and port, unscrambled; empty after the timeout.
    QByteArray receive(int timeoutMs = 2000);
    bool quiet(int ms = 300);

    QUdpSocket socket;
    QHostAddress relayAddress{QHostAddress::LocalHost};
    quint16 relayPort;
};

quint32 ipv4(const char* text);
QByteArray bigEndian(quint64 value, int bytes);
// An IPv4/UDP packet of `length` bytes from `source` to `destination`.
QByteArray ipv4Packet(const char* source, const char* destination, int length = 80);

} // namespace harness
