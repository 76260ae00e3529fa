// The layer-2 adapter on Windows: the TAP-Windows device, opened for
// overlapped I/O so that the engine's two threads can use it at once.
// Qt-free.
#include "net/tap_api.h"

#include <algorithm>
#include <cstring>
#include <windows.h>

// One overlapped operation at a time per thread; a read may stay pending
// between tryRead calls, in this buffer.
struct tap::ReadContext
{
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    bool pending = false;
    unsigned char buffer[tap::kFrameBufferSize];
};

namespace {

constexpr DWORD kSetMediaStatus = 0x220018;

} // namespace

namespace adapter {

const char* const kTapMissingText = "TAP-Windows driver not found! Please install the TAP driver included in "
                                    "your game folder to use Layer 2 mode.";

} // namespace adapter

namespace tap {

std::string devicePath(const std::string& instanceId)
{
    return "\\\\.\\Global\\" + instanceId + ".tap";
}

Handle open(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, nullptr);
}

void setMediaConnected(Handle device)
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

void endReading(Handle device, ReadContext* context)
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

int tryRead(Handle device, ReadContext* context, unsigned char* buffer, int capacity)
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

void wait(Handle, ReadContext* context)
{
    if (context->pending)
        WaitForSingleObject(context->event, INFINITE);
}

void write(Handle device, ReadContext* context, const unsigned char* frame, int length)
{
    context->overlapped = OVERLAPPED{};
    context->overlapped.hEvent = context->event;
    DWORD count = 0;
    if (!WriteFile(device, frame, static_cast<DWORD>(length), &count, &context->overlapped) &&
        GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(device, &context->overlapped, &count, TRUE);
}

void cancel(Handle device)
{
    CancelIoEx(device, nullptr);
}

void close(Handle device)
{
    CloseHandle(device);
}

namespace {

// One context per engine thread: the outbound one reads, the inbound one writes.
class FrameDevice : public adapter::Device
{
public:
    explicit FrameDevice(Handle device) : device_(device), reader_(beginReading()), writer_(beginReading()) {}
    ~FrameDevice() override
    {
        endReading(device_, reader_);
        endReading(device_, writer_);
        close(device_);
    }
    std::size_t receive(unsigned char* buffer, std::size_t capacity) override
    {
        const int n =
            tryRead(device_, reader_, buffer, static_cast<int>(std::min<std::size_t>(capacity, 1 << 20)));
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    void wait() override { tap::wait(device_, reader_); }
    void wake() override { cancel(device_); }
    void write(const unsigned char* data, std::size_t length) override
    {
        tap::write(device_, writer_, data, static_cast<int>(length));
    }

private:
    Handle device_;
    ReadContext* reader_;
    ReadContext* writer_;
};

} // namespace

std::unique_ptr<adapter::Device> frameDevice(Handle device)
{
    return std::make_unique<FrameDevice>(device);
}

} // namespace tap

namespace adapter {

Opened openLayer2(const std::string& instanceId)
{
    const tap::Handle device = tap::open(tap::devicePath(instanceId));
    if (device == tap::invalidDevice())
        return {nullptr,
                Failure{"Permission Error", "Failed to access TAP Adapter. Run app as Administrator."}};
    tap::setMediaConnected(device);
    return {tap::frameDevice(device), std::nullopt};
}

} // namespace adapter
