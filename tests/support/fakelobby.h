// A lobby server stand-in on loopback: records every line a client sends and
// lets the test answer with raw bytes.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <memory>

class VLANClient;

class FakeLobby : public QObject
{
    Q_OBJECT

public:
    FakeLobby();

    quint16 port() const { return server.serverPort(); }
    // "127.0.0.1:PORT", for PELLORA_SERVER.
    QByteArray endpoint() const;

    // Waits until a client is connected (the latest one is used).
    bool waitForClient(int timeoutMs = 5000);
    // Waits until a line with this cmd arrived; returns it (empty object on timeout).
    QJsonObject waitForCommand(const QString& cmd, int timeoutMs = 5000);
    // All lines received so far, parsed, in order.
    QList<QJsonObject> received;
    QList<QByteArray> rawLines;
    int count(const QString& cmd) const;
    // The latest line with this cmd (empty object if none).
    QJsonObject last(const QString& cmd) const;
    // Lets queued traffic arrive, then tells how many lines came so far.
    qsizetype settledCount();
    // A shown client on this lobby, logged in as `name`, on the lobby page;
    // null when any step of that fails.
    std::unique_ptr<VLANClient> loggedInClient(const QString& name);

    void send(const QJsonObject& message);
    void sendRaw(const QByteArray& bytes);
    void dropClient();
    int connections = 0;
    QTcpSocket* client = nullptr;
    QTcpServer server;

private:
    QByteArray pending;
};
