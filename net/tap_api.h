// The TAP-Windows device: open, read, write, cancel and close, with
// overlapped I/O. The layer-2 adapter (tap_win.cpp) is built on them. Qt-free.
#pragma once

#include "net/adapter.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tap {

using Handle = void*; // HANDLE opened for overlapped I/O
inline Handle invalidDevice()
{
    return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
}

constexpr int kFrameBufferSize = 2048;

// Where the device of an adapter with this instance id is opened.
std::string devicePath(const std::string& instanceId);

// Opens the device for exclusive use; invalidDevice() on failure.
Handle open(const std::string& path);
// Marks the virtual cable connected.
void setMediaConnected(Handle device);

// What one thread keeps for its reads or writes: an event and an overlapped read.
struct ReadContext;
ReadContext* beginReading();
// Ends a read still pending on `device` (still open) and frees the context.
void endReading(Handle device, ReadContext* context);

// One frame without waiting: its size, or 0 when none is ready (a read stays
// pending for the next call).
int tryRead(Handle device, ReadContext* context, unsigned char* buffer, int capacity);
// Blocks until tryRead may find a frame or cancel() was called.
void wait(Handle device, ReadContext* context);
// Writes one frame, waiting for it to complete; a failure loses the frame.
void write(Handle device, ReadContext* context, const unsigned char* frame, int length);
// Ends a blocked read at once.
void cancel(Handle device);
void close(Handle device);

// An open device as an adapter, which closes it.
std::unique_ptr<adapter::Device> frameDevice(Handle device);

} // namespace tap
