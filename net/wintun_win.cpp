// The layer-3 adapter on Windows: wintun.dll, loaded by file name and used
// through its eight entry points, and the RIRODedo adapter's ring. Qt-free.
#include "net/wintun_api.h"

#include <algorithm>
#include <cstring>
#include <windows.h>

namespace {

using CreateAdapterFn = void*(WINAPI*)(LPCWSTR, LPCWSTR, const GUID*);
using StartSessionFn = void*(WINAPI*)(void*, DWORD);
using EndSessionFn = void(WINAPI*)(void*);
using CloseAdapterFn = void(WINAPI*)(void*);
using ReceivePacketFn = BYTE*(WINAPI*)(void*, DWORD*);
using ReleaseReceivePacketFn = void(WINAPI*)(void*, const BYTE*);
using AllocateSendPacketFn = BYTE*(WINAPI*)(void*, DWORD);
using SendPacketFn = void(WINAPI*)(void*, const BYTE*);
using GetReadWaitEventFn = HANDLE(WINAPI*)(void*);

// One library per process, never unloaded once complete.
HMODULE wintunModule = nullptr;
CreateAdapterFn createAdapterFn = nullptr;
StartSessionFn startSessionFn = nullptr;
EndSessionFn endSessionFn = nullptr;
CloseAdapterFn closeAdapterFn = nullptr;
ReceivePacketFn receivePacketFn = nullptr;
ReleaseReceivePacketFn releaseReceivePacketFn = nullptr;
AllocateSendPacketFn allocateSendPacketFn = nullptr;
SendPacketFn sendPacketFn = nullptr;
// Optional: without it the reader polls the ring every millisecond.
GetReadWaitEventFn getReadWaitEventFn = nullptr;
// Set by wakeReader, cleared by startSession (one adapter per process).
HANDLE wakeEvent = nullptr;

template <typename Fn> bool resolve(Fn& target, const char* name)
{
    // Through void(*)() so that the compiler accepts the function type change.
    target = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(wintunModule, name)));
    return target != nullptr;
}

} // namespace

namespace wintun {

bool load()
{
    if (wintunModule)
        return true;
    wintunModule = LoadLibraryA("wintun.dll");
    if (!wintunModule)
        return false;
    const bool complete =
        resolve(createAdapterFn, "WintunCreateAdapter") && resolve(startSessionFn, "WintunStartSession") &&
        resolve(endSessionFn, "WintunEndSession") && resolve(closeAdapterFn, "WintunCloseAdapter") &&
        resolve(receivePacketFn, "WintunReceivePacket") &&
        resolve(releaseReceivePacketFn, "WintunReleaseReceivePacket") &&
        resolve(allocateSendPacketFn, "WintunAllocateSendPacket") &&
        resolve(sendPacketFn, "WintunSendPacket");
    if (complete) {
        resolve(getReadWaitEventFn, "WintunGetReadWaitEvent");
        if (!wakeEvent)
            wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    } else {
        // A library without every entry point would crash at its first use.
        FreeLibrary(wintunModule);
        wintunModule = nullptr;
    }
    return complete;
}

Adapter createAdapter(const char16_t* name, const char16_t* tunnelType, const std::uint8_t* requestedGuid)
{
    GUID guid;
    std::memcpy(&guid, requestedGuid, sizeof guid);
    return static_cast<Adapter>(
        createAdapterFn(reinterpret_cast<LPCWSTR>(name), reinterpret_cast<LPCWSTR>(tunnelType), &guid));
}

Session startSession(Adapter adapter, std::uint32_t capacity)
{
    ResetEvent(wakeEvent);
    return static_cast<Session>(startSessionFn(adapter, static_cast<DWORD>(capacity)));
}

void endSession(Session session)
{
    endSessionFn(session);
}

void closeAdapter(Adapter adapter)
{
    closeAdapterFn(adapter);
}

std::uint8_t* receivePacket(Session session, std::uint32_t* size)
{
    DWORD packetSize = 0;
    BYTE* packet = receivePacketFn(session, &packetSize);
    *size = packet ? static_cast<std::uint32_t>(packetSize) : 0;
    return packet;
}

void releaseReceivePacket(Session session, const std::uint8_t* packet)
{
    releaseReceivePacketFn(session, packet);
}

std::uint8_t* allocateSendPacket(Session session, std::uint32_t size)
{
    return allocateSendPacketFn(session, static_cast<DWORD>(size));
}

void sendPacket(Session session, const std::uint8_t* packet)
{
    sendPacketFn(session, packet);
}

void waitForPacket(Session session)
{
    // The ring's read-wait event, when the library has it, lets an idle reader sleep.
    const HANDLE ready = getReadWaitEventFn ? getReadWaitEventFn(session) : nullptr;
    if (ready) {
        const HANDLE events[2] = {ready, wakeEvent};
        WaitForMultipleObjects(2, events, FALSE, INFINITE);
    } else if (WaitForSingleObject(wakeEvent, 0) != WAIT_OBJECT_0) {
        Sleep(1);
    }
}

void wakeReader(Session)
{
    SetEvent(wakeEvent);
}

namespace {

class RingDevice : public adapter::Device
{
public:
    RingDevice(Adapter adapter, Session session) : adapter_(adapter), session_(session) {}
    // The ring ends before its adapter closes.
    ~RingDevice() override
    {
        if (session_)
            endSession(session_);
        closeAdapter(adapter_);
    }
    bool start() override
    {
        if (!session_)
            session_ = startSession(adapter_, kRingCapacity);
        return session_ != nullptr;
    }
    std::size_t receive(unsigned char* buffer, std::size_t capacity) override
    {
        std::uint32_t size = 0;
        std::uint8_t* packet = receivePacket(session_, &size);
        if (!packet)
            return 0;
        // Copied before the packet's space goes back to the ring.
        const std::size_t n = std::min<std::size_t>(size, capacity);
        std::memcpy(buffer, packet, n);
        releaseReceivePacket(session_, packet);
        return n;
    }
    void wait() override { waitForPacket(session_); }
    void wake() override { wakeReader(session_); }
    void write(const unsigned char* data, std::size_t length) override
    {
        std::uint8_t* space = allocateSendPacket(session_, static_cast<std::uint32_t>(length));
        if (!space)
            return; // ring full or packet too large: dropped
        std::memcpy(space, data, length);
        sendPacket(session_, space);
    }

private:
    Adapter adapter_;
    Session session_;
};

} // namespace

std::unique_ptr<adapter::Device> ringDevice(Adapter adapter, Session session)
{
    return std::make_unique<RingDevice>(adapter, session);
}

} // namespace wintun

namespace adapter {

Opened openLayer3()
{
    if (!wintun::load())
        return {nullptr,
                Failure{"Driver Error", "Failed to load wintun.dll! Make sure it is in the same folder "
                                        "as the executable."}};
    const std::uint8_t requestedGuid[16] = {};
    const wintun::Adapter made = wintun::createAdapter(u"RIRODedo", u"RIRODedo", requestedGuid);
    if (!made)
        return {nullptr, Failure{"Permission Error",
                                 "Failed to create Wintun adapter. Please run the app as Administrator!"}};
    Sleep(2000); // the new adapter settles before it is configured
    return {wintun::ringDevice(made, nullptr), std::nullopt};
}

} // namespace adapter
