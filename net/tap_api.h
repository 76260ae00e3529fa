// The layer-2 platform layer: open, read, write, cancel and close of the TAP
// device. Windows: a TAP-Windows adapter with overlapped I/O. Linux: a TAP
// interface with a fixed name. Qt-free.
#pragma once

#include "net/adapterhandles.h"

#include <string>

namespace tap {

using Device = adapter::DeviceHandle;

constexpr int kFrameBufferSize = 2048;

// Where the device of an adapter with this instance id is opened.
std::string devicePath(const std::string& instanceId);

// Opens the device for exclusive use; adapter::invalidDevice() on failure.
Device open(const std::string& path);
// Marks the virtual cable connected.
void setMediaConnected(Device device);

// What one thread keeps for its reads or writes (an event and an overlapped
// read on Windows).
struct ReadContext;
ReadContext* beginReading();
// Ends a read still pending on `device` (still open) and frees the context.
void endReading(Device device, ReadContext* context);

// One frame without waiting: its size, or 0 when none is ready (Windows
// leaves a read pending for the next call).
int tryRead(Device device, ReadContext* context, unsigned char* buffer, int capacity);
// Blocks until tryRead may find a frame or cancel() was called.
void wait(Device device, ReadContext* context);
// Writes one frame, waiting for it to complete; a failure loses the frame.
void write(Device device, ReadContext* context, const unsigned char* frame, int length);
// Ends a blocked read at once (and, on Linux, every later one).
void cancel(Device device);
void close(Device device);

// What the player is told when no adapter is found or the device cannot be
// opened, in this platform's terms.
extern const char* const kMissingText;
// Why the last open failed (Linux tells the causes apart).
adapter::Failure openFailure();

} // namespace tap
