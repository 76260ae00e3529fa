// The control channel to the lobby server as one state machine: the name
// looked up before every attempt, TLS first with the server's key pinned on
// first use, plain only for a server that never answered sealed, and a retry
// at a fixed interval for as long as the channel is down. The window watches
// its signals; it holds no connection state of its own.
#pragma once

#include "lobby/serveraddress.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QHostInfo;
class QSettings;
class QSslSocket;
class QTimer;
struct ClientProbe; // test access to private state

namespace lobby {

class ControlConnection : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Down,        // no attempt under way; the next one comes at the retry interval
        LookingUp,   // the server's name is being resolved
        Connecting,  // TCP under way (a sealed attempt's handshake follows)
        Handshaking, // TCP up, TLS under way
        Up,          // the channel carries messages: plain, or sealed under the pinned key
        KeyRefused,  // the server showed another key than the pinned one: no attempts until retry()
    };
    Q_ENUM(State)

    // The intervals and the clock, fixed for the program and injected by tests.
    struct Timing {
        int retryMs = 3000;     // between attempts while the channel is down
        int handshakeMs = 5000; // a server that takes TCP and never speaks TLS costs this once
        qint64 plainKeptDays = 7; // a server seen plain is tried sealed again after this
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
    };

    ControlConnection(QSettings& settings, const ServerEndpoint& server, QObject* parent = nullptr);
    ~ControlConnection() override;

    void setTiming(Timing timing);
    State state() const { return state_; }
    // The socket, for its readyRead only: everything else goes through this object.
    QSslSocket* socket() const { return tcpSocket; }

    // Starts one attempt unless one runs, the channel is up, or a changed key was refused.
    void attemptReconnect();
    // Drops whatever attempt runs and starts one at `server`, with the key an
    // invite link names for it pinned first (see pinFromInvite).
    void setServer(const ServerEndpoint& server, const QString& inviteKey = QString());
    void restart();
    // The player's word on a changed key: the new key is pinned and the channel comes up with it.
    void acceptChangedKey(const QString& seen);
    // After a refused key: another attempt, which asks about the key again if it is still the other one.
    void retry();

    ServerEndpoint server() const { return server_; }
    // The address a name resolved to and was tried at; empty for a number, or before.
    QString reachedAddress() const { return reachedAddress_; }
    // The relay lives at the lobby server's address: the number itself, or what its name resolved to.
    QString relayAddress() const;
    // "NAME (ADDR):PORT", as the login page shows the server.
    QString describe() const;

    bool isUp() const;
    bool isEncrypted() const;
    void send(const QJsonObject& message);
    // Every complete line, decoded, to messageReceived, in order; a line longer than any the
    // server sends drops the channel. A receiver that opens a modal dialog holds the lines after
    // its own back until it closes: the socket does not report more data while this runs.
    void readMessages();

    bool sealed() const { return sealed_; }
    bool speaksPlain() const { return speaksPlain_; }
    QString serverKey() const { return serverKey_; } // fingerprint of the key the server showed
    QString sealingText() const;                     // "sealed", "not sealed" or empty while unknown
    QString pinKey() const;                          // settings key of this server's pin
    // Pins the key an invite link names for this server, unless one is pinned; true when it was new.
    bool pinFromInvite(const QString& key);

signals:
    void stateChanged(lobby::ControlConnection::State state);
    void connected(); // the channel is up: time to log in
    void lost();      // an attempt failed or the channel dropped; the next comes at the retry interval
    void statusChanged(const QString& text); // what the login page says of the connection
    void serverLineChanged();                // address reached or sealing learnt
    void addressReached(const QString& address); // a new address carries the channel (and the relay)
    // The server showed another key than the pinned one; nothing was sent. The window asks the player.
    void keyChanged(const QString& server, const QString& pinned, const QString& seen);
    // The server an invite link pinned showed another key, or does not speak TLS: told once.
    void inviteKeyRefused(const QString& server);
    void inviteNotSealed(const QString& server);
    void messageReceived(const QJsonObject& message);

private:
    friend struct ::ClientProbe;
    void setState(State state);
    void lookedUp(const QHostInfo& info);
    bool connectToNextAddress();
    void connectTo(const QString& address);
    void onConnected();
    void onEncrypted();
    void onError();
    void handshakeTimedOut();
    // The attempt ended without a channel: the next address, plain, or a retry at the interval.
    void attemptFailed();
    void refuse(const QString& status);
    void goDown(const QString& status);
    QString pinned() const;
    QString plainKey() const;
    bool plainRemembered() const;
    void rememberPlain(bool on);
    void forgetSealing();

    QSettings& settings;
    Timing timing;
    QSslSocket* tcpSocket = nullptr;
    QTimer* reconnectTimer = nullptr;
    QTimer* handshakeTimer = nullptr;
    State state_ = State::Down;
    ServerEndpoint server_;
    QString reachedAddress_;
    int lookupId = -1;
    QList<QHostAddress> untriedAddresses; // the name's other addresses, for this attempt
    bool tryingTls = false;
    bool speaksPlain_ = false; // took a connection and did not speak TLS (now, or remembered)
    bool sealed_ = false;      // the channel is sealed under the pinned key
    QString serverKey_;
    QString invitePinned;      // pin key of a server pinned from a link, until it shows that key
    bool inviteRefusalTold = false;
};

} // namespace lobby
