// The suite's one way to wait: for an effect, never for a time. Polls `done`
// while the event loop runs, up to `timeoutMs`.
#pragma once

#include <QTest>

namespace testwait {

template <typename Done>
bool until(Done done, int timeoutMs = 5000)
{
    return QTest::qWaitFor(done, timeoutMs);
}

} // namespace testwait
