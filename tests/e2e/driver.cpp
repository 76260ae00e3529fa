// One real client on the offscreen platform, driven through its widgets by
// commands on stdin, one JSON line answered on stdout per command. Message
// boxes are answered OK and recorded.
//
//   login NAME | create ROOM [KEY] | join ROOM [KEY] | leave | mode 2|3 | kick NAME
//   udplisten PORT | udpsend ADDR PORT TEXT | udprecv | status | quit
//   modals on|off (off stops answering modals, so that an idle client can be
//   measured without the driver's own 30 ms poll)
//
// With --send ADDR PORT HEX it only sends one UDP datagram and exits (a
// stranger's datagram for the test).
#include "tests/support/clientprobe.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>
#include <memory>
#include <unistd.h>

using P = ClientProbe;

namespace {

QJsonObject ok(QJsonObject fields = {})
{
    fields.insert(QStringLiteral("ok"), true);
    return fields;
}

QJsonObject fail(const QString& why)
{
    return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
}

class Driver : public QObject
{
public:
    Driver()
    {
        client.show();
        countLogins();
        connect(&modalPoll, &QTimer::timeout, this, [this] { answerModal(); });
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
                const QJsonObject answer = run(line.split(QLatin1Char(' ')));
                std::fputs(QJsonDocument(answer).toJson(QJsonDocument::Compact).append('\n').constData(),
                           stdout);
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
    int joins = 0;     // join_ok seen: the server confirmed a room
    QString accessKey; // for the create dialog and key prompts
    qsizetype scanned = 0;
    QString roomToCreate;
    QJsonArray boxes;
    std::unique_ptr<QUdpSocket> listener;
    QJsonArray datagrams;

    // Sees each login_ok before the client reads it, so that a re-login after
    // a lost connection can be told from the first one.
    void countLogins()
    {
        QTcpSocket* tcp = P::tcpSocket(client);
        disconnect(tcp, &QIODevice::readyRead, &client, nullptr);
        connect(tcp, &QAbstractSocket::connected, this, [this] { scanned = 0; });
        connect(tcp, &QIODevice::readyRead, this, [this, tcp] {
            const QByteArray buffered = tcp->peek(tcp->bytesAvailable());
            const qsizetype end = buffered.lastIndexOf('\n') + 1;
            for (const QByteArray& line : buffered.mid(scanned, end - scanned).split('\n')) {
                const QString cmd =
                    QJsonDocument::fromJson(line).object().value(QStringLiteral("cmd")).toString();
                logins += cmd == QLatin1String("login_ok");
                joins += cmd == QLatin1String("join_ok");
            }
            QMetaObject::invokeMethod(&client, "onTcpReadyRead", Qt::DirectConnection);
            scanned = tcp->peek(tcp->bytesAvailable()).lastIndexOf('\n') + 1;
        });
    }

    // Message boxes get OK, key prompts the key, the create dialog the room asked for.
    void answerModal()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.append(QJsonObject{{QStringLiteral("title"), box->windowTitle()},
                                     {QStringLiteral("text"), box->text()}});
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            return;
        }
        if (auto* prompt = qobject_cast<QInputDialog*>(modal)) {
            prompt->setTextValue(accessKey);
            prompt->accept();
            return;
        }
        auto* deploy = modal ? modal->findChild<QPushButton*>(QStringLiteral("createBtn")) : nullptr;
        if (!deploy)
            return;
        if (roomToCreate.isEmpty()) {
            qobject_cast<QDialog*>(modal)->reject();
            return;
        }
        modal->findChildren<QLineEdit*>().first()->setText(roomToCreate);
        if (!accessKey.isEmpty()) {
            modal->findChildren<QComboBox*>().last()->setCurrentText(QStringLiteral("Locked"));
            modal->findChildren<QLineEdit*>().last()->setText(accessKey);
        }
        roomToCreate.clear();
        deploy->click();
    }

    QJsonObject run(const QStringList& words)
    {
        const QString& command = words.first();
        const QString arg = words.value(1);
        if (command == QLatin1String("login")) {
            P::nicknameInput(client)->setText(arg);
            P::connectButton(client)->click();
        } else if (command == QLatin1String("create")) {
            accessKey = words.value(2);
            roomToCreate = arg;
            P::createRoomButton(client)->click(); // returns once the dialog is answered
        } else if (command == QLatin1String("join")) {
            accessKey = words.value(2);
            return join(arg);
        } else if (command == QLatin1String("leave")) {
            P::disconnectButton(client)->click();
        } else if (command == QLatin1String("mode")) {
            (arg == QLatin1String("2") ? P::layer2Button(client) : P::layer3Button(client))->click();
        } else if (command == QLatin1String("kick")) {
            // The peer menu's action sends exactly this.
            P::sendControlMessage(client, {{QStringLiteral("cmd"), QStringLiteral("kick_player")},
                                           {QStringLiteral("target"), arg}});
        } else if (command == QLatin1String("udplisten")) {
            listener = std::make_unique<QUdpSocket>();
            datagrams = {};
            if (!listener->bind(QHostAddress::AnyIPv4, arg.toUShort()))
                return fail(listener->errorString());
            connect(listener.get(), &QUdpSocket::readyRead, this, [this] {
                while (listener->hasPendingDatagrams())
                    datagrams.append(QString::fromUtf8(listener->receiveDatagram().data()));
            });
        } else if (command == QLatin1String("udpsend")) {
            QUdpSocket sender;
            if (sender.writeDatagram(words.value(3).toUtf8(), QHostAddress(arg), words.value(2).toUShort()) <
                0)
                return fail(sender.errorString());
        } else if (command == QLatin1String("udprecv")) {
            return ok({{QStringLiteral("datagrams"), datagrams}});
        } else if (command == QLatin1String("status")) {
            return ok(status());
        } else if (command == QLatin1String("modals")) {
            arg == QLatin1String("off") ? modalPoll.stop() : modalPoll.start(30);
        } else if (command == QLatin1String("quit")) {
            QTimer::singleShot(0, qApp, &QApplication::quit);
        } else {
            return fail(QStringLiteral("unknown command"));
        }
        return ok();
    }

    // Selects the room's entry once the list shows it and presses join.
    QJsonObject join(const QString& room)
    {
        QListWidget* list = P::roomList(client);
        for (int tries = 0; tries < 16; ++tries) {
            QMetaObject::invokeMethod(&client, "refreshRooms");
            QTest::qWait(500);
            const QList<QListWidgetItem*> found = list->findItems(room, Qt::MatchContains);
            if (!found.isEmpty()) {
                list->setCurrentItem(found.first());
                P::joinRoomButton(client)->click();
                return ok();
            }
        }
        return fail(QStringLiteral("room not listed"));
    }

    QJsonObject status()
    {
        QJsonArray rooms;
        for (int i = 0; i < P::roomList(client)->count(); ++i)
            rooms.append(P::roomList(client)->item(i)->text());
        const bool lobby =
            P::pageStack(client)->currentWidget() == static_cast<QWidget*>(P::mainTabs(client));
        return {{QStringLiteral("page"), lobby ? QStringLiteral("lobby") : QStringLiteral("login")},
                {QStringLiteral("logins"), logins},
                {QStringLiteral("joins"), joins},
                {QStringLiteral("clientId"), P::clientId(client)},
                {QStringLiteral("inRoom"), P::mainTabs(client)->indexOf(P::roomPage(client)) >= 0},
                {QStringLiteral("vip"), P::myVirtualIp(client)},
                {QStringLiteral("isHost"), P::isHost(client)},
                {QStringLiteral("hostVip"), P::hostVirtualIp(client)},
                {QStringLiteral("wintun"), P::wintunRunning(client).load()},
                {QStringLiteral("tap"), P::tapRunning(client).load()},
                {QStringLiteral("udpPort"), int(udp::localPort(P::tunnelSocket(client)))},
                {QStringLiteral("modeEnabled"), P::layer2Button(client)->isEnabled()},
                {QStringLiteral("rooms"), rooms},
                {QStringLiteral("boxes"), boxes}};
    }
};

} // namespace

int main(int argc, char** argv)
{
    testenv::prepare();
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() == 4 && args.first() == QLatin1String("--send")) {
        const QByteArray payload = QByteArray::fromHex(args.at(3).toLatin1());
        return QUdpSocket().writeDatagram(payload, QHostAddress(args.at(1)), args.at(2).toUShort()) ==
                       payload.size()
                   ? 0
                   : 1;
    }
    Driver driver;
    return app.exec();
}
