// Layer-3 platform layer on Windows: wintun.dll, loaded by file name and
// used through its eight entry points. Qt-free.
#include "net/wintun_api.h"

#include <windows.h>

#include <cstring>

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

template <typename Fn>
bool resolve(Fn& target, const char* name)
{
    // Through void(*)() so that the compiler accepts the function type change.
    target = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(wintunModule, name)));
    return target != nullptr;
}

} // namespace

namespace wintun {

const char* const kLoadFailedText =
    "Failed to load wintun.dll! Make sure it is in the same folder as the executable.";
const char* const kCreateFailedText = "Failed to create Wintun adapter. Please run the app as Administrator!";

adapter::Failure createFailure()
{
    return {"Permission Error", kCreateFailedText};
}

bool load()
{
    if (wintunModule)
        return true;
    wintunModule = LoadLibraryA("wintun.dll");
    if (!wintunModule)
        return false;
    const bool complete = resolve(createAdapterFn, "WintunCreateAdapter") &&
                          resolve(startSessionFn, "WintunStartSession") &&
                          resolve(endSessionFn, "WintunEndSession") &&
                          resolve(closeAdapterFn, "WintunCloseAdapter") &&
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
    return static_cast<Adapter>(createAdapterFn(reinterpret_cast<LPCWSTR>(name),
                                                reinterpret_cast<LPCWSTR>(tunnelType), &guid));
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

void settleAdapter()
{
    Sleep(2000);
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

} // namespace wintun
