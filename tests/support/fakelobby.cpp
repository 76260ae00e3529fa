#include "tests/support/fakelobby.h"

#include "lobby/controlcodec.h"

#include <QTest>

FakeLobby::FakeLobby()
{
    server.listen(QHostAddress::LocalHost, 0);
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            ++connections;
            client = socket;
            pending.clear();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                if (socket != client)
                    return;
                pending += socket->readAll();
                qsizetype newline;
                while ((newline = pending.indexOf('\n')) >= 0) {
                    const QByteArray line = pending.left(newline + 1);
                    pending.remove(0, newline + 1);
                    rawLines.append(line);
                    received.append(control::decodeLine(line));
                }
            });
        }
    });
}

QByteArray FakeLobby::endpoint() const
{
    return "127.0.0.1:" + QByteArray::number(port());
}

bool FakeLobby::waitForClient(int timeoutMs)
{
    return QTest::qWaitFor([this] { return client && client->state() == QAbstractSocket::ConnectedState; },
                           timeoutMs);
}

int FakeLobby::count(const QString& cmd) const
{
    int n = 0;
    for (const QJsonObject& m : received)
        n += m.value(QStringLiteral("cmd")).toString() == cmd;
    return n;
}

QJsonObject FakeLobby::waitForCommand(const QString& cmd, int timeoutMs)
{
    QJsonObject found;
    (void)QTest::qWaitFor(
        [&] {
            for (const QJsonObject& m : received)
                if (m.value(QStringLiteral("cmd")).toString() == cmd) {
                    found = m;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return found;
}

void FakeLobby::send(const QJsonObject& message)
{
    sendRaw(control::encodeLine(message));
}

void FakeLobby::sendRaw(const QByteArray& bytes)
{
    if (client) {
        client->write(bytes);
        client->flush();
    }
}

void FakeLobby::dropClient()
{
    if (client) {
        client->abort();
        client->deleteLater();
        client = nullptr;
    }
}
