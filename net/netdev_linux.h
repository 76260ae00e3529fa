// Linux network device helpers shared by the TUN and TAP back-ends: opening
// an interface on /dev/net/tun, the reader's wait with a wake descriptor, and
// in-process interface configuration (works with CAP_NET_ADMIN alone).
#pragma once

namespace netdev {

extern const char* const kTunNode; // "/dev/net/tun"

bool driverPresent();

// Attaches to interface `name` (creating it when it does not exist) in
// non-blocking mode; -1 on failure. `tap` selects Ethernet frames over IP packets.
int openInterface(const char* name, bool tap);

// An eventfd for waking a reader; -1 on failure.
int openWake();
// Makes every later waitReadable on this descriptor return at once.
void wake(int wakeFd);

// Blocks until `fd` may be read or `wakeFd` was written. Returns true when
// `fd` is worth reading. A device that reports an error (the interface was
// deleted under us) parks the caller until the wake instead of spinning.
bool waitReadable(int fd, int wakeFd);

// Sets the IPv4 address and mask of `name` and brings it up.
bool assignIpv4(const char* name, const char* address, const char* mask);
// Sets the MTU of `name`.
bool setMtu(const char* name, int mtu);
// Brings `name` up.
bool setUp(const char* name);

} // namespace netdev
