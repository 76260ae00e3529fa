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

// What one reader keeps between reads (an event on Windows).
struct ReadContext;
ReadContext* beginReading();
void endReading(ReadContext* context);

// Reads one frame; blocks until a frame arrives or cancel() is called.
// Returns the frame's size, or 0 when nothing was read.
int read(Device device, ReadContext* context, unsigned char* buffer, int capacity);
// Writes one frame, waiting for it to complete; a failure loses the frame.
void write(Device device, const unsigned char* frame, int length);
// Ends a blocked read at once (and, on Linux, every later one).
void cancel(Device device);
void close(Device device);

// What the player is told when no adapter is found or the device cannot be
// opened, in this platform's terms.
extern const char* const kMissingText;
extern const char* const kOpenFailedText;

} // namespace tap
