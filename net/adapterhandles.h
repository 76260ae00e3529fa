// Handle types of the adapter back-ends. The client class declares its
// members once with these; each platform gives them its own meaning.
#pragma once

#include <cstdint>
#include <string>

namespace adapter {

// Why an adapter could not be made, for the player: the title of the message
// box and one sentence that names the cause and the one step that fixes it.
struct Failure {
    const char* title;
    std::string text;
};

#ifdef _WIN32
using DeviceHandle = void*; // HANDLE opened for overlapped I/O
using ThreadHandle = void*; // HANDLE of the reader thread
inline DeviceHandle invalidDevice() { return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)); }
#else
struct LinuxDevice; // TAP descriptor plus the descriptor that wakes its reader (net/tap_linux.cpp)
struct LinuxThread; // reader thread that can be waited for with a time limit (net/thread_linux.cpp)
using DeviceHandle = LinuxDevice*;
using ThreadHandle = LinuxThread*;
inline DeviceHandle invalidDevice() { return nullptr; }
#endif

// Entry point of a reader thread; its argument is a heap-allocated shared
// reference to the engine's state, which the thread takes over and frees.
using ThreadEntry = unsigned long (*)(void*);

} // namespace adapter

namespace wintun {

// Opaque: the library's adapter and ring on Windows, the TUN device and its
// buffers on Linux.
struct AdapterObject;
struct SessionObject;
using Adapter = AdapterObject*;
using Session = SessionObject*;

} // namespace wintun
