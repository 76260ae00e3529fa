// The operator's HTTP endpoint (--metrics): GET only, one request per
// connection, a small budget per address and for everyone, slow clients cut.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <functional>

class QTcpSocket;

class OpsServer : public QObject
{
    Q_OBJECT

public:
    struct Response
    {
        int status = 200;
        QByteArray type = "text/plain; charset=utf-8";
        QByteArray body;
    };
    using Handler = std::function<Response(const QByteArray& path)>;
    static constexpr int kPerAddress = 4;   // connections at once from one address
    static constexpr int kConnections = 64; // from everyone

    // `allowed` empty: anyone who reaches the address may connect (a loopback one).
    // `deadlineMs`: for the whole request and answer.
    OpsServer(Handler handler, QList<QPair<QHostAddress, int>> allowed, int deadlineMs,
              QObject* parent = nullptr);
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    void close() { server_.close(); }
    quint16 port() const { return server_.serverPort(); }

private:
    void accept();
    void read(QTcpSocket* socket);
    void reply(QTcpSocket* socket, const Response& response, const QByteArray& extra = {});
    void release(QTcpSocket* socket);

    Handler handler_;
    QList<QPair<QHostAddress, int>> allowed_;
    int deadlineMs_;
    QTcpServer server_;
    QHash<QString, int> perAddress_;
    int open_ = 0;
};
