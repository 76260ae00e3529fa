#include "tests/server/serverharness.h"

#include "lobby/controlcodec.h"
#include "net/scramble.h"
#include "server/serverlog.h"

#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QRegularExpression>

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
    return server->start(&error) ? std::move(server) : nullptr;
}

qint64 statValue(const LobbyServer& server, const QString& name)
{
    const auto match = QRegularExpression("\\b" + name + "=(\\d+)").match(server.statsLine());
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

bool waitForStat(const LobbyServer& server, const QString& name, qint64 atLeast, int timeoutMs)
{
    return QTest::qWaitFor([&] { return statValue(server, name) >= atLeast; }, timeoutMs);
}

ControlClient::ControlClient(quint16 port, const QHostAddress& from)
{
    socket.bind(from);
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
        pending_.append(socket.readAll());
        for (qsizetype end; (end = pending_.indexOf('\n')) >= 0; pending_.remove(0, end + 1))
            inbox.append(QJsonDocument::fromJson(pending_.left(end)).object());
    });
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    socket.waitForConnected(3000);
}

void ControlClient::send(const QString& cmd, Fields fields)
{
    sendRaw(control::encodeLine(control::message(cmd, fields)));
}

QJsonObject ControlClient::next(const QString& cmd, int timeoutMs)
{
    QJsonObject found;
    const auto take = [&] {
        for (qsizetype i = 0; i < inbox.size(); ++i) {
            if (inbox.at(i).value("cmd").toString() == cmd) {
                found = inbox.takeAt(i);
                return true;
            }
        }
        return false;
    };
    return take() || QTest::qWaitFor(take, timeoutMs) ? found : QJsonObject();
}

QJsonObject ControlClient::until(const QString& cmd, const std::function<bool(const QJsonObject&)>& wanted)
{
    QJsonObject last;
    for (QJsonObject m; !(m = next(cmd)).isEmpty() && !wanted(last = m);) {
    }
    return last;
}

bool ControlClient::quietOn(const QString& cmd, int ms)
{
    QTest::qWait(ms);
    return std::none_of(inbox.cbegin(), inbox.cend(),
                        [&](const QJsonObject& m) { return m.value("cmd") == cmd; });
}

void TunnelPeer::sendPlain(const QByteArray& plain)
{
    sendRaw(tunnel::scramblePayload(plain));
}

QByteArray TunnelPeer::receive(int timeoutMs)
{
    if (!QTest::qWaitFor([this] { return socket.hasPendingDatagrams(); }, timeoutMs))
        return {};
    const QNetworkDatagram datagram = socket.receiveDatagram();
    // A client discards what does not come from where it sent to.
    if (datagram.senderPort() != relayPort ||
        !datagram.senderAddress().isEqual(relayAddress, QHostAddress::TolerantConversion))
        return "from an unexpected source";
    return tunnel::scramblePayload(datagram.data());
}

bool TunnelPeer::quiet(int ms)
{
    QTest::qWait(ms);
    return !socket.hasPendingDatagrams();
}

quint32 ipv4(const char* text)
{
    return QHostAddress(QString::fromLatin1(text)).toIPv4Address();
}

QByteArray bigEndian(quint64 value, int bytes)
{
    QByteArray out(bytes, 0);
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
    return out;
}

QByteArray ipv4Packet(const char* source, const char* destination, int length)
{
    return QByteArray::fromHex("4500") + bigEndian(length, 2) + QByteArray::fromHex("000000004011") +
           QByteArray(2, 0) + bigEndian(ipv4(source), 4) + bigEndian(ipv4(destination), 4) +
           QByteArray(qMax(length, 20) - 20, 'x');
}

} // namespace harness
