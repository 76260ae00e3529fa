// A player for the end-to-end test: one real client on the offscreen
// platform, driven through its widgets by commands on stdin, one JSON line
// answered on stdout per command. Message boxes are answered OK and recorded.
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
#include <QElapsedTimer>
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
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <memory>
#include <unistd.h>

using P = ClientProbe;

namespace {

class Driver : public QObject
{
public:
    Driver()
    {
        client.show();
        countLogins();
        // Answers every modal the client raises: message boxes with OK, and
        // the create-room dialog with the room asked for.
        modalPoll = new QTimer(this);
        connect(modalPoll, &QTimer::timeout, this, [this] { answerModal(); });
        modalPoll->start(30);

        auto* input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(input, &QSocketNotifier::activated, this, [this, input] {
            char chunk[4096];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                input->setEnabled(false);
                QApplication::quit();
                return;
            }
            pending.append(chunk, static_cast<int>(n));
            qsizetype end;
            while ((end = pending.indexOf('\n')) >= 0) {
                const QString line = QString::fromUtf8(pending.left(end)).trimmed();
                pending.remove(0, end + 1);
                if (!line.isEmpty())
                    reply(run(line.split(QLatin1Char(' '))));
            }
        });
    }

private:
    VLANClient client;
    QTimer* modalPoll = nullptr;
    QByteArray pending;
    int logins = 0;
    int joins = 0; // join_ok seen: the server confirmed a room
    QString accessKey; // for the create dialog and key prompts
    qsizetype scanned = 0;
    QString roomToCreate;
    QJsonArray boxes;
    std::unique_ptr<QUdpSocket> listener;
    QJsonArray datagrams;

    static void reply(const QJsonObject& answer)
    {
        std::fputs(QJsonDocument(answer).toJson(QJsonDocument::Compact).constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    static QJsonObject ok(QJsonObject fields = {})
    {
        fields.insert(QStringLiteral("ok"), true);
        return fields;
    }

    static QJsonObject fail(const QString& why)
    {
        return {{QStringLiteral("ok"), false}, {QStringLiteral("error"), why}};
    }

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
                const QJsonObject message = QJsonDocument::fromJson(line.trimmed()).object();
                logins += message.value(QStringLiteral("cmd")).toString() == QLatin1String("login_ok");
                joins += message.value(QStringLiteral("cmd")).toString() == QLatin1String("join_ok");
            }
            QMetaObject::invokeMethod(&client, "onTcpReadyRead", Qt::DirectConnection);
            scanned = tcp->peek(tcp->bytesAvailable()).lastIndexOf('\n') + 1;
        });
    }

    void answerModal()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.append(QJsonObject{{QStringLiteral("title"), box->windowTitle()}, {QStringLiteral("text"), box->text()}});
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
        if (command == QLatin1String("login") && words.size() == 2) {
            P::nicknameInput(client)->setText(words.at(1));
            P::connectButton(client)->click();
            return ok();
        }
        if ((command == QLatin1String("create") || command == QLatin1String("join")) && words.size() <= 3)
            accessKey = words.value(2);
        if (command == QLatin1String("create") && (words.size() == 2 || words.size() == 3)) {
            roomToCreate = words.at(1);
            P::createRoomButton(client)->click(); // returns once the dialog is answered
            return ok();
        }
        if (command == QLatin1String("join") && (words.size() == 2 || words.size() == 3))
            return join(words.at(1));
        if (command == QLatin1String("leave")) {
            P::disconnectButton(client)->click();
            return ok();
        }
        if (command == QLatin1String("mode") && words.size() == 2) {
            (words.at(1) == QLatin1String("2") ? P::layer2Button(client) : P::layer3Button(client))->click();
            return ok();
        }
        if (command == QLatin1String("kick") && words.size() == 2) {
            // The peer menu's action sends exactly this.
            P::sendControlMessage(client, {{QStringLiteral("cmd"), QStringLiteral("kick_player")},
                                           {QStringLiteral("target"), words.at(1)}});
            return ok();
        }
        if (command == QLatin1String("udplisten") && words.size() == 2) {
            listener = std::make_unique<QUdpSocket>();
            datagrams = {};
            if (!listener->bind(QHostAddress::AnyIPv4, words.at(1).toUShort()))
                return fail(listener->errorString());
            connect(listener.get(), &QUdpSocket::readyRead, this, [this] {
                while (listener->hasPendingDatagrams()) {
                    const QNetworkDatagram d = listener->receiveDatagram();
                    datagrams.append(QJsonObject{{QStringLiteral("from"), d.senderAddress().toString()},
                                                 {QStringLiteral("data"), QString::fromUtf8(d.data())}});
                }
            });
            return ok();
        }
        if (command == QLatin1String("udpsend") && words.size() == 4) {
            QUdpSocket sender;
            const qint64 sent = sender.writeDatagram(words.at(3).toUtf8(), QHostAddress(words.at(1)), words.at(2).toUShort());
            return sent < 0 ? fail(sender.errorString()) : ok();
        }
        if (command == QLatin1String("udprecv"))
            return ok({{QStringLiteral("datagrams"), datagrams}});
        if (command == QLatin1String("status"))
            return ok(status());
        if (command == QLatin1String("modals") && words.size() == 2) {
            words.at(1) == QLatin1String("off") ? modalPoll->stop() : modalPoll->start(30);
            return ok();
        }
        if (command == QLatin1String("quit")) {
            QTimer::singleShot(0, qApp, &QApplication::quit);
            return ok();
        }
        return fail(QStringLiteral("unknown command"));
    }

    // Selects the room's entry once the list shows it and presses join.
    QJsonObject join(const QString& room)
    {
        QElapsedTimer clock;
        clock.start();
        QListWidget* list = P::roomList(client);
        while (clock.elapsed() < 8000) {
            QMetaObject::invokeMethod(&client, "refreshRooms");
            for (int i = 0; i < 25; ++i) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                ::usleep(20000);
            }
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
        const bool lobby = P::pageStack(client)->currentWidget() == static_cast<QWidget*>(P::mainTabs(client));
        return {{QStringLiteral("page"), lobby ? QStringLiteral("lobby") : QStringLiteral("login")},
                {QStringLiteral("connected"), P::tcpSocket(client)->state() == QAbstractSocket::ConnectedState},
                {QStringLiteral("logins"), logins},
                {QStringLiteral("clientId"), P::clientId(client)},
                {QStringLiteral("inRoom"), P::mainTabs(client)->indexOf(P::roomPage(client)) >= 0},
                {QStringLiteral("vip"), P::myVirtualIp(client)},
                {QStringLiteral("joins"), joins},
                {QStringLiteral("isHost"), P::isHost(client)},
                {QStringLiteral("hostVip"), P::hostVirtualIp(client)},
                {QStringLiteral("wintun"), P::wintunRunning(client).load()},
                {QStringLiteral("tap"), P::tapRunning(client).load()},
                {QStringLiteral("udpPort"), int(udp::localPort(P::tunnelSocket(client)))},
                {QStringLiteral("modeEnabled"), P::layer2Button(client)->isEnabled()},
                {QStringLiteral("layer2"), P::layer2Mode(client)},
                {QStringLiteral("rooms"), rooms},
                {QStringLiteral("boxes"), boxes}};
    }
};

int sendOnce(const QStringList& args)
{
    QUdpSocket socket;
    const QByteArray payload = QByteArray::fromHex(args.at(2).toLatin1());
    return socket.writeDatagram(payload, QHostAddress(args.at(0)), args.at(1).toUShort()) == payload.size() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    testenv::prepare();
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() == 4 && args.first() == QLatin1String("--send"))
        return sendOnce(args.mid(1));
    Driver driver;
    return app.exec();
}
