// Real sockets against an in-process pellora-server on loopback. Waiting spins
// the event loop, so the server (same thread) keeps working.
#pragma once

#include "protocol/controlcodec.h"
#include "net/scramble.h"
#include "server/lobbyserver.h"
#include "server/serverlog.h"
#include "tests/support/wait.h"

#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTest>
#include <QUdpSocket>
#include <functional>
#include <memory>

namespace harness {
inline ServerConfig testConfig() // loopback, a free port, short timers
{
    ServerConfig config;
    config.listen = QHostAddress(QHostAddress::LocalHost);
    config.port = 0;
    config.sessionGraceMs = 1500;
    config.statsIntervalMs = 0;
    return config;
}

inline std::unique_ptr<LobbyServer> startServer(ServerConfig config = testConfig(),
                                                Lobby::Clock clock = monotonicMs)
{
    serverlog::setLevel(serverlog::Level::Warn);
    auto server = std::make_unique<LobbyServer>(config, std::move(clock));
    QString error;
    return server->start(&error) ? std::move(server) : nullptr;
}

class ControlClient
{
public:
    // Over TLS when `sealed` (any certificate: these tests pin nothing).
    explicit ControlClient(quint16 port, const QHostAddress& from = QHostAddress(QHostAddress::LocalHost),
                           bool sealed = false)
    {
        socket.bind(from);
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            pending.append(socket.readAll());
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
                inbox.append(QJsonDocument::fromJson(pending.left(end)).object());
        });
        if (sealed) {
            socket.setPeerVerifyMode(QSslSocket::VerifyNone);
            socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            // Not waitForEncrypted(): the server answers on this very thread.
            (void)testwait::until([this] { return socket.isEncrypted() || closed(); }, 5000);
        } else {
            const bool v6 = from.protocol() == QAbstractSocket::IPv6Protocol;
            socket.connectToHost(QHostAddress(v6 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost),
                                 port);
            socket.waitForConnected(3000);
        }
    }
    void send(const QString& cmd, std::initializer_list<std::pair<QString, QString>> fields = {})
    {
        sendRaw(control::encodeLine(control::message(cmd, fields)));
    }
    void sendRaw(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    // The first unread message with this cmd (others stay unread); empty after the timeout.
    QJsonObject next(const QString& cmd, int timeoutMs = 3000)
    {
        const auto first = [&] {
            return std::find_if(inbox.begin(), inbox.end(), [&](auto& m) { return m.value("cmd") == cmd; });
        };
        if (!testwait::until([&] { return first() != inbox.end(); }, timeoutMs))
            return {};
        return inbox.takeAt(first() - inbox.begin());
    }
    // Takes `cmd` messages until one satisfies `wanted`; returns the last one taken.
    QJsonObject until(const QString& cmd, const std::function<bool(const QJsonObject&)>& wanted)
    {
        QJsonObject last;
        for (QJsonObject m; !(m = next(cmd)).isEmpty() && !wanted(last = m);) {
        }
        return last;
    }
    // Sends a line answered at once and waits for its answer, which comes after all that this connection's
    // earlier lines (and others' already answered) caused: false if a `cmd` came first. With `server`, the
    // same once more after its next tick, whose lines go out before the answers to later ones.
    bool quietOn(const QString& cmd = {}, const LobbyServer* server = nullptr)
    {
        send("private_message", {{"target", ""}, {"message", "?"}});
        const auto probe = [](const QJsonObject& m) { return m.value("message") == " is not online."; };
        if (!testwait::until([&] { return std::any_of(inbox.cbegin(), inbox.cend(), probe); }))
            return false;
        const auto answer = std::find_if(inbox.begin(), inbox.end(), probe);
        const bool quiet =
            std::none_of(inbox.begin(), answer, [&](auto& m) { return m.value("cmd") == cmd; });
        inbox.erase(answer);
        const quint64 ticks = server ? server->ticks() : 0;
        return quiet &&
               (!server || (testwait::until([&] { return server->ticks() > ticks; }) && quietOn(cmd)));
    }
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
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    bool waitDisconnected(int ms = 3000) { return testwait::until([this] { return closed(); }, ms); }
    QSslSocket socket; // plain unless encryption was started
    QList<QJsonObject> inbox;
    QByteArray pending;
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
    void sendPlain(const QByteArray& plain) { sendRaw(tunnel::scramblePayload(plain)); }
    void sendRaw(const QByteArray& bytes) { socket.writeDatagram(bytes, relayAddress, relayPort); }
    // The next datagram from the relay's own address and port, unscrambled; empty after the timeout.
    QByteArray receive(int timeoutMs = 2000)
    {
        if (!testwait::until([this] { return socket.hasPendingDatagrams(); }, timeoutMs))
            return {};
        const QNetworkDatagram datagram = socket.receiveDatagram();
        // A client discards what does not come from where it sent to.
        if (datagram.senderPort() != relayPort ||
            !datagram.senderAddress().isEqual(relayAddress, QHostAddress::TolerantConversion))
            return "from an unexpected source";
        return tunnel::scramblePayload(datagram.data());
    }
    // Nothing from the relay: sound once what it sent later (to anyone) or its counters show it is past.
    bool quiet() { return !socket.hasPendingDatagrams(); }
    QUdpSocket socket;
    QHostAddress relayAddress{QHostAddress::LocalHost};
    quint16 relayPort;
};

// A server started by the test, read through its stats line.
struct ServerFixture
{
    std::unique_ptr<LobbyServer> server;
    qint64 stat(const char* name) const // -1 if absent
    {
        const auto match = QRegularExpression("\\b" + QString(name) + "=(\\d+)").match(server->statsLine());
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
    }
    bool waitForStat(const char* name, qint64 atLeast)
    {
        return testwait::until([&] { return stat(name) >= atLeast; }, 3000);
    }
};

inline quint32 ipv4(const char* text)
{
    return QHostAddress(QString::fromLatin1(text)).toIPv4Address();
}

inline QByteArray bigEndian(quint64 value, int bytes)
{
    QByteArray out(bytes, 0);
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
    return out;
}

// An IPv4/UDP packet of `length` bytes from `source` to `destination`.
inline QByteArray ipv4Packet(const char* source, const char* destination, int length = 80)
{
    return QByteArray::fromHex("4500") + bigEndian(length, 2) + QByteArray::fromHex("000000004011") +
           QByteArray(2, 0) + bigEndian(ipv4(source), 4) + bigEndian(ipv4(destination), 4) +
           QByteArray(qMax(length, 20) - 20, 'x');
}
} // namespace harness
