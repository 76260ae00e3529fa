// Linux network device helpers shared by the TUN and TAP back-ends: opening
// an interface on /dev/net/tun, the reader's wait with a wake descriptor, and
// in-process interface configuration (works with CAP_NET_ADMIN alone).
#pragma once

#include <string>

namespace netdev {

extern const char* const kTunNode; // "/dev/net/tun"

bool driverPresent();

// Why an interface could not be had.
enum class Failure { none, driverMissing, nodeDenied, rightMissing, busy, other };
// Where it failed: opening /dev/net/tun, or attaching to the interface.
enum class Stage { openNode, attach };
Failure classify(Stage stage, int error, bool haveNetAdmin);
// The calling thread holds CAP_NET_ADMIN in its effective set.
bool haveNetAdmin();
// Why the last openInterface on this thread failed, and its errno.
Failure lastFailure();
int lastError();
// For the player: the cause and the one step that fixes it, about `what`
// ("the TUN interface RIRODedo").
std::string describe(Failure failure, const std::string& what, int error);

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

// The route that sends limited broadcasts (255.255.255.255) out of `name`
// from `source`; without it they follow the default route. Marked as ours, so
// that removing touches no route someone else made; gone with the interface.
bool addBroadcastRoute(const char* name, const char* source);
// True when no such route of ours is left on `name` (also when `name` does not exist).
bool removeBroadcastRoute(const char* name);

} // namespace netdev
