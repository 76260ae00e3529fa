// Adapter mode, and starting and stopping the back-end of that mode.
#include "app/vlanclient.h"
#include "lobby/controlconnection.h"
#include "net/hostconfig.h"
#include "ui/messages.h"
#include "protocol/names.h"

#include <QLabel>
#include <QPushButton>

namespace {

// What the system was changed with, kept until it is put back: a client that
// crashed leaves it for the next start to undo.
const char kBroadcastJournal[] = "cleanup/broadcastRoute";

} // namespace

void VLANClient::onAdapterModeChanged()
{
    // Checkable buttons flip themselves before `clicked`; both states are set
    // here so that exactly one stays checked.
    const QObject* origin = sender();
    if (origin && origin == layer2Button) {
        layer3Button->setChecked(false);
        layer2Button->setChecked(true);
        layer2Mode = true;
        adapterModeLabel->setText(
            QStringLiteral("Host will automatically show up in the in-game LAN list. Best for older games."));
    } else if (origin && origin == layer3Button) {
        layer2Button->setChecked(false);
        layer3Button->setChecked(true);
        layer2Mode = false;
        adapterModeLabel->setText(QStringLiteral("Maximum speed and lowest ping. You will need to manually "
                                                 "type the Host's IP to connect. (10.8.x.x) "));
    }
}

void VLANClient::startAdapter(const QString& virtualIp)
{
    if (adapterBringUp.busy()) {
        // One adapter at a time: one still coming up for an earlier room is
        // taken down first (adapterBroughtUp). One for this room serves it.
        if (!bringUpWanted) {
            nextAdapterIp = virtualIp;
            showAdapterComingUp(virtualIp);
        }
        return;
    }
    if (layer2Mode)
        startTapAdapter(virtualIp);
    else
        startWintunAdapter(virtualIp);
}

void VLANClient::stopAdapters()
{
    endDirectPaths(); // every pair key of the room goes with it
    // What a bring-up under way makes is taken down when it reports.
    bringUpWanted = false;
    nextAdapterIp.reset();
    // An engine that outlived an earlier stop is waited for again here.
    if (tapRunning || tapHandle != adapter::invalidDevice())
        stopTapAdapter();
    if (wintunRunning || wintunAdapter)
        stopWintunAdapter();
    // The steps under way may still capture them; released when they report.
    if (!adapterBringUp.busy())
        releaseBroadcasts();
    // The server's name may have led elsewhere while the room kept its relay.
    const QByteArray relay = relayAddress().toUtf8();
    if (!engine.active() && !relay.isEmpty() &&
        !udp::samePeer(relayPeer, udp::parsePeer(relay.constData(), connection->server().port)))
        openTunnel();
}

void VLANClient::beginBringUp(const QString& virtualIp, bringup::Runner::Steps steps)
{
    bringUpWanted = true;
    showAdapterComingUp(virtualIp);
    adapterBringUp.start(std::move(steps), [this](bringup::Made made) { adapterBroughtUp(std::move(made)); });
}

void VLANClient::adapterBroughtUp(bringup::Made made)
{
    if (!made.broadcastsCaptured)
        settings.remove(QLatin1String(kBroadcastJournal)); // the system was not changed
    if (!bringUpWanted) {
        // The room was left meanwhile: nothing of it stays.
        bringup::takeDown(made);
        releaseBroadcasts();
        if (const std::optional<QString> next = std::exchange(nextAdapterIp, std::nullopt))
            startAdapter(*next);
        return;
    }
    bringUpWanted = false;
    localIpLabel->setText(QStringLiteral("Local IP: ") + roomState.myVirtualIp());
    if (made.failure)
        showAdapterFailure(QString::fromUtf8(made.failure->title),
                           QString::fromStdString(made.failure->text));
    else if (made.layer2)
        takeTapAdapter(made);
    else
        takeWintunAdapter(made);
}

void VLANClient::showAdapterComingUp(const QString& virtualIp)
{
    localIpLabel->setText(QStringLiteral("Local IP: ") + virtualIp +
                          QStringLiteral(" (adapter coming up...)"));
}

// Written before the steps that change the system run, so that a crash at
// any point leaves it for the next start.
void VLANClient::journalBroadcasts(const QString& interfaceName, const QString& virtualIp)
{
    settings.setValue(QLatin1String(kBroadcastJournal), QStringList{interfaceName, virtualIp});
    settings.sync();
}

void VLANClient::releaseBroadcasts()
{
    const QStringList journal = settings.value(QLatin1String(kBroadcastJournal)).toStringList();
    if (journal.size() == 2)
        hostconfig::releaseBroadcasts(journal.at(0), journal.at(1));
    settings.remove(QLatin1String(kBroadcastJournal));
}

// Joins and heartbeats say the mode, so the relay bridges to this client before
// it sends anything; servers that do not know the field ignore it.
QJsonObject VLANClient::withLayer(QJsonObject message) const
{
    message.insert(field::layer, layer2Mode ? 2 : 3);
    return message;
}

void VLANClient::showAdapterFailure(const QString& title, const QString& text)
{
    ui::showCritical(this, title, text);
    roomState.requestLeave();
}
