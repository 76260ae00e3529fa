// The stand-in wintun.dll as the test sees it: never linked, it comes in
// through wintun::load() alone, so its extra entry points are looked up.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <winsock2.h> // before windows.h, for the tests that use sockets

namespace fakewintun {

// Counts the library's process attaches; it survives unloading.
constexpr char kAttachCounter[] = "PELLORA_FAKE_WINTUN_ATTACHES";

inline int attachCount()
{
    char text[16] = {};
    return GetEnvironmentVariableA(kAttachCounter, text, sizeof text) ? std::atoi(text) : 0;
}

// FakeWintunQueue(data, size), FakeWintunJournal(buffer, capacity) and
// FakeWintunLeftOpen() (adapters, sessions and packets not given back).
template <typename Fn> Fn* entry(const char* name)
{
    const FARPROC proc = GetProcAddress(GetModuleHandleA("wintun.dll"), name);
    return reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(proc));
}

inline std::string hex(const unsigned char* data, size_t size)
{
    std::string out;
    for (size_t i = 0; i < size; ++i)
        out += {"0123456789abcdef"[data[i] >> 4], "0123456789abcdef"[data[i] & 15]};
    return out;
}

inline std::string journal()
{
    static char buffer[1 << 16];
    const size_t length = entry<size_t(char*, size_t)>("FakeWintunJournal")(buffer, sizeof buffer);
    return std::string(buffer, std::min(length, sizeof buffer));
}

} // namespace fakewintun
