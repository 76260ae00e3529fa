#include "server/ops/opsserver.h"

#include "server/ops/httprequest.h"

#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

namespace {

const char* reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

// IPv4-mapped addresses count as their IPv4 address, as in the lobby's budgets.
QHostAddress plain(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

OpsServer::OpsServer(Handler handler, QList<QPair<QHostAddress, int>> allowed, int deadlineMs,
                     QObject* parent)
    : QObject(parent), handler_(std::move(handler)), allowed_(std::move(allowed)), deadlineMs_(deadlineMs)
{
    connect(&server_, &QTcpServer::newConnection, this, &OpsServer::accept);
}

bool OpsServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (server_.listen(address, port))
        return true;
    *error = QStringLiteral("cannot listen for metrics on %1 port %2: %3")
                 .arg(address.toString(), QString::number(port), server_.errorString());
    return false;
}

void OpsServer::accept()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        const QHostAddress peer = plain(socket->peerAddress());
        const bool allowed =
            allowed_.isEmpty() ||
            std::any_of(allowed_.begin(), allowed_.end(), [&](auto& net) { return peer.isInSubnet(net); });
        int& count = perAddress_[peer.toString()];
        if (!allowed || count >= kPerAddress || open_ >= kConnections) {
            if (count == 0)
                perAddress_.remove(peer.toString());
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++count;
        ++open_;
        socket->setProperty("opsPeer", peer.toString());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { release(socket); });
        // A client that has not sent its request by then (or not read the answer) is cut.
        QTimer::singleShot(deadlineMs_, socket, [this, socket] {
            socket->abort();
            release(socket);
        });
    }
}

void OpsServer::release(QTcpSocket* socket)
{
    if (socket->property("opsDone").toBool())
        return;
    socket->setProperty("opsDone", true);
    const QString peer = socket->property("opsPeer").toString();
    if (--perAddress_[peer] <= 0)
        perAddress_.remove(peer);
    --open_;
    socket->deleteLater();
}

void OpsServer::read(QTcpSocket* socket)
{
    if (socket->property("opsAnswered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray data = socket->property("opsData").toByteArray();
    data += socket->read(http::kMaxRequestBytes - data.size() + 1);
    http::Request request;
    switch (http::parseRequest(data, &request)) {
    case http::Parse::Incomplete:
        socket->setProperty("opsData", data);
        return;
    case http::Parse::TooLarge:
        reply(socket, {431, "text/plain; charset=utf-8", "request too large\n"});
        return;
    case http::Parse::Bad:
        reply(socket, {400, "text/plain; charset=utf-8", "bad request\n"});
        return;
    case http::Parse::Done:
        break;
    }
    if (request.method != "GET")
        reply(socket, {405, "text/plain; charset=utf-8", "GET only\n"}, "Allow: GET\r\n");
    else
        reply(socket, handler_(request.path));
}

void OpsServer::reply(QTcpSocket* socket, const Response& response, const QByteArray& extra)
{
    socket->setProperty("opsAnswered", true);
    socket->setProperty("opsData", QVariant());
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason(response.status) +
                      "\r\nContent-Type: " + response.type +
                      "\r\nContent-Length: " + QByteArray::number(response.body.size()) +
                      "\r\nCache-Control: no-store\r\nConnection: close\r\n" + extra + "\r\n";
    socket->write(head + response.body);
    socket->disconnectFromHost();
}
