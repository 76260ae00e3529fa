// The engine's threads: started with an argument, waited for with a time
// limit. Qt-free; one unit per platform.
#pragma once

namespace adapter {

struct ThreadObject; // the platform's thread, waitable with a time limit
using ThreadHandle = ThreadObject*;

// Entry point of a reader thread; its argument is a heap-allocated shared
// reference to the engine's state, which the thread takes over and frees.
using ThreadEntry = unsigned long (*)(void*);

// Starts `entry(argument)` on a new thread; null when no thread could be made.
ThreadHandle startThread(ThreadEntry entry, void* argument);

// Waits at most `timeoutMs` for the thread to end. When it has ended, its
// handle is released, `thread` becomes null and the result is true. A thread
// still running keeps its handle so that a later call can wait again.
bool joinThread(ThreadHandle& thread, int timeoutMs);

} // namespace adapter
