// One real client driven through its widgets by commands on stdin (see run()), one JSON line answered per
// command; "modals off" lets an idle client be measured without the 30 ms poll. --send ADDR PORT HEX only
// sends one datagram; --capture IFACE MS FILE only records every frame on IFACE for MS ms into FILE.
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"
#include "tests/support/wait.h"

#include <QComboBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTabWidget>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <QFile>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cstdio>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using P = ClientProbe;

namespace {

QJsonObject ok(QJsonObject fields = {})
{
    fields.insert(u"ok"_s, true);
    return fields;
}

QJsonObject fail(const QString& why)
{
    return {{u"ok"_s, false}, {u"error"_s, why}};
}

class Driver : public QObject
{
public:
    Driver()
    {
        client.show();
        // Sees each login_ok before the client reads it, so that a re-login after
        // a lost connection can be told from the first one.
        QTcpSocket* tcp = P::tcpSocket(client);
        disconnect(tcp, &QIODevice::readyRead, &client, nullptr);
        connect(tcp, &QAbstractSocket::connected, this, [this] { scanned = 0; });
        connect(P::tunnel(client)->heartbeatTimer(), &QTimer::timeout, this,
                [this] { ++heartbeats; }); // each one sent
        connect(tcp, &QIODevice::readyRead, this, [this, tcp] {
            const QByteArray buffered = tcp->peek(tcp->bytesAvailable());
            const qsizetype end = buffered.lastIndexOf('\n') + 1;
            for (const QByteArray& line : buffered.mid(scanned, end - scanned).split('\n')) {
                const QString cmd = QJsonDocument::fromJson(line).object().value(u"cmd"_s).toString();
                logins += cmd == u"login_ok"_s;
                joins += cmd == u"join_ok"_s;
            }
            QMetaObject::invokeMethod(&client, "onTcpReadyRead", Qt::DirectConnection);
            scanned = tcp->peek(tcp->bytesAvailable()).lastIndexOf('\n') + 1;
        });
        // Message boxes get OK, key prompts the key, the create dialog the room asked for.
        connect(&modalPoll, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
                return;
            }
            if (auto* prompt = qobject_cast<QInputDialog*>(modal)) {
                prompt->setTextValue(accessKey);
                prompt->accept();
                return;
            }
            auto* deploy = modal ? modal->findChild<QPushButton*>(u"createBtn"_s) : nullptr;
            if (!deploy)
                return;
            if (roomToCreate.isEmpty()) {
                qobject_cast<QDialog*>(modal)->reject();
                return;
            }
            modal->findChildren<QLineEdit*>().first()->setText(roomToCreate);
            if (!accessKey.isEmpty()) {
                modal->findChildren<QComboBox*>().last()->setCurrentText(u"Locked"_s);
                modal->findChildren<QLineEdit*>().last()->setText(accessKey);
            }
            roomToCreate.clear();
            deploy->click();
        });
        modalPoll.start(30);
        connect(&input, &QSocketNotifier::activated, this, [this] {
            char chunk[4096];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                input.setEnabled(false);
                QApplication::quit();
                return;
            }
            pending.append(chunk, static_cast<int>(n));
            for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
                const QString line = QString::fromUtf8(pending.left(end)).trimmed();
                if (line.isEmpty())
                    continue;
                const QByteArray answer = QJsonDocument(run(line.split(u' '))).toJson(QJsonDocument::Compact);
                std::fputs((answer + '\n').constData(), stdout);
                std::fflush(stdout);
            }
        });
    }

private:
    VLANClient client;
    QTimer modalPoll;
    QSocketNotifier input{STDIN_FILENO, QSocketNotifier::Read};
    QByteArray pending;
    int logins = 0;
    int joins = 0; // join_ok seen: the server confirmed a room
    int heartbeats = 0;
    QString accessKey; // for the create dialog and key prompts
    qsizetype scanned = 0;
    QString roomToCreate;
    QUdpSocket listener;
    QJsonArray datagrams;

    QJsonObject run(const QStringList& words)
    {
        const QString& command = words.first();
        const QString arg = words.value(1);
        if (command == u"login"_s) {
            P::nicknameInput(client)->setText(arg);
            P::connectButton(client)->click();
        } else if (command == u"create"_s) {
            accessKey = words.value(2);
            roomToCreate = arg;
            P::createRoomButton(client)->click(); // returns once the dialog is answered
        } else if (command == u"join"_s) {
            // Selects the room's entry once the list shows it and presses join.
            accessKey = words.value(2);
            const auto found = [this, &arg] {
                return P::roomList(client)->findItems(arg, Qt::MatchContains);
            };
            for (int tries = 0; tries < 16; ++tries) {
                QMetaObject::invokeMethod(&client, "refreshRooms");
                if (testwait::until([&] { return !found().isEmpty(); }, 500)) {
                    P::roomList(client)->setCurrentItem(found().first());
                    P::joinRoomButton(client)->click();
                    return ok();
                }
            }
            return fail(u"room not listed"_s);
        } else if (command == u"leave"_s) {
            P::disconnectButton(client)->click();
        } else if (command == u"mode"_s) {
            (arg == u"2"_s ? P::layer2Button(client) : P::layer3Button(client))->click();
        } else if (command == u"udplisten"_s) {
            listener.close();
            datagrams = {};
            if (!listener.bind(QHostAddress::AnyIPv4, arg.toUShort()))
                return fail(listener.errorString());
        } else if (command == u"udpsend"_s) {
            const QByteArray text = words.value(3).toUtf8();
            if (QUdpSocket out; out.writeDatagram(text, QHostAddress(arg), words.value(2).toUShort()) < 0)
                return fail(out.errorString());
        } else if (command == u"udprecv"_s) {
            while (listener.hasPendingDatagrams())
                datagrams.append(QString::fromUtf8(listener.receiveDatagram().data()));
            return ok({{u"datagrams"_s, datagrams}});
        } else if (command == u"say"_s) {
            P::globalChatInput(client)->setText(words.mid(1).join(u' '));
            P::globalSendButton(client)->click();
        } else if (command == u"status"_s) {
            return ok(status());
        } else if (command == u"modals"_s) {
            arg == u"off"_s ? modalPoll.stop() : modalPoll.start(30);
        } else if (command == u"quit"_s) {
            QTimer::singleShot(0, qApp, &QApplication::quit);
        } else {
            return fail(u"unknown command"_s);
        }
        return ok();
    }

    QJsonObject status()
    {
        QJsonArray rooms;
        for (int i = 0; i < P::roomList(client)->count(); ++i)
            rooms.append(P::roomList(client)->item(i)->text());
        QJsonObject paths; // virtual IP -> "direct" or "relayed", as the client itself sees it
        for (const tunnel::DirectStatus& path : P::tunnel(client)->directPaths().status())
            paths.insert(QHostAddress(path.vip).toString(), path.direct ? u"direct"_s : u"relayed"_s);
        return {{u"logins"_s, logins},
                {u"joins"_s, joins},
                {u"heartbeats"_s, heartbeats},
                {u"connected"_s, P::tcpSocket(client)->state() == QAbstractSocket::ConnectedState},
                {u"clientId"_s, P::clientId(client)},
                {u"inRoom"_s, P::mainTabs(client)->indexOf(P::roomPage(client)) >= 0},
                {u"vip"_s, P::roomState(client).myVirtualIp()},
                {u"wintun"_s, P::tunnel(client)->adapterRunning() && !P::tunnel(client)->carriesLayer2()},
                {u"tap"_s, P::tunnel(client)->adapterRunning() && P::tunnel(client)->carriesLayer2()},
                {u"rooms"_s, rooms},
                {u"sealed"_s, P::connection(client)->sealed() && P::tunnel(client)->sealed()},
                {u"paths"_s, paths}};
    }
};

// Every frame seen on `interface` for `ms` milliseconds, appended to `path`.
int capture(const QString& interface, int ms, const QString& path)
{
    const int fd = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_ALL);
    where.sll_ifindex = static_cast<int>(if_nametoindex(interface.toLatin1().constData()));
    QFile out(path);
    if (fd < 0 || where.sll_ifindex == 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        !out.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return 1;
    std::fputs("capturing\n", stdout);
    std::fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    char frame[65536];
    for (qint64 left; (left = ms - clock.elapsed()) > 0;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) > 0) {
            const ssize_t n = ::recv(fd, frame, sizeof frame, 0);
            if (n > 0)
                out.write(frame, n);
        }
    }
    ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    testenv::prepare();
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() == 4 && args.first() == u"--send"_s) {
        const QByteArray payload = QByteArray::fromHex(args.at(3).toLatin1());
        return QUdpSocket().writeDatagram(payload, QHostAddress(args.at(1)), args.at(2).toUShort()) !=
               payload.size();
    }
    if (args.size() == 4 && args.first() == u"--capture"_s)
        return capture(args.at(1), args.at(2).toInt(), args.at(3));
    Driver driver;
    return app.exec();
}
