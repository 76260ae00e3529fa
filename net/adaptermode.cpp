// Adapter mode, and starting and stopping the back-end of that mode.
#include "app/vlanclient.h"
#include "net/hostconfig.h"
#include "ui/messages.h"
#include "protocol/names.h"

#include <QLabel>
#include <QPushButton>

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
    if (layer2Mode)
        startTapAdapter(virtualIp);
    else
        startWintunAdapter(virtualIp);
}

void VLANClient::stopAdapters()
{
    endDirectPaths(); // every pair key of the room goes with it
    // An engine that outlived an earlier stop is waited for again here.
    if (tapRunning || tapHandle != adapter::invalidDevice())
        stopTapAdapter();
    if (wintunRunning || wintunAdapter)
        stopWintunAdapter();
    releaseBroadcasts();
    // The server's name may have led elsewhere while the room kept its relay.
    const QByteArray relay = relayAddress().toUtf8();
    if (!engine.active() && !relay.isEmpty() &&
        !udp::samePeer(relayPeer, udp::parsePeer(relay.constData(), serverPort)))
        openTunnel();
}

namespace {

// What the system was changed with, kept until it is put back: a client that
// crashed leaves it for the next start to undo.
const char kBroadcastJournal[] = "cleanup/broadcastRoute";

} // namespace

void VLANClient::captureBroadcasts(const QString& interfaceName, const QString& virtualIp, bool layer3)
{
    settings.setValue(QLatin1String(kBroadcastJournal), QStringList{interfaceName, virtualIp});
    settings.sync();
    hostconfig::captureBroadcasts(interfaceName, virtualIp, layer3);
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
    disconnectButton->click();
}
