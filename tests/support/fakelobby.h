// A lobby server stand-in on loopback: records every line a client sends.
#pragma once

#include "protocol/controlcodec.h"
#include "server/lobby/tls.h"
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"
#include "tests/support/wait.h"

#include <QLabel>
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

// `message` as sent in adapter mode `n`.
inline QJsonObject layer(int n, QJsonObject message)
{
    message.insert(u"layer"_s, n);
    return message;
}
inline QJsonObject joinRoom(const QString& room, const QString& key)
{
    return control::message(u"join_room"_s, {{u"room_name"_s, room}, {u"password"_s, key}});
}

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
    // `port` 0 takes a free one.
    explicit FakeLobby(const tls::Identity& identity = tls::Identity(), quint16 port = 0)
        : sealed(!identity.isNull())
    {
        if (sealed)
            server.setConfiguration(tls::serverConfiguration(identity));
        server.listen(QHostAddress::LocalHost, port);
        openPort = server.serverPort();
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (auto* socket = static_cast<QSslSocket*>(server.nextPendingConnection())) {
                ++connections;
                client = socket;
                pending.clear();
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    if (socket != client)
                        return;
                    char first = 0;
                    if (!socket->isEncrypted() && socket->peek(&first, 1) == 1 &&
                        tls::opensHandshake(first)) {
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
    quint16 port() const { return openPort; } // also while closed
    QByteArray endpoint() const { return "127.0.0.1:" + QByteArray::number(port()); }
    bool waitForClient()
    {
        return testwait::until([this] {
            return client && client->state() == QAbstractSocket::ConnectedState &&
                   (!sealed || client->isEncrypted());
        });
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
    QJsonObject waitForCommand(const QString& cmd)
    {
        (void)testwait::until([&] { return count(cmd) > 0; });
        return last(cmd);
    }
    // How many lines came before a marker `c` sends now: TCP keeps their order,
    // so nothing `c` sent earlier can still be on its way.
    qsizetype settledCount(VLANClient& c)
    {
        P::sendControlMessage(c, control::message(u"marker"_s));
        (void)testwait::until([&] { return count(u"marker"_s) > 0; });
        received.removeAll(control::message(u"marker"_s));
        return received.size();
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
    quint16 openPort = 0;
};

// What each client test starts from (reset() in init()): a fresh fake lobby, no client, no settings.
struct ClientFixture
{
    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;
    QSettings settings{u"Zentho"_s, u"Launcher"_s};

    void reset()
    {
        client.reset();
        while (QGuiApplication::overrideCursor()) // a window gone under a resize cursor leaves it
            QGuiApplication::restoreOverrideCursor();
        settings.clear();
        lobby = std::make_unique<FakeLobby>();
    }
    void shown(const QByteArray& server = "127.0.0.1:1")
    {
        qputenv("PELLORA_SERVER", server);
        client = std::make_unique<VLANClient>();
        client->setGeometry(100, 100, 1080, 720);
        client->show();
        QVERIFY(QTest::qWaitForWindowExposed(client.get()));
    }
    bool loginPageShows(const QString& text)
    {
        return testwait::until([&] {
            const QList<QLabel*> labels = P::loginPage(*client)->findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == text; });
        });
    }
    // Shown, logged in as `name`, on the lobby page.
    bool loggedIn(const QString& name = u"Alice"_s)
    {
        shown(lobby->endpoint());
        if (!lobby->waitForClient())
            return false;
        P::nicknameInput(*client)->setText(name);
        P::connectButton(*client)->click();
        if (lobby->waitForCommand(u"login"_s).isEmpty())
            return false;
        lobby->send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        // The lobby is up once the first room list has been asked for.
        return !lobby->waitForCommand(u"get_rooms"_s).isEmpty() &&
               P::pageStack(*client)->currentWidget() == static_cast<QWidget*>(P::mainTabs(*client));
    }
    // No adapter without root: a join marks the layer-3 back-end running.
    bool joined(const QString& room = u"Alpha"_s, const QString& vip = u"10.8.0.2"_s)
    {
        P::pretendAdapterRuns(*client);
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, vip}, {u"room_name"_s, room}}));
        return testwait::until(
            [this] { return P::mainTabs(*client)->currentWidget() == P::roomPage(*client); });
    }
};

// The title and text of the next message box, answered with `button`.
struct NextBox
{
    QString title, text;
    QObject watch; // the wait ends with this
    // `whileOpen` runs before the answer.
    explicit NextBox(QMessageBox::StandardButton button = QMessageBox::Ok,
                     std::function<void()> whileOpen = {})
    {
        testenv::whenModal(
            [this, button, whileOpen](QWidget* widget) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                title = box->windowTitle();
                text = box->text();
                if (whileOpen)
                    whileOpen();
                box->button(button) ? box->button(button)->click() : box->accept();
            },
            5000, &watch);
    }
};
