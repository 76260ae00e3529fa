// Reader threads on Linux: std::thread has no timed join, so the thread
// reports its end through a condition variable.
#include "net/readerthread.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

struct adapter::ThreadObject {
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    std::thread thread;

    ~ThreadObject()
    {
        // A thread that outlived every wait keeps its own reference to the state.
        if (thread.joinable())
            thread.detach();
    }
};

namespace adapter {

ThreadHandle startThread(ThreadEntry entry, void* argument)
{
    auto* handle = new ThreadObject;
    try {
        handle->thread = std::thread([state = handle->state, entry, argument] {
            entry(argument);
            const std::lock_guard<std::mutex> lock(state->mutex);
            state->done = true;
            state->ended.notify_all();
        });
    } catch (const std::system_error&) {
        delete handle;
        return nullptr;
    }
    return handle;
}

bool joinThread(ThreadHandle& thread, int timeoutMs)
{
    if (!thread)
        return true;
    {
        std::unique_lock<std::mutex> lock(thread->state->mutex);
        if (!thread->state->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                           [&] { return thread->state->done; }))
            return false;
    }
    thread->thread.join();
    delete thread;
    thread = nullptr;
    return true;
}

} // namespace adapter
