#include "tests/server/serverharness.h"

#include "lobby/controlcodec.h"
#include "net/scramble.h"
#include "server/serverlog.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QTest>

namespace harness {

ServerConfig testConfig()
{
    ServerConfig config;
    config.listen = QHostAddress(QHostAddress::LocalHost);
    config.port = 0;
    config.sessionGraceMs = 1500;
    config.statsIntervalMs = 0;
    return config;
}

std::unique_ptr<LobbyServer> startServer(ServerConfig config)
{
    serverlog::setLevel(serverlog::Level::Warn);
    auto server = std::make_unique<LobbyServer>(config);
    QString error;
    if (server->start(&error))
        return server;
    qWarning("server did not start: %s", qPrintable(error));
    return nullptr;
}

qint64 statValue(const LobbyServer& server, const QString& name)
{
    const auto match = QRegularExpression(QStringLiteral("\\b%1=(\\d+)").arg(name)).match(server.statsLine());
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

bool waitForStat(const LobbyServer& server, const QString& name, qint64 atLeast, int timeoutMs)
{
    return QTest::qWaitFor([&] { return statValue(server, name) >= atLeast; }, timeoutMs);
}

QJsonObject command(const QString& cmd, std::initializer_list<std::pair<QString, QString>> fields) { return control::message(cmd, fields); }

ControlClient::ControlClient(quint16 port, const QHostAddress& from)
{
    if (from != QHostAddress(QHostAddress::LocalHost))
        socket.bind(from);
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
        pending_.append(socket.readAll());
        for (qsizetype end; (end = pending_.indexOf('\n')) >= 0; pending_.remove(0, end + 1)) {
            const QJsonDocument document = QJsonDocument::fromJson(pending_.left(end));
            if (!document.isObject())
                qWarning("server sent a line that is not a JSON object");
            inbox.append(document.object());
        }
    });
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    if (!QTest::qWaitFor([this] { return isConnected(); }, 3000))
        qWarning("control connection did not come up");
}

void ControlClient::send(const QJsonObject& message) { sendRaw(control::encodeLine(message)); }

void ControlClient::sendRaw(const QByteArray& bytes) { socket.write(bytes), socket.flush(); }

QJsonObject ControlClient::next(const QString& cmd, int timeoutMs)
{
    QJsonObject found;
    const auto take = [&] {
        for (qsizetype i = 0; i < inbox.size(); ++i)
            if (inbox.at(i).value(QStringLiteral("cmd")).toString() == cmd)
                return found = inbox.takeAt(i), true;
        return false;
    };
    return take() || QTest::qWaitFor(take, timeoutMs) ? found : QJsonObject();
}

QJsonObject ControlClient::until(const QString& cmd, const std::function<bool(const QJsonObject&)>& wanted, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QJsonObject last;
    for (QJsonObject m; clock.elapsed() < timeoutMs && !(m = next(cmd, int(qMax<qint64>(1, timeoutMs - clock.elapsed())))).isEmpty();)
        if (wanted(last = m))
            break;
    return last;
}

bool ControlClient::quietOn(const QString& cmd, int ms)
{
    return QTest::qWait(ms), std::none_of(inbox.cbegin(), inbox.cend(), [&](const QJsonObject& m) { return m.value(QStringLiteral("cmd")) == cmd; });
}

QString ControlClient::login(const QString& name)
{
    send(command(QStringLiteral("login"), {{QStringLiteral("username"), name}}));
    return next(QStringLiteral("login_ok")).value(QStringLiteral("client_id")).toString();
}

QJsonObject ControlClient::createRoom(const QString& room, const QString& mode, const QString& password)
{
    send(command(QStringLiteral("create_room"), {{QStringLiteral("room_name"), room}, {QStringLiteral("privacy_mode"), mode}, {QStringLiteral("password"), password}}));
    return next(QStringLiteral("join_ok"));
}

QJsonObject ControlClient::joinRoom(const QString& room, const QString& password)
{
    send(command(QStringLiteral("join_room"), {{QStringLiteral("room_name"), room}, {QStringLiteral("password"), password}}));
    return next(QStringLiteral("join_ok"));
}

bool ControlClient::waitDisconnected(int ms) { return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms); }

TunnelPeer::TunnelPeer(quint16 port, const QHostAddress& from) : relayAddress(QHostAddress::LocalHost), relayPort(port) { socket.bind(from, 0); }
void TunnelPeer::heartbeat(const QString& id) { sendRaw(QJsonDocument(QJsonObject{{QStringLiteral("client_id"), id}}).toJson(QJsonDocument::Compact)); }
void TunnelPeer::sendPlain(const QByteArray& plain) { sendRaw(tunnel::scramblePayload(plain)); }
void TunnelPeer::sendRaw(const QByteArray& bytes) { socket.writeDatagram(bytes, relayAddress, relayPort); }
QByteArray TunnelPeer::receive(int timeoutMs) { return tunnel::scramblePayload(receiveRaw(timeoutMs)); }

QByteArray TunnelPeer::receiveRaw(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return socket.hasPendingDatagrams(); }, timeoutMs))
        return {};
    const QNetworkDatagram datagram = socket.receiveDatagram();
    // Everything a peer receives must come from the relay's own address and port.
    if (datagram.senderPort() != relayPort || !datagram.senderAddress().isEqual(relayAddress, QHostAddress::TolerantConversion))
        qWarning("datagram from an unexpected source");
    return datagram.data();
}

bool TunnelPeer::quiet(int ms) { return QTest::qWait(ms), !socket.hasPendingDatagrams(); }

quint32 ipv4(const char* text) { return QHostAddress(QString::fromLatin1(text)).toIPv4Address(); }

// Writes the low `bytes` bytes of `value` big-endian at `at`.
static void put(QByteArray& out, int at, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[at + i] = static_cast<char>((value >> (8 * (bytes - 1 - i))) & 0xFF);
}

QByteArray ipv4Packet(quint32 source, quint32 destination, int length, char fill)
{
    QByteArray packet(qMax(length, 20), fill);
    put(packet, 0, 0x4500, 2);
    put(packet, 2, static_cast<quint64>(length), 2);
    put(packet, 8, 0x4011, 2); // TTL 64, UDP
    put(packet, 12, source, 4);
    put(packet, 16, destination, 4);
    return packet;
}

QByteArray ethernetFrame(quint64 destination, quint64 source, int length, char fill)
{
    QByteArray frame(qMax(length, 14), fill);
    put(frame, 0, destination, 6);
    put(frame, 6, source, 6);
    put(frame, 12, 0x0806, 2);
    return frame;
}

} // namespace harness
