// Layer-3 back-end: the RIRODedo adapter and its ring, carried by the engine.
#include "app/vlanclient.h"
#include "net/hostconfig.h"
#include "net/wintun_api.h"

namespace {

const char16_t kAdapterName[] = u"RIRODedo";
const std::uint8_t kRequestedGuid[16] = {};

} // namespace

void VLANClient::startWintunAdapter(const QString& virtualIp)
{
    if (wintunRunning)
        return;
    if (wintunAdapter) {
        stopWintunAdapter();
        if (wintunAdapter)
            return; // the last engine still holds the adapter; nothing can be created beside it
    }
    if (!wintun::load()) {
        showAdapterFailure(QStringLiteral("Driver Error"), QString::fromUtf8(wintun::kLoadFailedText));
        return;
    }
    wintunAdapter = wintun::createAdapter(kAdapterName, kAdapterName, kRequestedGuid);
    if (!wintunAdapter) {
        const adapter::Failure failure = wintun::createFailure();
        showAdapterFailure(QString::fromUtf8(failure.title), QString::fromStdString(failure.text));
        return;
    }
    wintun::settleAdapter();
    hostconfig::configureLayer3(virtualIp, tunnelOverhead());
    captureBroadcasts(QLatin1String(hostconfig::kLayer3AdapterName), virtualIp, true);
    wintunSession = wintun::startSession(wintunAdapter, wintun::kRingCapacity);
    if (!wintunSession) {
        // No message: the player stays in the room without an adapter.
        wintun::closeAdapter(wintunAdapter);
        wintunAdapter = nullptr;
        return;
    }
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
