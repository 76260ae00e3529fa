// The engine's threads: started with an argument, waited for with a time
// limit. Qt-free; one unit per platform.
#pragma once

#include "net/adapterhandles.h"

namespace adapter {

// Starts `entry(argument)` on a new thread; null when no thread could be made.
ThreadHandle startThread(ThreadEntry entry, void* argument);

// Waits at most `timeoutMs` for the thread to end. When it has ended, its
// handle is released, `thread` becomes null and the result is true. A thread
// still running keeps its handle so that a later call can wait again.
bool joinThread(ThreadHandle& thread, int timeoutMs);

} // namespace adapter
