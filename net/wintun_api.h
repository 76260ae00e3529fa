// The Wintun driver library on Windows: its eight operations, from
// wintun.dll loaded by name at the first use. The layer-3 adapter
// (wintun_win.cpp) is built on them. Qt-free.
#pragma once

#include "net/adapter.h"

#include <cstdint>
#include <memory>

namespace wintun {

// Opaque: the library's adapter and ring.
struct AdapterObject;
struct SessionObject;
using Adapter = AdapterObject*;
using Session = SessionObject*;

constexpr std::uint32_t kRingCapacity = 0x400000;

// Loads the library and resolves all eight entry points; a library lacking
// one counts as not loaded. Once loaded it stays loaded; a failed load is
// tried again by the next call.
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

// Called by the reader when the ring was empty: blocks until a packet may be
// ready or wakeReader was called (on the ring's read-wait event when the
// library offers WintunGetReadWaitEvent, otherwise a 1 ms pause).
void waitForPacket(Session session);
// Makes every later waitForPacket return at once.
void wakeReader(Session session);

// The adapter and its ring (null: started by Device::start()) as a device,
// which ends and closes both.
std::unique_ptr<adapter::Device> ringDevice(Adapter adapter, Session session);

} // namespace wintun
