// Reader threads of the adapter back-ends: started with the client as
// argument, waited for with a time limit. Qt-free; one unit per platform.
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

namespace adapter {

// Stops a reader: calls `wake(target)` and waits, repeating the wake every
// few milliseconds (a read started just after a wake must not block the stop)
// until the thread has ended or `timeoutMs` have passed. True when it ended
// (or there was none).
bool stopReader(ThreadHandle& thread, void (*wake)(void*), void* target, int timeoutMs = 1500);

} // namespace adapter
