// Reader threads on Windows. Qt-free.
#include "net/readerthread.h"

#include <windows.h>

namespace {

struct StartInfo {
    adapter::ThreadEntry entry;
    void* argument;
};

DWORD WINAPI trampoline(LPVOID parameter)
{
    const StartInfo info = *static_cast<StartInfo*>(parameter);
    delete static_cast<StartInfo*>(parameter);
    return static_cast<DWORD>(info.entry(info.argument));
}

} // namespace

namespace adapter {

ThreadHandle startThread(ThreadEntry entry, void* argument)
{
    auto* info = new StartInfo{entry, argument};
    HANDLE thread = CreateThread(nullptr, 0, trampoline, info, 0, nullptr);
    if (!thread)
        delete info;
    return reinterpret_cast<ThreadHandle>(thread);
}

bool joinThread(ThreadHandle& thread, int timeoutMs)
{
    if (!thread)
        return true;
    const HANDLE handle = reinterpret_cast<HANDLE>(thread);
    if (WaitForSingleObject(handle, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return false;
    CloseHandle(handle);
    thread = nullptr;
    return true;
}

} // namespace adapter
