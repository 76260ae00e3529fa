// A stand-in for the Wintun driver library: the eight entry points with the
// signatures the client imports, an in-memory ring, and a journal of every
// call that the tests read back. Built as wintun.dll twice: complete, and
// without WintunSendPacket (PELLORA_FAKE_WITHOUT_SEND) to stand for a
// library of the wrong version.
//
// Journal lines (handles are numbered in creation order: A1, S1, ...; one the
// library does not know shows as "unknown"; empty polls are not noted):
//   WintunCreateAdapter name=<name> type=<type> guid=<32 hex digits> -> A1|null
//   WintunStartSession A1 capacity=0x400000 -> S1|null
//   WintunReceivePacket S1 -> <size> bytes
//   WintunReleaseReceivePacket S1 <size> bytes|unknown
//   WintunAllocateSendPacket S1 size=<n> -> ok|null
//   WintunSendPacket S1 <hex of the bytes>|unknown
//   WintunEndSession S1
//   WintunCloseAdapter A1 [with session running]
#include "tests/windows/fakewintun.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#define FAKE_EXPORT extern "C" __declspec(dllexport)

namespace {

using Bytes = std::vector<BYTE>;
struct Adapter {
    int id;
    int sessions = 0;
};
struct Session {
    int id;
    Adapter* adapter;
};

// The engine's two threads call in while the test's thread looks on.
SRWLOCK lock = SRWLOCK_INIT;
struct Locked {
    Locked() { AcquireSRWLockExclusive(&lock); }
    ~Locked() { ReleaseSRWLockExclusive(&lock); }
};

std::string journal;
std::map<const void*, Adapter*> adapters;
std::map<const void*, Session*> sessions;
std::deque<Bytes> inbound;
std::map<const BYTE*, Bytes*> handedOut; // received, not yet released
std::map<const BYTE*, Bytes*> allocated; // allocated, not yet sent
std::string failNext;
int nextAdapterId = 1;
int nextSessionId = 1;

void note(const std::string& line) { journal += line + '\n'; }

template <typename Map> std::string nameOf(const Map& map, const void* handle, char kind)
{
    const auto it = map.find(handle);
    return it == map.end() ? "unknown" : kind + std::to_string(it->second->id);
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
    const bool fail = failNext == entryPoint;
    if (fail)
        failNext.clear();
    return fail;
}

} // namespace

FAKE_EXPORT void* WINAPI WintunCreateAdapter(const WCHAR* name, const WCHAR* type, const GUID* guid)
{
    Locked guard;
    const auto narrow = [](const WCHAR* text) {
        std::string out = text ? "" : "null";
        for (; text && *text; ++text)
            out += *text < 0x80 ? static_cast<char>(*text) : '?';
        return out;
    };
    const std::string line = "WintunCreateAdapter name=" + narrow(name) + " type=" + narrow(type) + " guid=" +
                             (guid ? hex(reinterpret_cast<const BYTE*>(guid), sizeof(GUID)) : std::string("null"));
    if (takeFailure("WintunCreateAdapter")) {
        note(line + " -> null");
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* adapter = new Adapter{nextAdapterId++};
    adapters[adapter] = adapter;
    note(line + " -> " + nameOf(adapters, adapter, 'A'));
    return adapter;
}

FAKE_EXPORT void* WINAPI WintunStartSession(void* adapterHandle, DWORD capacity)
{
    Locked guard;
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(capacity));
    const std::string line = "WintunStartSession " + nameOf(adapters, adapterHandle, 'A') + " capacity=" + text;
    const auto it = adapters.find(adapterHandle);
    if (takeFailure("WintunStartSession") || it == adapters.end()) {
        note(line + " -> null");
        return nullptr;
    }
    auto* session = new Session{nextSessionId++, it->second};
    ++it->second->sessions;
    sessions[session] = session;
    note(line + " -> " + nameOf(sessions, session, 'S'));
    return session;
}

FAKE_EXPORT void WINAPI WintunEndSession(void* sessionHandle)
{
    Locked guard;
    note("WintunEndSession " + nameOf(sessions, sessionHandle, 'S'));
    const auto it = sessions.find(sessionHandle);
    if (it == sessions.end())
        return;
    --it->second->adapter->sessions;
    delete it->second;
    sessions.erase(it);
}

FAKE_EXPORT void WINAPI WintunCloseAdapter(void* adapterHandle)
{
    Locked guard;
    const auto it = adapters.find(adapterHandle);
    const bool busy = it != adapters.end() && it->second->sessions > 0;
    note("WintunCloseAdapter " + nameOf(adapters, adapterHandle, 'A') + (busy ? " with session running" : ""));
    if (it == adapters.end())
        return;
    delete it->second;
    adapters.erase(it);
}

FAKE_EXPORT BYTE* WINAPI WintunReceivePacket(void* sessionHandle, DWORD* packetSize)
{
    Locked guard;
    if (!sessions.count(sessionHandle) || inbound.empty()) {
        *packetSize = 0xDEADBEEF; // callers must not read the size of a packet that did not come
        SetLastError(sessions.count(sessionHandle) ? ERROR_NO_MORE_ITEMS : ERROR_HANDLE_EOF);
        return nullptr;
    }
    auto* packet = new Bytes(std::move(inbound.front()));
    inbound.pop_front();
    handedOut[packet->data()] = packet;
    *packetSize = static_cast<DWORD>(packet->size());
    note("WintunReceivePacket " + nameOf(sessions, sessionHandle, 'S') + " -> " + std::to_string(packet->size()) +
         " bytes");
    return packet->data();
}

FAKE_EXPORT void WINAPI WintunReleaseReceivePacket(void* sessionHandle, const BYTE* packet)
{
    Locked guard;
    const auto it = handedOut.find(packet);
    note("WintunReleaseReceivePacket " + nameOf(sessions, sessionHandle, 'S') + " " +
         (it == handedOut.end() ? "unknown" : std::to_string(it->second->size()) + " bytes"));
    if (it == handedOut.end())
        return;
    std::fill(it->second->begin(), it->second->end(), BYTE{0xDD}); // a late reader sees the poison
    delete it->second;
    handedOut.erase(it);
}

FAKE_EXPORT BYTE* WINAPI WintunAllocateSendPacket(void* sessionHandle, DWORD packetSize)
{
    Locked guard;
    const std::string line =
        "WintunAllocateSendPacket " + nameOf(sessions, sessionHandle, 'S') + " size=" + std::to_string(packetSize);
    if (takeFailure("WintunAllocateSendPacket") || !sessions.count(sessionHandle) || packetSize > 0xFFFF) {
        note(line + " -> null");
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return nullptr;
    }
    auto* space = new Bytes(packetSize, BYTE{0xCC});
    allocated[space->data()] = space;
    note(line + " -> ok");
    return space->data();
}

#ifndef PELLORA_FAKE_WITHOUT_SEND
FAKE_EXPORT void WINAPI WintunSendPacket(void* sessionHandle, const BYTE* packet)
{
    Locked guard;
    const auto it = allocated.find(packet);
    note("WintunSendPacket " + nameOf(sessions, sessionHandle, 'S') + " " +
         (it == allocated.end() ? "unknown" : hex(it->second->data(), it->second->size())));
    if (it == allocated.end())
        return;
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
    nextAdapterId = nextSessionId = 1;
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
    if (reason == DLL_PROCESS_ATTACH) { // counted where a reloaded library still sees it
        char text[16];
        std::snprintf(text, sizeof text, "%d", fakewintun::attachCount() + 1);
        SetEnvironmentVariableA(fakewintun::kAttachCounter, text);
    }
    return TRUE;
}
