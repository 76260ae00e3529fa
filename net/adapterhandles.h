// Handle types of the adapter back-ends, one definition per platform so that
// the client class declares its members once.
#pragma once

#include <cstdint>

namespace adapter {

#ifdef _WIN32
using DeviceHandle = void*; // HANDLE
using ThreadHandle = void*; // HANDLE
inline DeviceHandle invalidDevice() { return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)); }
#else
using DeviceHandle = int; // file descriptor
struct ReaderThread;      // owned, see net/reader_linux.cpp
using ThreadHandle = ReaderThread*;
inline DeviceHandle invalidDevice() { return -1; }
#endif

} // namespace adapter
