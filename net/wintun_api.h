// The layer-3 platform layer: the eight operations of the Wintun driver
// library. On Windows they call wintun.dll, loaded by name at the first use;
// on Linux they are built in on a TUN interface (/dev/net/tun, no packet
// information header). Qt-free.
#pragma once

#include "net/adapterhandles.h"

#include <cstdint>

namespace wintun {

constexpr std::uint32_t kRingCapacity = 0x400000;
constexpr std::uint32_t kMaxPacketSize = 0xFFFF;

// Loads the library and resolves all eight entry points; a library lacking
// one counts as not loaded. Once loaded it stays loaded; a failed load is
// tried again by the next call. Linux: the TUN driver node exists.
bool load();

// `name` and `tunnelType` are zero-terminated UTF-16; `requestedGuid` is 16 bytes.
Adapter createAdapter(const char16_t* name, const char16_t* tunnelType, const std::uint8_t* requestedGuid);
Session startSession(Adapter adapter, std::uint32_t capacity);
void endSession(Session session);
void closeAdapter(Adapter adapter);
// One packet and its size, or null when none is ready (or the ring fails).
std::uint8_t* receivePacket(Session session, std::uint32_t* size);
void releaseReceivePacket(Session session, const std::uint8_t* packet);
// Space for one packet, or null when the ring is full or the size too large.
std::uint8_t* allocateSendPacket(Session session, std::uint32_t size);
void sendPacket(Session session, const std::uint8_t* packet);

// Lets a new adapter settle before it is configured: Windows pauses 2000 ms,
// Linux has nothing to wait for.
void settleAdapter();

// Called by the reader when the ring was empty: blocks until a packet may be
// ready or wakeReader was called (Windows: on the ring's read-wait event when
// the library offers WintunGetReadWaitEvent, otherwise a 1 ms pause).
void waitForPacket(Session session);
// Makes every later waitForPacket return at once. Called by stop.
void wakeReader(Session session);

// What the player is told when load() or createAdapter() fails, in this
// platform's terms.
extern const char* const kLoadFailedText;
// Why the last createAdapter failed (Linux tells the causes apart).
adapter::Failure createFailure();

} // namespace wintun
