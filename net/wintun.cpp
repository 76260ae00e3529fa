// Layer-3 back-end: the RIRODedo adapter and its ring, carried by the engine.
#include "app/vlanclient.h"
#include "net/hostconfig.h"
#include "net/wintun_api.h"

void VLANClient::startWintunAdapter(const QString& virtualIp)
{
    if (wintunRunning)
        return;
    if (wintunAdapter) {
        stopWintunAdapter();
        if (wintunAdapter)
            return; // the last engine still holds the adapter; nothing can be created beside it
    }
    journalBroadcasts(QLatin1String(hostconfig::kLayer3AdapterName), virtualIp);
    beginBringUp(virtualIp, [virtualIp, overhead = tunnelOverhead(), hold = adapterBringUp.hold] {
        return bringup::layer3(virtualIp, overhead, hold);
    });
}

// What bringup::layer3 made, on the GUI thread, for the room it was made for.
void VLANClient::takeWintunAdapter(const bringup::Made& made)
{
    if (!made.session)
        return; // no message: the player stays in the room without an adapter
    wintunAdapter = made.adapter;
    wintunSession = made.session;
    wintunRunning = true;
    if (!startEngine(tunnel::ringPort(wintunSession)))
        stopWintunAdapter();
}

// Ends the engine first, then the ring, then the adapter. An engine thread
// that has not ended within the limit keeps its ring and adapter, and the
// handles stay so that a later stop or start can finish the job.
void VLANClient::stopWintunAdapter()
{
    wintunRunning = false;
    if (!stopEngine())
        return;
    if (wintunSession) {
        wintun::endSession(wintunSession);
        wintunSession = nullptr;
    }
    if (wintunAdapter) {
        wintun::closeAdapter(wintunAdapter);
        wintunAdapter = nullptr;
    }
}
