// Layer-2 platform layer on Windows: the TAP-Windows device, opened for
// overlapped I/O so that the reader and the GUI thread can use it at once.
// Qt-free.
#include "net/tap_api.h"

#include <windows.h>

#include <cstring>

// One overlapped operation at a time per thread; a read may stay pending
// between tryRead calls, in this buffer.
struct tap::ReadContext {
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    bool pending = false;
    unsigned char buffer[tap::kFrameBufferSize];
};

namespace {

constexpr DWORD kSetMediaStatus = 0x220018;

} // namespace

namespace tap {

const char* const kMissingText = "TAP-Windows driver not found! Please install the TAP driver included in "
                                 "your game folder to use Layer 2 mode.";
const char* const kOpenFailedText = "Failed to access TAP Adapter. Run app as Administrator.";

adapter::Failure openFailure()
{
    return {"Permission Error", kOpenFailedText};
}

std::string devicePath(const std::string& instanceId)
{
    return "\\\\.\\Global\\" + instanceId + ".tap";
}

Device open(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, nullptr);
}

void setMediaConnected(Device device)
{
    ULONG status = 1;
    DWORD returned = 0;
    DeviceIoControl(device, kSetMediaStatus, &status, sizeof status, &status, sizeof status, &returned,
                    nullptr);
}

ReadContext* beginReading()
{
    auto* context = new ReadContext;
    context->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return context;
}

void endReading(Device device, ReadContext* context)
{
    if (context->pending) {
        // The driver must be done with the buffer before it is freed.
        DWORD count = 0;
        CancelIoEx(device, &context->overlapped);
        GetOverlappedResult(device, &context->overlapped, &count, TRUE);
    }
    if (context->event)
        CloseHandle(context->event);
    delete context;
}

namespace {

int deliver(ReadContext* context, DWORD count, unsigned char* buffer, int capacity)
{
    const int n = static_cast<int>(count) < capacity ? static_cast<int>(count) : capacity;
    std::memcpy(buffer, context->buffer, static_cast<size_t>(n));
    return n;
}

} // namespace

int tryRead(Device device, ReadContext* context, unsigned char* buffer, int capacity)
{
    DWORD count = 0;
    if (!context->pending) {
        context->overlapped = OVERLAPPED{};
        context->overlapped.hEvent = context->event;
        if (ReadFile(device, context->buffer, sizeof context->buffer, &count, &context->overlapped))
            return deliver(context, count, buffer, capacity);
        if (GetLastError() != ERROR_IO_PENDING)
            return 0; // failed at once: the caller tries again
        context->pending = true;
    }
    if (!GetOverlappedResult(device, &context->overlapped, &count, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE)
            return 0;
        context->pending = false; // cancelled by stop, or failed
        return 0;
    }
    context->pending = false;
    return deliver(context, count, buffer, capacity);
}

void wait(Device, ReadContext* context)
{
    if (context->pending)
        WaitForSingleObject(context->event, INFINITE);
}

void write(Device device, ReadContext* context, const unsigned char* frame, int length)
{
    context->overlapped = OVERLAPPED{};
    context->overlapped.hEvent = context->event;
    DWORD count = 0;
    if (!WriteFile(device, frame, static_cast<DWORD>(length), &count, &context->overlapped) &&
        GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(device, &context->overlapped, &count, TRUE);
}

void cancel(Device device)
{
    CancelIoEx(device, nullptr);
}

void close(Device device)
{
    CloseHandle(device);
}

} // namespace tap
