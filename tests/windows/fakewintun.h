// What the tests ask of the stand-in wintun.dll beyond its eight entry
// points. The tests never link the library: it must come in through
// wintun::load() alone, so they look these up in the loaded module.
#pragma once

#include <cstdlib>
#include <string>
#include <windows.h>

namespace fakewintun {

// Every call to an entry point, one line each, in call order; see fakewintun.cpp.
using JournalFn = size_t (*)(char* buffer, size_t capacity);
// Forgets the journal, the queued packets and the counters, and numbers
// handles from 1 again (objects still open stay open).
using ResetFn = void (*)();
// The next call of that entry point ("WintunCreateAdapter",
// "WintunStartSession" or "WintunAllocateSendPacket") returns null.
using FailNextFn = void (*)(const char* entryPoint);
// A packet that the adapter "received", for WintunReceivePacket to hand out.
using QueueFn = void (*)(const BYTE* data, DWORD size);
// Adapters and sessions not yet closed or ended.
using OpenObjectsFn = int (*)();
// Packets handed out by WintunReceivePacket and not yet released.
using UnreleasedFn = int (*)();

// Environment variable that the library counts its process attaches in; it
// survives unloading, so a test can tell how often the library was loaded.
constexpr char kAttachCounter[] = "PELLORA_FAKE_WINTUN_ATTACHES";

inline int attachCount()
{
    char text[16] = {};
    if (!GetEnvironmentVariableA(kAttachCounter, text, sizeof text))
        return 0;
    return std::atoi(text);
}

template <typename Fn> Fn control(const char* name)
{
    const HMODULE module = GetModuleHandleA("wintun.dll");
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)))
                  : nullptr;
}

inline std::string journal()
{
    static char buffer[1 << 20];
    const auto fn = control<JournalFn>("FakeWintunJournal");
    if (!fn)
        return "<no library>";
    const size_t length = fn(buffer, sizeof buffer);
    return std::string(buffer, length < sizeof buffer ? length : sizeof buffer);
}

} // namespace fakewintun
