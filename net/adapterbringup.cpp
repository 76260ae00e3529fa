#include "net/adapterbringup.h"

#include "net/hostconfig.h"

#include <QObject>
#include <utility>

namespace bringup {
namespace {

void holdHere(const Hold& hold)
{
    if (hold)
        hold();
}

// Configured and capturing broadcasts: what is kept of `opened` once it has started.
template <typename Configure>
Made configure(adapter::Opened opened, bool layer2, const Hold& hold, Configure&& configureHost)
{
    Made made;
    made.layer2 = layer2;
    made.failure = std::move(opened.failure);
    if (!opened.device)
        return made;
    holdHere(hold);
    configureHost();
    made.broadcastsCaptured = true;
    if (opened.device->start())
        made.device = std::move(opened.device);
    return made;
}

} // namespace

Made layer3(const QString& virtualIp, int overhead, const Hold& hold)
{
    return configure(adapter::openLayer3(), false, hold, [&] {
        hostconfig::configureLayer3(virtualIp, overhead);
        hostconfig::captureBroadcasts(QLatin1String(hostconfig::kLayer3AdapterName), virtualIp, true);
    });
}

Made layer2(const QString& instanceId, const QString& connectionName, const QString& virtualIp, int overhead,
            const Hold& hold)
{
    return configure(adapter::openLayer2(instanceId.toStdString()), true, hold, [&] {
        hostconfig::configureLayer2(connectionName, virtualIp, overhead);
        hostconfig::captureBroadcasts(connectionName, virtualIp, false);
    });
}

Runner::Runner(QObject* context) : context(context) {}

Runner::~Runner()
{
    finish();
}

bool Runner::start(Steps steps, Done whenDone)
{
    if (busy())
        return false;
    done = std::move(whenDone);
    const unsigned current = ++serial;
    thread = std::thread([this, steps = std::move(steps), current] {
        made = steps();
        // Queued to the context's thread; the owner waits for this thread before the context goes.
        QMetaObject::invokeMethod(
            context, [this, current] { deliver(current); }, Qt::QueuedConnection);
    });
    return true;
}

std::optional<Made> Runner::finish()
{
    if (!busy())
        return std::nullopt;
    thread.join();
    done = nullptr;
    return std::exchange(made, Made{});
}

void Runner::deliver(unsigned current)
{
    if (current != serial || !busy())
        return; // already taken by finish()
    const Done whenDone = std::exchange(done, nullptr);
    std::optional<Made> result = finish();
    whenDone(std::move(*result));
}

} // namespace bringup
