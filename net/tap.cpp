// Layer-2 back-end: the TAP device, carried by the engine.
#include "app/vlanclient.h"
#include "net/hostconfig.h"
#include "net/tap_api.h"

QString VLANClient::findTapAdapter(QString& connectionName)
{
    return hostconfig::findInstalledTapAdapter(connectionName);
}

void VLANClient::startTapAdapter(const QString& virtualIp)
{
    if (tapRunning)
        return;
    if (tapHandle != adapter::invalidDevice()) {
        stopTapAdapter();
        if (tapHandle != adapter::invalidDevice())
            return; // the last engine still holds the device
    }
    // A registry read, quick enough here; it names the interface the journal needs.
    QString connectionName;
    const QString instanceId = findTapAdapter(connectionName);
    if (instanceId.isEmpty()) {
        showAdapterFailure(QStringLiteral("Driver Missing"), QString::fromUtf8(tap::kMissingText));
        return;
    }
    journalBroadcasts(connectionName, virtualIp);
    beginBringUp(virtualIp, [instanceId, connectionName, virtualIp, overhead = tunnelOverhead(),
                             hold = adapterBringUp.hold] {
        return bringup::layer2(instanceId, connectionName, virtualIp, overhead, hold);
    });
}

// What bringup::layer2 made, on the GUI thread, for the room it was made for.
void VLANClient::takeTapAdapter(const bringup::Made& made)
{
    tapHandle = made.device;
    tapRunning = true;
    if (!startEngine(tunnel::devicePort(tapHandle)))
        stopTapAdapter();
}

// Ends the engine (cancelling its pending read) before the device is closed.
// An engine thread that has not ended within the limit keeps the device
// open, and the handle stays so that a later stop or start can finish the job.
void VLANClient::stopTapAdapter()
{
    tapRunning = false;
    if (!stopEngine() || tapHandle == adapter::invalidDevice())
        return;
    tap::close(tapHandle);
    tapHandle = adapter::invalidDevice();
}
