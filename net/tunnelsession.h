// The room's tunnel, apart from the window: the one UDP socket to the relay,
// the heartbeat and the relay watch, the seal session, the direct paths with
// their timer, and the virtual adapter with the engine that carries it. The
// adapter comes up off the GUI thread; what the player must be told arrives
// by signals. GUI thread only.
#pragma once

#include "net/adapterbringup.h"
#include "net/directpaths.h"
#include "net/engine.h"
#include "net/portmap.h"
#include "net/sealsession.h"
#include "net/udpsocket.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <utility>

class QSettings;
class QSocketNotifier;
class QTimer;

struct ClientProbe; // tests stand in for an adapter that cannot be made without rights

class TunnelSession : public QObject
{
    Q_OBJECT

public:
    // `settings` keeps the journal of what a bring-up changed on the system,
    // so that a crash leaves it for the next start to put back (done here).
    explicit TunnelSession(QSettings& settings, QObject* parent = nullptr);
    ~TunnelSession() override;

    // The relay at `address` (numeric, or empty while unknown) and `port`. The
    // socket follows the address family, so a new server may need a new one;
    // a running engine keeps its relay until the room ends.
    void openTunnel(const QString& address, quint16 port);
    udp::Socket socket() const { return socket_; }
    const udp::Peer& relay() const { return relay_; }
    // Drops what arrived while no engine runs: there is no adapter for it.
    void drain();

    // Driven by heartbeatTimer(); `clientId` empty: nothing goes. `layer`: the
    // adapter mode, said only to a relay that reads it (or under the seal).
    QTimer* heartbeatTimer() const { return heartbeatTimer_; }
    void sendHeartbeats(const QString& clientId, int layer);
    void setRelayReadsLayer(bool reads) { relayReadsLayer_ = reads; }

    tunnel::SealSession& seal() { return *seal_; }
    bool sealed() const { return seal_->active(); }
    int overhead() const; // bytes the sealing adds to each datagram

    // One adapter at a time, for the room at `virtualIp`. Returns at once when one runs.
    void startAdapter(const QString& virtualIp, bool layer2);
    // Ends the engine, the adapter and every direct path, and puts the system back.
    void stopAdapters();
    // An adapter runs: a start returns at once until the next stop.
    bool adapterRunning() const { return running_; }
    // Its layer (meaningful while it runs).
    bool carriesLayer2() const { return directPaths_->layer2; }
    // The engine's threads exist: they carry the adapter, or outlived a stop.
    bool carrying() const { return engine_.active(); }
    // Bring-up steps are under way.
    bool bringingUp() const { return bringUp_.busy(); }
    // Runs on the bring-up's thread once the device exists; tests hold a bring-up there.
    void holdBringUp(bringup::Hold hold) { bringUp_.hold = std::move(hold); }

    // The pairs the server named, and its mapping port (none: a zero peer).
    void setDirectPeers(std::vector<tunnel::DirectPeer> peers, const udp::Peer& mapping);
    void endDirectPaths();
    tunnel::DirectPaths& directPaths() { return *directPaths_; }

    // A port on the player's router forwarded to the tunnel socket, kept
    // while wanted (and the tunnel is sealed and speaks IPv4). False: no router can be asked.
    bool canMapPort() const { return bool(portKeeper_); }
    void wantPortMapped(bool wanted);
    // "ADDR:PORT" the router forwards to the tunnel socket; empty: none.
    const QString& mappedCandidate() const { return mappedCandidate_; }

signals:
    // The socket has datagrams while no engine reads it.
    void datagramsPending();
    // A heartbeat should go at once (the relay fell silent, a direct path failed).
    void heartbeatWanted();
    // A line for the control channel (a new key asked for).
    void controlMessage(const QJsonObject& message);
    // Bring-up began for `virtualIp`; then ended for the room (made or not).
    void adapterComingUp(const QString& virtualIp);
    void adapterSettled();
    // The adapter could not be had: the player is told, and leaves the room.
    void adapterFailed(const QString& title, const QString& text);
    // The direct paths' state may have changed.
    void pathsChanged();
    // The router's answer may have changed mappedCandidate() (after wantPortMapped again).
    void portMappingChanged();

private:
    friend struct ClientProbe;

    void reopen();
    void watchRelay();
    void beginBringUp(const QString& virtualIp, bringup::Runner::Steps steps);
    void broughtUp(bringup::Made made);
    void carry(std::unique_ptr<adapter::Device> device, bool layer2);
    bool stopEngine();
    void tickDirectPaths();
    void sendRelayProbe(const std::uint8_t* payload, std::size_t length);
    tunnel::SealSession::View& sealer();
    void journalBroadcasts(const QString& interfaceName, const QString& virtualIp);
    void releaseBroadcasts();

    QSettings& settings_;
    QString relayAddress_; // as last asked for
    quint16 relayPort_ = 0;
    udp::Peer relay_;                     // parsed once
    udp::Socket socket_ = nullptr;        // heartbeats and the engine's traffic
    QSocketNotifier* notifier_ = nullptr; // drains the socket while no engine runs
    QTimer* heartbeatTimer_ = nullptr;
    bool relayReadsLayer_ = false; // the server echoed the mode in join_ok
    std::shared_ptr<tunnel::SealSession> seal_ = std::make_shared<tunnel::SealSession>();
    std::unique_ptr<tunnel::SealSession::View> sealer_; // the GUI thread's: heartbeats, round trips
    // Which room members the engine reaches directly; probed from directTimer_.
    std::shared_ptr<tunnel::DirectPaths> directPaths_ = std::make_shared<tunnel::DirectPaths>();
    udp::Peer mappingPeer_;           // the server's mapping port, once it named one
    QTimer* directTimer_ = nullptr;   // single shot, for the next thing due (or an engine thread's wake)
    std::uint64_t directRefused_ = 0; // direct packets dropped by the peer rule, as last logged
    tunnel::Engine engine_;
    bool running_ = false;         // the engine carries an adapter (it may outlive a failed stop)
    QTimer* relayWatch_ = nullptr; // while the engine runs: a heartbeat at once when the relay falls silent
    std::int64_t relayHeard_ = 0;  // when the relay's traffic was last seen, as the watch last read it
    bool relayHeardLost_ = true;   // the relay fell silent since, and was told where we are
    bringup::Runner bringUp_{this};
    bool bringUpWanted_ = false;                   // the bring-up under way is for the current room
    std::optional<std::pair<QString, bool>> next_; // a join's adapter, once the one for a left room is down
    std::unique_ptr<portmap::Keeper> portKeeper_;  // none when no router can be asked
    QTimer* portMapTimer_ = nullptr;
    QString mappedCandidate_;
};
