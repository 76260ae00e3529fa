// Bringing an adapter up takes seconds on Windows (the driver's settling
// pause, netsh and route runs), so its blocking steps run on a thread of
// their own. What they made comes back to the thread that started them,
// which alone decides whether it is kept or taken down.
#pragma once

#include "net/adapter.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QObject;

namespace bringup {

// What the steps made, owned by whoever receives this: dropping it closes the adapter.
struct Made
{
    bool layer2 = false;
    std::unique_ptr<adapter::Device> device; // started; none when it could not be
    bool broadcastsCaptured = false;         // the system was changed: the journal must stay
    std::optional<adapter::Failure> failure; // for the player; nothing was made
};

// Called on the worker once the device exists, before it is configured. Tests
// hold a bring-up there; empty otherwise.
using Hold = std::function<void()>;

// Load, create, settle, configure, capture broadcasts, start the ring. A ring
// that cannot start leaves no adapter and no failure: the player stays in the
// room without one.
Made layer3(const QString& virtualIp, int overhead, const Hold& hold);
// Open the TAP device the registry named, connect its cable, configure,
// capture broadcasts.
Made layer2(const QString& instanceId, const QString& connectionName, const QString& virtualIp, int overhead,
            const Hold& hold);

// Runs one set of steps at a time on its own thread and hands what they made
// to `done` on the thread of `context`.
class Runner
{
public:
    using Steps = std::function<Made()>;
    using Done = std::function<void(Made)>;

    explicit Runner(QObject* context);
    ~Runner(); // waits for steps under way and closes what they made; finish() keeps it
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Steps are under way or their result has not been handed over yet.
    bool busy() const { return thread.joinable(); }
    // False while busy.
    bool start(Steps steps, Done done);
    // Waits for the steps under way and returns what they made; `done` is not
    // called for them. Nothing when not busy.
    std::optional<Made> finish();

    Hold hold;

private:
    void deliver(unsigned serial);

    QObject* context;
    std::thread thread;  // the steps need no event loop
    unsigned serial = 0; // tells a stale hand-over from the current one
    Made made;           // written by the thread, read once it has ended
    Done done;
};

} // namespace bringup
