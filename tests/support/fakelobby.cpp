#include "tests/support/fakelobby.h"

#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
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

QJsonObject FakeLobby::last(const QString& cmd) const
{
    for (auto it = received.crbegin(); it != received.crend(); ++it)
        if (it->value(QStringLiteral("cmd")).toString() == cmd)
            return *it;
    return {};
}

qsizetype FakeLobby::settledCount()
{
    QTest::qWait(150);
    return received.size();
}

std::unique_ptr<VLANClient> FakeLobby::loggedInClient(const QString& name)
{
    qputenv("PELLORA_SERVER", endpoint());
    auto c = std::make_unique<VLANClient>();
    c->show();
    if (!waitForClient())
        return nullptr;
    ClientProbe::nicknameInput(*c)->setText(name);
    ClientProbe::connectButton(*c)->click();
    if (waitForCommand(QStringLiteral("login")).isEmpty())
        return nullptr;
    send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
    // The lobby is up once the first room list has been asked for.
    if (waitForCommand(QStringLiteral("get_rooms")).isEmpty() ||
        ClientProbe::pageStack(*c)->currentWidget() != static_cast<QWidget*>(ClientProbe::mainTabs(*c)))
        return nullptr;
    return c;
}

QJsonObject FakeLobby::waitForCommand(const QString& cmd, int timeoutMs)
{
    (void)QTest::qWaitFor([&] { return count(cmd) > 0; }, timeoutMs);
    for (const QJsonObject& m : received)
        if (m.value(QStringLiteral("cmd")).toString() == cmd)
            return m;
    return {};
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
