// Layer-3 back-end: the RIRODedo adapter, its ring and the reader thread.
#include "app/vlanclient.h"
#include "net/hostconfig.h"
#include "net/readerthread.h"
#include "net/wintun_api.h"

namespace {

const char16_t kAdapterName[] = u"RIRODedo";
const std::uint8_t kRequestedGuid[16] = {};

void wakeSession(void* session)
{
    if (session)
        wintun::wakeReader(static_cast<wintun::Session>(session));
}

// Ends the reader first, then the ring, then the adapter. A reader that has
// not ended within the limit keeps its ring and adapter, and the handles stay
// so that a later stop or start can finish the job.
bool releaseWintun(adapter::ThreadHandle& thread, wintun::Session& session, wintun::Adapter& adapter)
{
    if (!adapter::stopReader(thread, wakeSession, session))
        return false;
    if (session) {
        wintun::endSession(session);
        session = nullptr;
    }
    if (adapter) {
        wintun::closeAdapter(adapter);
        adapter = nullptr;
    }
    return true;
}

} // namespace

void VLANClient::startWintunAdapter(const QString& virtualIp)
{
    if (wintunRunning)
        return;
    if (!releaseWintun(wintunThread, wintunSession, wintunAdapter))
        return; // the last reader still holds the adapter; nothing can be created beside it
    if (!wintun::load()) {
        showAdapterFailure(QStringLiteral("Driver Error"), QString::fromUtf8(wintun::kLoadFailedText));
        return;
    }
    wintunAdapter = wintun::createAdapter(kAdapterName, kAdapterName, kRequestedGuid);
    if (!wintunAdapter) {
        showAdapterFailure(QStringLiteral("Permission Error"), QString::fromUtf8(wintun::kCreateFailedText));
        return;
    }
    wintun::settleAdapter();
    hostconfig::configureLayer3(virtualIp);
    wintunSession = wintun::startSession(wintunAdapter, wintun::kRingCapacity);
    if (!wintunSession) {
        // No message: the player stays in the room without an adapter.
        wintun::closeAdapter(wintunAdapter);
        wintunAdapter = nullptr;
        return;
    }
    wintunRunning = true;
    wintunThread = adapter::startThread(&VLANClient::wintunReaderThread, this);
    if (!wintunThread) {
        wintunRunning = false;
        releaseWintun(wintunThread, wintunSession, wintunAdapter);
    }
}

void VLANClient::stopWintunAdapter()
{
    wintunRunning = false;
    releaseWintun(wintunThread, wintunSession, wintunAdapter);
}

unsigned long VLANClient::wintunReaderThread(void* param)
{
    auto* client = static_cast<VLANClient*>(param);
    // Stop changes the session only after this thread has ended.
    const wintun::Session session = client->wintunSession;
    while (client->wintunRunning) {
        std::uint32_t size = 0;
        if (std::uint8_t* packet = wintun::receivePacket(session, &size)) {
            // Copied before the packet's space goes back to the ring.
            client->forwardToRelay(packet, static_cast<int>(size));
            wintun::releaseReceivePacket(session, packet);
        } else {
            wintun::waitForPacket(session);
        }
    }
    return 0;
}
