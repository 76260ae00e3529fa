// A stand-in for the Wintun driver library: the eight entry points with the
// signatures the client imports, an in-memory ring, and a journal of every
// call that the tests read back. Built as wintun.dll twice: complete, and
// without WintunSendPacket (PELLORA_FAKE_WITHOUT_SEND) to stand for a
// library of the wrong version.
//
// Journal lines (handles are numbered in creation order: A1, S1, ...):
//   WintunCreateAdapter name=<name> type=<type> guid=<32 hex digits> -> A1|null
//   WintunStartSession A1 capacity=0x400000 -> S1|null
//   WintunReceivePacket S1 -> <size> bytes          (empty polls are not noted)
//   WintunReleaseReceivePacket S1 <size> bytes|unknown
//   WintunAllocateSendPacket S1 size=<n> -> ok|null
//   WintunSendPacket S1 <hex of the bytes>|unknown
//   WintunEndSession S1
//   WintunCloseAdapter A1 [with session running]
// A handle the library does not know (never made, or already gone) shows as
// "unknown".
#include "tests/windows/fakewintun.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __declspec(dllexport)

namespace {

struct Adapter
{
    int id;
    int sessions = 0;
};
struct Session
{
    int id;
    Adapter* adapter;
};

// The reader thread receives while the test's main thread sends.
SRWLOCK lock = SRWLOCK_INIT;
struct Locked
{
    Locked() { AcquireSRWLockExclusive(&lock); }
    ~Locked() { ReleaseSRWLockExclusive(&lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

std::string journal;
std::map<const void*, Adapter*> adapters;
std::map<const void*, Session*> sessions;
std::deque<std::vector<BYTE>> inbound;
std::map<const BYTE*, std::vector<BYTE>*> handedOut; // received, not yet released
std::map<const BYTE*, std::vector<BYTE>*> allocated; // allocated, not yet sent
std::string failNext;
int nextAdapterId = 1;
int nextSessionId = 1;

void note(const std::string& line)
{
    journal += line;
    journal += '\n';
}

std::string adapterName(const void* handle)
{
    auto it = adapters.find(handle);
    return it == adapters.end() ? "unknown" : "A" + std::to_string(it->second->id);
}

std::string sessionName(const void* handle)
{
    auto it = sessions.find(handle);
    return it == sessions.end() ? "unknown" : "S" + std::to_string(it->second->id);
}

std::string narrow(const WCHAR* text)
{
    if (!text)
        return "null";
    std::string out;
    for (; *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::string hex(const BYTE* data, size_t size)
{
    std::string out;
    char digits[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        out += digits;
    }
    return out;
}

bool takeFailure(const char* entryPoint)
{
    if (failNext != entryPoint)
        return false;
    failNext.clear();
    return true;
}

} // namespace

FAKE_EXPORT void* WINAPI WintunCreateAdapter(const WCHAR* name, const WCHAR* tunnelType,
                                             const GUID* requestedGuid)
{
    Locked guard;
    std::string line =
        "WintunCreateAdapter name=" + narrow(name) + " type=" + narrow(tunnelType) +
        " guid=" + (requestedGuid ? hex(reinterpret_cast<const BYTE*>(requestedGuid), sizeof(GUID)) : "null");
    if (takeFailure("WintunCreateAdapter")) {
        note(line + " -> null");
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* adapter = new Adapter{nextAdapterId++};
    adapters[adapter] = adapter;
    note(line + " -> " + adapterName(adapter));
    return adapter;
}

FAKE_EXPORT void* WINAPI WintunStartSession(void* adapterHandle, DWORD capacity)
{
    Locked guard;
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(capacity));
    const std::string line = "WintunStartSession " + adapterName(adapterHandle) + " capacity=" + text;
    auto it = adapters.find(adapterHandle);
    if (takeFailure("WintunStartSession") || it == adapters.end()) {
        note(line + " -> null");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* session = new Session{nextSessionId++, it->second};
    ++it->second->sessions;
    sessions[session] = session;
    note(line + " -> " + sessionName(session));
    return session;
}

FAKE_EXPORT void WINAPI WintunEndSession(void* sessionHandle)
{
    Locked guard;
    note("WintunEndSession " + sessionName(sessionHandle));
    auto it = sessions.find(sessionHandle);
    if (it == sessions.end())
        return;
    --it->second->adapter->sessions;
    delete it->second;
    sessions.erase(it);
}

FAKE_EXPORT void WINAPI WintunCloseAdapter(void* adapterHandle)
{
    Locked guard;
    auto it = adapters.find(adapterHandle);
    const bool busy = it != adapters.end() && it->second->sessions > 0;
    note("WintunCloseAdapter " + adapterName(adapterHandle) + (busy ? " with session running" : ""));
    if (it == adapters.end())
        return;
    delete it->second;
    adapters.erase(it);
}

FAKE_EXPORT BYTE* WINAPI WintunReceivePacket(void* sessionHandle, DWORD* packetSize)
{
    Locked guard;
    if (!sessions.count(sessionHandle)) {
        note("WintunReceivePacket unknown");
        SetLastError(ERROR_HANDLE_EOF);
        return nullptr;
    }
    if (inbound.empty()) {
        // Callers must not read the size of a packet that did not come.
        *packetSize = 0xDEADBEEF;
        SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    auto* packet = new std::vector<BYTE>(std::move(inbound.front()));
    inbound.pop_front();
    handedOut[packet->data()] = packet;
    *packetSize = static_cast<DWORD>(packet->size());
    note("WintunReceivePacket " + sessionName(sessionHandle) + " -> " + std::to_string(packet->size()) +
         " bytes");
    return packet->data();
}

FAKE_EXPORT void WINAPI WintunReleaseReceivePacket(void* sessionHandle, const BYTE* packet)
{
    Locked guard;
    auto it = handedOut.find(packet);
    if (it == handedOut.end()) {
        note("WintunReleaseReceivePacket " + sessionName(sessionHandle) + " unknown");
        return;
    }
    note("WintunReleaseReceivePacket " + sessionName(sessionHandle) + " " +
         std::to_string(it->second->size()) + " bytes");
    // Whoever still reads the space after this sees the poison.
    std::fill(it->second->begin(), it->second->end(), BYTE{0xDD});
    delete it->second;
    handedOut.erase(it);
}

FAKE_EXPORT BYTE* WINAPI WintunAllocateSendPacket(void* sessionHandle, DWORD packetSize)
{
    Locked guard;
    const std::string line =
        "WintunAllocateSendPacket " + sessionName(sessionHandle) + " size=" + std::to_string(packetSize);
    if (takeFailure("WintunAllocateSendPacket") || !sessions.count(sessionHandle) || packetSize > 0xFFFF) {
        note(line + " -> null");
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return nullptr;
    }
    auto* space = new std::vector<BYTE>(packetSize, BYTE{0xCC});
    allocated[space->data()] = space;
    note(line + " -> ok");
    return space->data();
}

#ifndef PELLORA_FAKE_WITHOUT_SEND
FAKE_EXPORT void WINAPI WintunSendPacket(void* sessionHandle, const BYTE* packet)
{
    Locked guard;
    auto it = allocated.find(packet);
    if (it == allocated.end()) {
        note("WintunSendPacket " + sessionName(sessionHandle) + " unknown");
        return;
    }
    note("WintunSendPacket " + sessionName(sessionHandle) + " " +
         hex(it->second->data(), it->second->size()));
    delete it->second;
    allocated.erase(it);
}
#endif

FAKE_EXPORT size_t FakeWintunJournal(char* buffer, size_t capacity)
{
    Locked guard;
    journal.copy(buffer, capacity);
    return journal.size();
}

FAKE_EXPORT void FakeWintunReset()
{
    Locked guard;
    journal.clear();
    inbound.clear();
    failNext.clear();
    nextAdapterId = 1;
    nextSessionId = 1;
}

FAKE_EXPORT void FakeWintunFailNext(const char* entryPoint)
{
    Locked guard;
    failNext = entryPoint;
}

FAKE_EXPORT void FakeWintunQueue(const BYTE* data, DWORD size)
{
    Locked guard;
    inbound.emplace_back(data, data + size);
}

FAKE_EXPORT int FakeWintunOpenObjects()
{
    Locked guard;
    return static_cast<int>(adapters.size() + sessions.size());
}

FAKE_EXPORT int FakeWintunUnreleased()
{
    Locked guard;
    return static_cast<int>(handedOut.size());
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", fakewintun::attachCount() + 1);
        SetEnvironmentVariableA(fakewintun::kAttachCounter, text);
    }
    return TRUE;
}
