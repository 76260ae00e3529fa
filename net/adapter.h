// The virtual adapter, one interface over the platform's drivers: a TUN or
// TAP interface on Linux, the Wintun ring or a TAP-Windows device on Windows.
// Each platform unit (tun_linux, tap_linux, wintun_win, tap_win) makes its
// own. Qt-free.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace adapter {

// Why an adapter could not be made, for the player: the title of the message
// box and one sentence that names the cause and the one step that fixes it.
struct Failure
{
    const char* title;
    std::string text;
};

// An open adapter. Destroying it closes the device. The engine's outbound
// thread alone calls receive() and wait(), its inbound thread alone write().
class Device
{
public:
    virtual ~Device() = default;
    // Called once the system has configured it: ready for traffic (the Wintun
    // ring starts here). False: it carries none and is dropped.
    virtual bool start() { return true; }
    // One packet or frame into `buffer` without waiting: its size, or 0 when none is ready.
    virtual std::size_t receive(unsigned char* buffer, std::size_t capacity) = 0;
    // Blocks until receive() may find something or wake() was called.
    virtual void wait() = 0;
    // Makes every later wait() return at once.
    virtual void wake() = 0;
    // One inbound packet or frame; a failure drops it.
    virtual void write(const unsigned char* data, std::size_t length) = 0;
};

// A device, or why there is none.
struct Opened
{
    std::unique_ptr<Device> device;
    std::optional<Failure> failure;
};

// Layer 3: the driver loaded and the adapter made (and, on Windows, settled).
// The failure texts are read on the calling thread: the platform keeps the cause per thread.
Opened openLayer3();
// Layer 2: the installed TAP adapter `instanceId` opened and its cable connected
// (Linux: the instance id is the interface name).
Opened openLayer2(const std::string& instanceId);

// What the player is told when no TAP adapter is installed, in this platform's terms.
extern const char* const kTapMissingText;

} // namespace adapter
