// A stand-in for the Wintun driver library: its eight entry points, an
// in-memory ring and a journal of the calls on the one adapter A and session S.
#include "tests/windows/fakewintun.h"

#include <deque>
#include <map>
#include <vector>

#define FAKE_EXPORT extern "C" __declspec(dllexport)

namespace {

using Bytes = std::vector<BYTE>;

// The engine's two threads call in while the test's thread looks on.
SRWLOCK lock = SRWLOCK_INIT;
struct Locked
{
    Locked() { AcquireSRWLockExclusive(&lock); }
    ~Locked() { ReleaseSRWLockExclusive(&lock); }
};

std::string journal;
int adapterObject; // the one adapter ("A") and session ("S")
int sessionObject;
int openObjects = 0;
std::deque<Bytes> inbound;
std::map<const BYTE*, Bytes> outstanding; // received and not released, or allocated and not sent
// PELLORA_FAKE_WINTUN_ECHO set: each IPv4 packet the client writes into the
// adapter is answered, as a host behind it would, from its destination to its
// source (the checksum holds: the two addresses only trade places).
bool echo = false;

std::string nameOf(const void* handle)
{
    return handle == &adapterObject ? "A" : handle == &sessionObject ? "S" : "unknown";
}

BYTE* handOut(Bytes bytes)
{
    BYTE* data = bytes.data(); // a moved vector keeps its storage
    outstanding.emplace(data, std::move(bytes));
    return data;
}

Bytes takeBack(const BYTE* data)
{
    auto node = outstanding.extract(data);
    return node ? std::move(node.mapped()) : Bytes();
}

} // namespace

FAKE_EXPORT void* WINAPI WintunCreateAdapter(const WCHAR* name, const WCHAR* type, const GUID* guid)
{
    Locked guard;
    ++openObjects;
    journal += "WintunCreateAdapter name=" + std::string(name, name + lstrlenW(name)) +
               " type=" + std::string(type, type + lstrlenW(type)) +
               " guid=" + fakewintun::hex(reinterpret_cast<const BYTE*>(guid), sizeof(GUID)) + " -> A\n";
    return &adapterObject;
}

FAKE_EXPORT void* WINAPI WintunStartSession(void* adapter, DWORD capacity)
{
    Locked guard;
    ++openObjects;
    journal += "WintunStartSession " + nameOf(adapter) + " capacity=" + std::to_string(capacity) + " -> S\n";
    return &sessionObject;
}

FAKE_EXPORT void WINAPI WintunEndSession(void* session)
{
    Locked guard;
    journal += "WintunEndSession " + nameOf(session) + "\n";
    --openObjects;
}

FAKE_EXPORT void WINAPI WintunCloseAdapter(void* adapter)
{
    Locked guard;
    journal += "WintunCloseAdapter " + nameOf(adapter) + "\n";
    --openObjects;
}

FAKE_EXPORT BYTE* WINAPI WintunReceivePacket(void* session, DWORD* packetSize)
{
    Locked guard;
    if (session != &sessionObject || inbound.empty()) {
        *packetSize = 0xDEADBEEF; // callers must not read the size of a packet that did not come
        SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    *packetSize = static_cast<DWORD>(inbound.front().size());
    BYTE* packet = handOut(std::move(inbound.front()));
    inbound.pop_front();
    return packet;
}

FAKE_EXPORT void WINAPI WintunReleaseReceivePacket(void*, const BYTE* packet)
{
    Locked guard;
    takeBack(packet);
}

FAKE_EXPORT BYTE* WINAPI WintunAllocateSendPacket(void* session, DWORD packetSize)
{
    Locked guard;
    return session == &sessionObject ? handOut(Bytes(packetSize, BYTE{0xCC})) : nullptr;
}

#ifndef PELLORA_FAKE_WITHOUT_SEND
FAKE_EXPORT void WINAPI WintunSendPacket(void* session, const BYTE* packet)
{
    Locked guard;
    const Bytes bytes = takeBack(packet);
    journal +=
        "WintunSendPacket " + nameOf(session) + " " + fakewintun::hex(bytes.data(), bytes.size()) + "\n";
    if (echo && bytes.size() >= 20 && bytes[0] >> 4 == 4) {
        Bytes answer = bytes;
        std::swap_ranges(answer.begin() + 12, answer.begin() + 16, answer.begin() + 16);
        inbound.push_back(std::move(answer));
    }
}
#endif

FAKE_EXPORT size_t FakeWintunJournal(char* buffer, size_t capacity)
{
    Locked guard;
    journal.copy(buffer, capacity);
    return journal.size();
}

FAKE_EXPORT void FakeWintunQueue(const BYTE* data, DWORD size)
{
    Locked guard;
    inbound.emplace_back(data, data + size);
}

FAKE_EXPORT int FakeWintunLeftOpen()
{
    Locked guard;
    return static_cast<int>(openObjects + outstanding.size());
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        SetEnvironmentVariableA(fakewintun::kAttachCounter,
                                std::to_string(fakewintun::attachCount() + 1).c_str());
        echo = GetEnvironmentVariableA("PELLORA_FAKE_WINTUN_ECHO", nullptr, 0) > 0;
    }
    return TRUE;
}
