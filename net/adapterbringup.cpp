#include "net/adapterbringup.h"

#include "net/hostconfig.h"
#include "net/tap_api.h"
#include "net/wintun_api.h"

#include <QObject>
#include <utility>

namespace bringup {
namespace {

const char16_t kAdapterName[] = u"RIRODedo";
const std::uint8_t kRequestedGuid[16] = {};

void holdHere(const Hold& hold)
{
    if (hold)
        hold();
}

} // namespace

// The failure texts are read on this thread: the platform keeps the cause per thread.
Made layer3(const QString& virtualIp, int overhead, const Hold& hold)
{
    Made made;
    if (!wintun::load()) {
        made.failure = adapter::Failure{"Driver Error", wintun::kLoadFailedText};
        return made;
    }
    made.adapter = wintun::createAdapter(kAdapterName, kAdapterName, kRequestedGuid);
    if (!made.adapter) {
        made.failure = wintun::createFailure();
        return made;
    }
    wintun::settleAdapter();
    holdHere(hold);
    hostconfig::configureLayer3(virtualIp, overhead);
    hostconfig::captureBroadcasts(QLatin1String(hostconfig::kLayer3AdapterName), virtualIp, true);
    made.broadcastsCaptured = true;
    made.session = wintun::startSession(made.adapter, wintun::kRingCapacity);
    if (!made.session) {
        wintun::closeAdapter(made.adapter);
        made.adapter = nullptr;
    }
    return made;
}

Made layer2(const QString& instanceId, const QString& connectionName, const QString& virtualIp, int overhead,
            const Hold& hold)
{
    Made made;
    made.layer2 = true;
    made.device = tap::open(tap::devicePath(instanceId.toStdString()));
    if (made.device == adapter::invalidDevice()) {
        made.failure = tap::openFailure();
        return made;
    }
    tap::setMediaConnected(made.device);
    holdHere(hold);
    hostconfig::configureLayer2(connectionName, virtualIp, overhead);
    hostconfig::captureBroadcasts(connectionName, virtualIp, false);
    made.broadcastsCaptured = true;
    return made;
}

void takeDown(const Made& made)
{
    if (made.session)
        wintun::endSession(made.session);
    if (made.adapter)
        wintun::closeAdapter(made.adapter);
    if (made.device != adapter::invalidDevice())
        tap::close(made.device);
}

Runner::Runner(QObject* context) : context(context) {}

Runner::~Runner()
{
    if (const std::optional<Made> left = finish())
        takeDown(*left);
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
