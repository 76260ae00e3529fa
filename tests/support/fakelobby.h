// A lobby server stand-in on loopback: records every line a client sends.
#pragma once

#include "lobby/controlcodec.h"
#include "server/lobby/tls.h"
#include "tests/support/clientprobe.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QSslSocket>
#include <QTest>
#include <memory>
#include <utility>

using namespace Qt::StringLiterals;
using P = ClientProbe;

class FakeLobby : public QObject
{
public:
    QList<QJsonObject> received; // every line so far, parsed, in order
    int connections = 0;
    int handshakes = 0; // connections that opened with TLS
    const bool sealed;
    QSslSocket* client = nullptr; // the latest connection
    tls::Server server;
    // With an identity it speaks TLS to a client that opens with a handshake;
    // without, it hangs up on one, as a server that knows no TLS may.
    explicit FakeLobby(const tls::Identity& identity = tls::Identity()) : sealed(!identity.isNull())
    {
        if (sealed)
            server.setConfiguration(tls::serverConfiguration(identity));
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (auto* socket = static_cast<QSslSocket*>(server.nextPendingConnection())) {
                ++connections;
                client = socket;
                pending.clear();
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    if (socket != client)
                        return;
                    char first = 0;
                    if (!socket->isEncrypted() && socket->peek(&first, 1) == 1 && tls::opensHandshake(first)) {
                        ++handshakes;
                        sealed ? socket->startServerEncryption() : socket->abort();
                        return;
                    }
                    pending += socket->readAll();
                    for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
                        received.append(control::decodeLine(pending.left(end + 1)));
                });
            }
        });
    }
    quint16 port() const { return server.serverPort(); }
    QByteArray endpoint() const { return "127.0.0.1:" + QByteArray::number(port()); }
    bool waitForClient(int timeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [this] { return client && client->state() == QAbstractSocket::ConnectedState && (!sealed || client->isEncrypted()); },
            timeoutMs);
    }
    int count(const QString& cmd) const
    {
        return int(std::count_if(received.begin(), received.end(),
                                 [&](const QJsonObject& m) { return m.value(u"cmd").toString() == cmd; }));
    }
    QJsonObject last(const QString& cmd) const
    {
        for (auto it = received.crbegin(); it != received.crend(); ++it)
            if (it->value(u"cmd").toString() == cmd)
                return *it;
        return {};
    }
    QJsonObject waitForCommand(const QString& cmd, int timeoutMs = 5000)
    {
        (void)QTest::qWaitFor([&] { return count(cmd) > 0; }, timeoutMs);
        return last(cmd);
    }
    // How many lines came once queued traffic has arrived.
    qsizetype settledCount()
    {
        QTest::qWait(150);
        return received.size();
    }
    // A shown client logged in as `name`, on the lobby page; null on any failure.
    std::unique_ptr<VLANClient> loggedInClient(const QString& name)
    {
        qputenv("PELLORA_SERVER", endpoint());
        auto c = std::make_unique<VLANClient>();
        c->show();
        if (!waitForClient())
            return nullptr;
        P::nicknameInput(*c)->setText(name);
        P::connectButton(*c)->click();
        if (waitForCommand(u"login"_s).isEmpty())
            return nullptr;
        send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        // The lobby is up once the first room list has been asked for.
        if (waitForCommand(u"get_rooms"_s).isEmpty() ||
            P::pageStack(*c)->currentWidget() != static_cast<QWidget*>(P::mainTabs(*c)))
            return nullptr;
        return c;
    }
    void send(const QJsonObject& message) { sendRaw(control::encodeLine(message)); }
    void sendRaw(const QByteArray& bytes)
    {
        if (client)
            client->write(bytes);
    }
    void dropClient() { delete std::exchange(client, nullptr); } // closes the connection at once

private:
    QByteArray pending; // a line not yet complete
};
