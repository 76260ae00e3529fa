#include "net/tunnelsession.h"

#include "net/hostconfig.h"
#include "protocol/controlcodec.h"
#include "protocol/messages.h"
#include "protocol/names.h"

#include <QHostAddress>
#include <QSettings>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace {

constexpr std::int64_t kRelaySilentMs = 500;
// What the system was changed with, kept until it is put back: a client that
// crashed leaves it for the next start to undo.
const char kBroadcastJournal[] = "cleanup/broadcastRoute";
constexpr int kPortMapTickMs = 10000; // renewals are due every half lease, retries after minutes

} // namespace

TunnelSession::TunnelSession(QSettings& settings, QObject* parent)
    : QObject(parent), settings_(settings), heartbeatTimer_(new QTimer(this)), directTimer_(new QTimer(this)),
      relayWatch_(new QTimer(this))
{
    // A client that ended without leaving its room left the system changed.
    releaseBroadcasts();
    directTimer_->setSingleShot(true);
    // A coarse timer may fire up to 5 % early, find nothing due and sleep again for a few ms.
    directTimer_->setTimerType(Qt::PreciseTimer);
    // What an engine thread hands over (a probe's answer, traffic on a quiet path) is taken at once.
    directPaths_->setWake([this] {
        QMetaObject::invokeMethod(
            this, [this] { directTimer_->start(0); }, Qt::QueuedConnection);
    });
    connect(directTimer_, &QTimer::timeout, this, &TunnelSession::tickDirectPaths);
    relayWatch_->setSingleShot(true);
    connect(relayWatch_, &QTimer::timeout, this, &TunnelSession::watchRelay);
    connect(heartbeatTimer_, &QTimer::timeout, this, &TunnelSession::watchRelay);
    if (std::unique_ptr<portmap::Router> router = portmap::clientRouter()) {
        portKeeper_ = std::make_unique<portmap::Keeper>(std::move(router), &tunnel::steadyMs, [this] {
            QMetaObject::invokeMethod(
                this, [this] { emit portMappingChanged(); }, Qt::QueuedConnection);
        });
        portMapTimer_ = new QTimer(this);
        connect(portMapTimer_, &QTimer::timeout, this, [this] { portKeeper_->tick(); });
    }
}

TunnelSession::~TunnelSession()
{
    directPaths_->setWake(nullptr); // an engine thread may outlive us
    // The router forgets our port now (waited for a few seconds at most).
    portKeeper_.reset();
    stopAdapters();
    // Steps still under way are waited for, and what they make taken down.
    if (std::optional<bringup::Made> made = bringUp_.finish())
        broughtUp(std::move(*made));
    // A thread that outlived the stop keeps the socket; it is left open for it.
    delete notifier_;
    if (!engine_.active())
        udp::close(socket_);
}

void TunnelSession::openTunnel(const QString& address, quint16 port)
{
    relayAddress_ = address;
    relayPort_ = port;
    if (!engine_.active())
        reopen();
}

void TunnelSession::reopen()
{
    relay_ = udp::parsePeer(relayAddress_.toUtf8().constData(), relayPort_);
    delete notifier_;
    notifier_ = nullptr;
    udp::close(socket_);
    socket_ = udp::open(relay_);
    if (!socket_)
        return;
    notifier_ = new QSocketNotifier(udp::descriptor(socket_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TunnelSession::datagramsPending);
}

void TunnelSession::drain()
{
    // Only while no engine runs (the notifier is off otherwise).
    udp::drain(socket_);
}

tunnel::SealSession::View& TunnelSession::sealer()
{
    if (!sealer_)
        sealer_ = std::make_unique<tunnel::SealSession::View>(*seal_);
    return *sealer_;
}

void TunnelSession::sendHeartbeats(const QString& clientId, int layer)
{
    if (clientId.isEmpty())
        return;
    if (seal_->active()) {
        // Sealed: the key says who sends it; no client id on the wire.
        // Its one byte of payload: the adapter mode, as a plain heartbeat's "layer".
        std::uint8_t sealed[seal::kOverhead + 1];
        sealed[seal::kHeaderBytes] = std::uint8_t(layer);
        const std::size_t size = sealer().seal(sealed, 1, true);
        if (size)
            udp::send(socket_, relay_, sealed, size);
        // The same to the mapping port, sealed anew: the server compares where each came from.
        sealed[seal::kHeaderBytes] = std::uint8_t(layer);
        const std::size_t again = mappingPeer_.length ? sealer().seal(sealed, 1, true) : 0;
        if (again)
            udp::send(socket_, mappingPeer_, sealed, again);
        // The key sealed all it may: nothing goes until the next, asked for at every beat.
        if (seal_->exhausted())
            emit controlMessage(msg::Rekey{}.toJson());
        return;
    }
    // Only a server that echoed the mode reads it here; an older one drops
    // heartbeats with any member besides client_id.
    const QByteArray heartbeat = control::encodeHeartbeat(clientId, relayReadsLayer_ ? layer : 0);
    // The same socket as the traffic, so that the relay knows one port for this client.
    udp::send(socket_, relay_, heartbeat.constData(), static_cast<std::size_t>(heartbeat.size()));
}

int TunnelSession::overhead() const
{
    return seal_->active() ? int(seal::kOverhead) : 0;
}

// The relay's traffic that stops may mean a NAT moved our tunnel socket to a
// new address (or port): the relay learns where we are from our next sealed
// datagram, so one goes at once instead of at the next heartbeat, up to 2 s
// later. Once per silence: an idle room costs one heartbeat more. The watch
// sleeps while the relay is silent (the heartbeat's tick looks again), and
// otherwise wakes only when the silence would be due.
void TunnelSession::watchRelay()
{
    if (!engine_.active())
        return;
    const std::int64_t now = tunnel::steadyMs();
    const std::int64_t heard = engine_.relayHeardMs();
    if (heard != relayHeard_) {
        relayHeard_ = heard;
        relayHeardLost_ = false;
    } else if (!relayHeardLost_ && now - heard >= kRelaySilentMs) {
        relayHeardLost_ = true;
        emit heartbeatWanted();
    }
    if (relayHeardLost_)
        relayWatch_->stop();
    else
        relayWatch_->start(static_cast<int>(
            std::clamp<std::int64_t>(relayHeard_ + kRelaySilentMs - now, 10, kRelaySilentMs)));
}

void TunnelSession::startAdapter(const QString& virtualIp, bool layer2)
{
    if (bringUp_.busy()) {
        // One adapter at a time: one still coming up for an earlier room is
        // taken down first (broughtUp). One for this room serves it.
        if (!bringUpWanted_) {
            next_.emplace(virtualIp, layer2);
            emit adapterComingUp(virtualIp);
        }
        return;
    }
    if (running_)
        return;
    if (!stopEngine())
        return; // the last engine still holds its adapter; nothing can be made beside it
    const int sealing = overhead();
    if (!layer2) {
        journalBroadcasts(QLatin1String(hostconfig::kLayer3AdapterName), virtualIp);
        beginBringUp(virtualIp, [virtualIp, sealing, hold = bringUp_.hold] {
            return bringup::layer3(virtualIp, sealing, hold);
        });
        return;
    }
    // A registry read, quick enough here; it names the interface the journal needs.
    QString connectionName;
    const QString instanceId = hostconfig::findInstalledTapAdapter(connectionName);
    if (instanceId.isEmpty()) {
        emit adapterFailed(QStringLiteral("Driver Missing"), QString::fromUtf8(adapter::kTapMissingText));
        return;
    }
    journalBroadcasts(connectionName, virtualIp);
    beginBringUp(virtualIp, [instanceId, connectionName, virtualIp, sealing, hold = bringUp_.hold] {
        return bringup::layer2(instanceId, connectionName, virtualIp, sealing, hold);
    });
}

void TunnelSession::beginBringUp(const QString& virtualIp, bringup::Runner::Steps steps)
{
    bringUpWanted_ = true;
    emit adapterComingUp(virtualIp);
    bringUp_.start(std::move(steps), [this](bringup::Made made) { broughtUp(std::move(made)); });
}

// What the steps made, on the GUI thread, for the room they were made for.
void TunnelSession::broughtUp(bringup::Made made)
{
    if (!made.broadcastsCaptured)
        settings_.remove(QLatin1String(kBroadcastJournal)); // the system was not changed
    if (!bringUpWanted_) {
        // The room was left meanwhile: nothing of it stays.
        made.device.reset();
        releaseBroadcasts();
        if (const auto next = std::exchange(next_, std::nullopt))
            startAdapter(next->first, next->second);
        return;
    }
    bringUpWanted_ = false;
    emit adapterSettled();
    if (made.failure)
        emit adapterFailed(QString::fromUtf8(made.failure->title),
                           QString::fromStdString(made.failure->text));
    else if (made.device) // none: the player stays in the room without an adapter
        carry(std::move(made.device), made.layer2);
}

void TunnelSession::carry(std::unique_ptr<adapter::Device> device, bool layer2)
{
    if (!socket_)
        return; // no numeric relay address: nothing could be sent anyway (the device closes)
    // The engine's receiver owns the socket's reads from here on.
    notifier_->setEnabled(false);
    directPaths_->layer2 = layer2;
    directPaths_->setSidePorts(relay_);
    if (engine_.start(std::move(device), socket_, relay_, seal_, directPaths_)) {
        running_ = true;
        relayHeard_ = 0;
        relayHeardLost_ = true; // until the relay is heard: the heartbeat's tick looks
        return;
    }
    notifier_->setEnabled(true);
}

// Ends the engine first; the adapter closes with its last user. An engine
// thread that has not ended within the limit keeps its adapter, and a later
// stop or start waits for it again.
bool TunnelSession::stopEngine()
{
    running_ = false;
    if (!engine_.stop())
        return false; // a thread outlived the limit and still reads the socket
    relayWatch_->stop();
    if (notifier_)
        notifier_->setEnabled(true);
    return true;
}

void TunnelSession::stopAdapters()
{
    endDirectPaths(); // every pair key of the room goes with it
    // What a bring-up under way makes is taken down when it reports.
    bringUpWanted_ = false;
    next_.reset();
    stopEngine();
    // The steps under way may still capture them; released when they report.
    if (!bringUp_.busy())
        releaseBroadcasts();
    // The server's name may have led elsewhere while the room kept its relay.
    const QByteArray relay = relayAddress_.toUtf8();
    if (!engine_.active() && !relay.isEmpty() &&
        !udp::samePeer(relay_, udp::parsePeer(relay.constData(), relayPort_)))
        reopen();
}

// Written before the steps that change the system run, so that a crash at
// any point leaves it for the next start.
void TunnelSession::journalBroadcasts(const QString& interfaceName, const QString& virtualIp)
{
    settings_.setValue(QLatin1String(kBroadcastJournal), QStringList{interfaceName, virtualIp});
    settings_.sync();
}

void TunnelSession::releaseBroadcasts()
{
    const QStringList journal = settings_.value(QLatin1String(kBroadcastJournal)).toStringList();
    if (journal.size() == 2)
        hostconfig::releaseBroadcasts(journal.at(0), journal.at(1));
    settings_.remove(QLatin1String(kBroadcastJournal));
}

void TunnelSession::setDirectPeers(std::vector<tunnel::DirectPeer> peers, const udp::Peer& mapping)
{
    // Where the server asks for a second heartbeat, to learn how our NAT maps.
    mappingPeer_ = mapping;
    directPaths_->setPeers(std::move(peers), tunnel::steadyMs());
    directTimer_->start(0); // new pairs probe at once
    emit pathsChanged();
}

void TunnelSession::tickDirectPaths()
{
    const std::int64_t now = tunnel::steadyMs();
    directPaths_->tick(
        now,
        [this](const Endpoint& to, const std::uint8_t* data, std::size_t length) {
            udp::send(socket_, to, data, length);
        },
        [this](const std::uint8_t* payload, std::size_t length) { sendRelayProbe(payload, length); });
    // A pair key nearly used up: the server hands both ends a new one.
    for (const std::uint32_t pair : directPaths_->takeRekeyAsks())
        emit controlMessage(msg::Rekey{pair}.toJson());
    // A direct path that fell silent or failed: the relay hears from us now, in case we moved.
    if (directPaths_->takeHeartbeatWanted())
        emit heartbeatWanted();
    emit pathsChanged();
    const std::uint64_t refused = directPaths_->refused();
    if (refused != directRefused_)
        qWarning("pellora: %llu direct packets dropped: not the peer's own address or MAC",
                 static_cast<unsigned long long>(refused - directRefused_));
    directRefused_ = refused;
    // Asleep until the next thing falls due; an engine thread may wake us sooner.
    if (!directPaths_->status().empty())
        directTimer_->start(static_cast<int>(std::clamp<std::int64_t>(directPaths_->nextDueMs(now) - now, 10,
                                                                      tunnel::direct::kLongestSleepMs)));
}

void TunnelSession::sendRelayProbe(const std::uint8_t* payload, std::size_t length)
{
    if (!seal_->active() || length != relayprobe::kPayload)
        return;
    std::uint8_t sealed[relayprobe::kBytes];
    std::memcpy(sealed + seal::kHeaderBytes, payload, length);
    const std::size_t size = sealer().seal(sealed, length, false, true);
    if (size)
        udp::send(socket_, relay_, sealed, size);
}

void TunnelSession::endDirectPaths()
{
    directTimer_->stop();
    directPaths_->clear();
    mappingPeer_ = {};
}

void TunnelSession::wantPortMapped(bool wanted)
{
    if (!portKeeper_)
        return;
    // Only a sealed tunnel offers candidates; the router forwards IPv4 only.
    wanted = wanted && seal_->active() && socket_ && udp::families(socket_).ipv4;
    portKeeper_->want(wanted ? udp::localPort(socket_) : 0);
    if (!wanted)
        portMapTimer_->stop();
    else if (!portMapTimer_->isActive())
        portMapTimer_->start(kPortMapTickMs);
    const std::optional<portmap::Mapping> mapping = portKeeper_->offered();
    mappedCandidate_ = mapping && mapping->address != 0
                           ? QHostAddress(mapping->address).toString() + u':' + QString::number(mapping->port)
                           : QString();
}
