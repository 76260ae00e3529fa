// Layer-2 platform layer on Windows: the TAP-Windows device, opened for
// overlapped I/O so that the reader and the GUI thread can use it at once.
// Qt-free.
#include "net/tap_api.h"

#include <windows.h>

struct tap::ReadContext {
    HANDLE event = nullptr;
};

namespace {

constexpr DWORD kSetMediaStatus = 0x220018;

} // namespace

namespace tap {

const char* const kMissingText =
    "TAP-Windows driver not found! Please install the TAP driver included in your game folder to use Layer 2 mode.";
const char* const kOpenFailedText = "Failed to access TAP Adapter. Run app as Administrator.";

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
    DeviceIoControl(device, kSetMediaStatus, &status, sizeof status, &status, sizeof status, &returned, nullptr);
}

ReadContext* beginReading()
{
    return new ReadContext{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
}

void endReading(ReadContext* context)
{
    if (context->event)
        CloseHandle(context->event);
    delete context;
}

int read(Device device, ReadContext* context, unsigned char* buffer, int capacity)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = context->event;
    DWORD count = 0;
    if (!ReadFile(device, buffer, static_cast<DWORD>(capacity), &count, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return 0;
        WaitForSingleObject(context->event, INFINITE);
        if (!GetOverlappedResult(device, &overlapped, &count, FALSE))
            return 0; // cancelled by stop, or failed
    }
    return static_cast<int>(count);
}

void write(Device device, const unsigned char* frame, int length)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    if (!WriteFile(device, frame, static_cast<DWORD>(length), &count, &overlapped) &&
        GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(device, &overlapped, &count, TRUE);
    if (overlapped.hEvent)
        CloseHandle(overlapped.hEvent);
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
