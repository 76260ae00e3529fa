// Layer-2 back-end: the TAP device and its reader thread.
#include "app/vlanclient.h"
#include "net/hostconfig.h"
#include "net/readerthread.h"
#include "net/tap_api.h"

namespace {

void cancelDevice(void* device)
{
    tap::cancel(static_cast<tap::Device>(device));
}

// Ends the reader (cancelling its pending read) before the device is closed.
// A reader that has not ended within the limit keeps the device open, and
// the handles stay so that a later stop or start can finish the job.
bool releaseTap(adapter::ThreadHandle& thread, adapter::DeviceHandle& device)
{
    const bool open = device != adapter::invalidDevice();
    if (!adapter::stopReader(thread, open ? cancelDevice : nullptr, device))
        return false;
    if (open) {
        tap::close(device);
        device = adapter::invalidDevice();
    }
    return true;
}

} // namespace

QString VLANClient::findTapAdapter(QString& connectionName)
{
    return hostconfig::findInstalledTapAdapter(connectionName);
}

void VLANClient::startTapAdapter(const QString& virtualIp)
{
    if (tapRunning)
        return;
    if (!releaseTap(tapThread, tapHandle))
        return; // the last reader still holds the device
    QString connectionName;
    const QString instanceId = findTapAdapter(connectionName);
    if (instanceId.isEmpty()) {
        showAdapterFailure(QStringLiteral("Driver Missing"), QString::fromUtf8(tap::kMissingText));
        return;
    }
    tapHandle = tap::open(tap::devicePath(instanceId.toStdString()));
    if (tapHandle == adapter::invalidDevice()) {
        showAdapterFailure(QStringLiteral("Permission Error"), QString::fromUtf8(tap::kOpenFailedText));
        return;
    }
    tap::setMediaConnected(tapHandle);
    hostconfig::configureLayer2(connectionName, virtualIp);
    tapRunning = true;
    tapThread = adapter::startThread(&VLANClient::tapReaderThread, this);
    if (!tapThread) {
        tapRunning = false;
        releaseTap(tapThread, tapHandle);
    }
}

void VLANClient::stopTapAdapter()
{
    tapRunning = false;
    releaseTap(tapThread, tapHandle);
}

unsigned long VLANClient::tapReaderThread(void* param)
{
    auto* client = static_cast<VLANClient*>(param);
    // Stop closes the device only after this thread has ended.
    const tap::Device device = client->tapHandle;
    tap::ReadContext* context = tap::beginReading();
    unsigned char frame[tap::kFrameBufferSize];
    while (client->tapRunning) {
        const int size = tap::read(device, context, frame, static_cast<int>(sizeof frame));
        if (size > 0 && client->tapRunning)
            client->forwardToRelay(frame, size);
    }
    tap::endReading(context);
    return 0;
}
