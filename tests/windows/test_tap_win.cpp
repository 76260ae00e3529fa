// The layer-2 platform layer and the reader threads on Windows. There is no
// TAP-Windows driver under test, so the device is a stand-in that tap::open
// opens the same way (read/write, no sharing, overlapped): the client end of
// a message-mode named pipe, whose server end plays the adapter, or a plain
// file where only opening matters.
#include "net/readerthread.h"
#include "net/tap_api.h"
#include "tests/windows/wincheck.h"

#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>
#include <windows.h>

namespace {

using Frame = std::vector<unsigned char>;

Frame frameOf(int size, unsigned char seed)
{
    Frame frame(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        frame[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + i * 13);
    return frame;
}

std::string uniqueName(const char* kind)
{
    static int counter = 0;
    return std::string("pellora-") + kind + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++counter);
}

// Waits for an overlapped operation of the adapter's end, with a limit so a
// broken device fails the test instead of hanging it.
bool finish(HANDLE handle, OVERLAPPED& overlapped, BOOL started, DWORD* count)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(overlapped.hEvent, 3000) != WAIT_OBJECT_0) {
        CancelIoEx(handle, &overlapped);
        GetOverlappedResult(handle, &overlapped, count, TRUE);
        return false;
    }
    return GetOverlappedResult(handle, &overlapped, count, FALSE) != FALSE;
}

// A message-mode pipe: the server end is the adapter, the client end is the
// device the layer-2 code opens. `bufferSize` is the pipe's quota each way.
class FakeAdapter
{
public:
    explicit FakeAdapter(DWORD bufferSize = 8192)
        : path_("\\\\.\\pipe\\" + uniqueName("tap")),
          server_(CreateNamedPipeA(
              path_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, bufferSize, bufferSize, 0, nullptr)),
          event_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~FakeAdapter()
    {
        if (server_ != INVALID_HANDLE_VALUE)
            CloseHandle(server_);
        CloseHandle(event_);
    }
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    bool ok() const { return server_ != INVALID_HANDLE_VALUE; }
    const std::string& path() const { return path_; }

    // A frame arrives from the virtual network.
    bool deliver(const Frame& frame)
    {
        OVERLAPPED overlapped = fresh();
        DWORD count = 0;
        const BOOL done =
            WriteFile(server_, frame.data(), static_cast<DWORD>(frame.size()), &count, &overlapped);
        return finish(server_, overlapped, done, &count) && count == frame.size();
    }

    // The frame the client wrote last; empty when none came.
    Frame take()
    {
        Frame frame(65536);
        OVERLAPPED overlapped = fresh();
        DWORD count = 0;
        const BOOL done =
            ReadFile(server_, frame.data(), static_cast<DWORD>(frame.size()), &count, &overlapped);
        frame.resize(finish(server_, overlapped, done, &count) ? count : 0);
        return frame;
    }

    // The adapter goes away under the client.
    void unplug()
    {
        DisconnectNamedPipe(server_);
        CloseHandle(server_);
        server_ = INVALID_HANDLE_VALUE;
    }

private:
    OVERLAPPED fresh()
    {
        OVERLAPPED overlapped{};
        ResetEvent(event_);
        overlapped.hEvent = event_;
        return overlapped;
    }

    std::string path_;
    HANDLE server_;
    HANDLE event_;
};

// The device as the layer-2 code holds it, closed at the end of the case.
struct Device
{
    explicit Device(const std::string& path) : handle(tap::open(path)) {}
    ~Device()
    {
        if (valid())
            tap::close(handle);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    bool valid() const { return handle != adapter::invalidDevice(); }
    tap::Device handle;
};

// The adapter's end and the device opened on it. Like a TAP device, the
// device hands out one whole frame per read.
struct Rig
{
    explicit Rig(DWORD quota = 8192) : adapterEnd(quota), device(adapterEnd.path())
    {
        DWORD mode = PIPE_READMODE_MESSAGE;
        framed = device.valid() && SetNamedPipeHandleState(device.handle, &mode, nullptr, nullptr);
    }
    bool ok() const { return adapterEnd.ok() && device.valid() && framed; }

    FakeAdapter adapterEnd;
    Device device;
    bool framed = false;
};

// One tap::read on a reader thread.
struct ReadJob
{
    tap::Device device = nullptr;
    DWORD delayMs = 0; // pause before the read starts
    Frame frame;
    int size = -1;

    adapter::ThreadHandle start(tap::Device on)
    {
        device = on;
        return adapter::startThread(&ReadJob::run, this);
    }

    static unsigned long run(void* self)
    {
        auto* job = static_cast<ReadJob*>(self);
        Sleep(job->delayMs);
        tap::ReadContext* context = tap::beginReading();
        job->frame.assign(tap::kFrameBufferSize, 0);
        job->size = tap::read(job->device, context, job->frame.data(), tap::kFrameBufferSize);
        job->frame.resize(job->size > 0 ? static_cast<size_t>(job->size) : 0);
        tap::endReading(context);
        return 0;
    }
};

// One tap::write on its own thread, so that a write that pends can be watched.
struct WriteJob
{
    tap::Device device = nullptr;
    Frame frame;

    adapter::ThreadHandle start(tap::Device on, Frame toWrite)
    {
        device = on;
        frame = std::move(toWrite);
        return adapter::startThread(&WriteJob::run, this);
    }

    static unsigned long run(void* self)
    {
        auto* job = static_cast<WriteJob*>(self);
        tap::write(job->device, job->frame.data(), static_cast<int>(job->frame.size()));
        return 0;
    }
};

void cancelDevice(void* device)
{
    tap::cancel(static_cast<tap::Device>(device));
}

// Whether the thread ends by itself within `ms`. One that does not is ended
// through cancellation, so that it never outlives what it points to.
bool endsWithin(adapter::ThreadHandle& thread, tap::Device device, int ms = 3000)
{
    if (adapter::joinThread(thread, ms))
        return true;
    if (!adapter::stopReader(thread, cancelDevice, device)) {
        std::printf("FATAL: a device thread cannot be ended\n");
        std::fflush(stdout);
        ExitProcess(3);
    }
    return false;
}

std::string tempFile()
{
    char directory[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, directory);
    const std::string path = std::string(directory) + uniqueName("device") + ".bin";
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return path;
}

} // namespace

WINCHECK_CASE(device_path_is_global_instance_id_tap)
{
    CHECK_EQ(tap::devicePath("{8A3A2F5C-1B2D-4E5F-9A0B-C1D2E3F40516}"),
             std::string("\\\\.\\Global\\{8A3A2F5C-1B2D-4E5F-9A0B-C1D2E3F40516}.tap"));
}

WINCHECK_CASE(missing_device_fails_to_open_and_is_not_created)
{
    CHECK(tap::open("\\\\.\\pipe\\" + uniqueName("absent")) == adapter::invalidDevice());
    char directory[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, directory);
    const std::string path = std::string(directory) + uniqueName("absent") + ".bin";
    CHECK(tap::open(path) == adapter::invalidDevice());
    CHECK(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES);
}

WINCHECK_CASE(device_is_opened_for_exclusive_use)
{
    const std::string path = tempFile();
    {
        Device first(path);
        REQUIRE(first.valid());
        Device second(path);
        CHECK(!second.valid());
        CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    // Once closed it opens again.
    Device again(path);
    CHECK(again.valid());
    DeleteFileA(path.c_str());
}

WINCHECK_CASE(device_held_by_another_program_fails_to_open)
{
    const std::string path = tempFile();
    // Even a program that shares everything keeps an exclusive open out.
    const HANDLE other =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(other != INVALID_HANDLE_VALUE);
    Device device(path);
    CHECK(!device.valid());
    CloseHandle(other);
    DeleteFileA(path.c_str());
}

WINCHECK_CASE(read_of_a_waiting_frame_completes_at_once)
{
    Rig rig;
    REQUIRE(rig.ok());
    tap::setMediaConnected(rig.device.handle); // not a TAP device: refused, and harmless
    const Frame first = frameOf(60, 1);
    const Frame second = frameOf(1514, 2);
    REQUIRE(rig.adapterEnd.deliver(first));
    REQUIRE(rig.adapterEnd.deliver(second));

    // Each read returns one whole frame.
    for (const Frame* expected : {&first, &second}) {
        ReadJob job;
        adapter::ThreadHandle thread = job.start(rig.device.handle);
        REQUIRE(thread != nullptr);
        CHECK(endsWithin(thread, rig.device.handle));
        CHECK_EQ(job.size, static_cast<int>(expected->size()));
        CHECK(job.frame == *expected);
    }
}

WINCHECK_CASE(read_pends_until_a_frame_arrives)
{
    Rig rig;
    REQUIRE(rig.ok());
    ReadJob job;
    adapter::ThreadHandle thread = job.start(rig.device.handle);
    REQUIRE(thread != nullptr);

    // Still waiting: the join gives up and keeps the handle for a later try.
    CHECK(!adapter::joinThread(thread, 150));
    CHECK(thread != nullptr);
    CHECK_EQ(job.size, -1);

    const Frame frame = frameOf(1514, 3);
    CHECK(rig.adapterEnd.deliver(frame));
    CHECK(endsWithin(thread, rig.device.handle));
    CHECK(thread == nullptr);
    CHECK_EQ(job.size, 1514);
    CHECK(job.frame == frame);
}

WINCHECK_CASE(write_pends_until_the_adapter_takes_the_frame)
{
    // A quota smaller than the frame: the write cannot complete at once.
    Rig rig(256);
    REQUIRE(rig.ok());
    WriteJob job;
    adapter::ThreadHandle thread = job.start(rig.device.handle, frameOf(1514, 4));
    REQUIRE(thread != nullptr);

    CHECK(!adapter::joinThread(thread, 150));
    CHECK(rig.adapterEnd.take() == job.frame);
    CHECK(endsWithin(thread, rig.device.handle));
}

WINCHECK_CASE(write_that_completes_at_once_arrives_whole)
{
    Rig rig;
    REQUIRE(rig.ok());
    const Frame frame = frameOf(98, 5);
    tap::write(rig.device.handle, frame.data(), static_cast<int>(frame.size()));
    CHECK(rig.adapterEnd.take() == frame);
}

WINCHECK_CASE(write_to_a_vanished_adapter_loses_the_frame_without_hanging)
{
    Rig rig;
    REQUIRE(rig.ok());
    rig.adapterEnd.unplug();
    WriteJob job;
    adapter::ThreadHandle thread = job.start(rig.device.handle, frameOf(342, 6));
    REQUIRE(thread != nullptr);
    CHECK(endsWithin(thread, rig.device.handle));
}

WINCHECK_CASE(cancel_ends_a_pending_read_with_no_bytes)
{
    Rig rig;
    REQUIRE(rig.ok());
    ReadJob job;
    adapter::ThreadHandle thread = job.start(rig.device.handle);
    REQUIRE(thread != nullptr);
    CHECK(!adapter::joinThread(thread, 100));

    tap::cancel(rig.device.handle);
    CHECK(endsWithin(thread, rig.device.handle));
    CHECK_EQ(job.size, 0);

    // The device itself still works after the cancellation.
    const Frame frame = frameOf(64, 7);
    REQUIRE(rig.adapterEnd.deliver(frame));
    ReadJob next;
    thread = next.start(rig.device.handle);
    REQUIRE(thread != nullptr);
    CHECK(endsWithin(thread, rig.device.handle));
    CHECK(next.frame == frame);
}

WINCHECK_CASE(stop_reaches_a_read_started_after_the_first_cancel)
{
    // The reader passed its running check just before stop cleared it, and
    // starts its read only after stop's first cancellation went out.
    Rig rig;
    REQUIRE(rig.ok());
    ReadJob job;
    job.delayMs = 200;
    adapter::ThreadHandle thread = job.start(rig.device.handle);
    REQUIRE(thread != nullptr);

    const ULONGLONG started = GetTickCount64();
    CHECK(adapter::stopReader(thread, cancelDevice, rig.device.handle, 1500));
    CHECK(GetTickCount64() - started < 1500);
    if (!CHECK(thread == nullptr))
        endsWithin(thread, rig.device.handle);
    CHECK_EQ(job.size, 0);
}

namespace {

// The reader loop of the layer-2 back-end: read, and forward only while
// still running; what it forwards is counted.
struct FrameReader
{
    tap::Device device = nullptr;
    std::atomic<bool> running{true};
    std::atomic<int> forwarded{0};

    static unsigned long run(void* self)
    {
        auto* reader = static_cast<FrameReader*>(self);
        tap::ReadContext* context = tap::beginReading();
        unsigned char frame[tap::kFrameBufferSize];
        while (reader->running) {
            const int size = tap::read(reader->device, context, frame, static_cast<int>(sizeof frame));
            if (size > 0 && reader->running)
                ++reader->forwarded;
        }
        tap::endReading(context);
        return 0;
    }
};

} // namespace

WINCHECK_CASE(stopping_a_blocked_reader_forwards_nothing_more)
{
    Rig rig;
    REQUIRE(rig.ok());
    FrameReader reader;
    reader.device = rig.device.handle;
    adapter::ThreadHandle thread = adapter::startThread(&FrameReader::run, &reader);
    REQUIRE(thread != nullptr);

    REQUIRE(rig.adapterEnd.deliver(frameOf(60, 8)));
    for (int waited = 0; reader.forwarded < 1 && waited < 3000; waited += 5)
        Sleep(5);
    CHECK_EQ(reader.forwarded.load(), 1);

    // Stop as the back-end does: clear the flag, cancel until the reader has
    // ended, and only then close the device.
    reader.running = false;
    const ULONGLONG started = GetTickCount64();
    CHECK(adapter::stopReader(thread, cancelDevice, rig.device.handle, 1500));
    CHECK(GetTickCount64() - started < 1500);
    if (!CHECK(thread == nullptr))
        endsWithin(thread, rig.device.handle);
    CHECK_EQ(reader.forwarded.load(), 1);
}

WINCHECK_CASE(join_waits_for_a_thread_that_ends_later)
{
    struct Gate
    {
        HANDLE open = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        int passed = 0;
        static unsigned long run(void* self)
        {
            auto* gate = static_cast<Gate*>(self);
            WaitForSingleObject(gate->open, 5000);
            gate->passed = 1;
            return 0;
        }
    } gate;
    adapter::ThreadHandle thread = adapter::startThread(&Gate::run, &gate);
    REQUIRE(thread != nullptr);
    CHECK(!adapter::joinThread(thread, 50));
    CHECK(thread != nullptr);
    // No wake function: stop just waits, and gives up at its limit.
    CHECK(!adapter::stopReader(thread, nullptr, nullptr, 100));
    CHECK(thread != nullptr);
    SetEvent(gate.open);
    CHECK(adapter::joinThread(thread, 3000));
    CHECK(thread == nullptr);
    CHECK_EQ(gate.passed, 1);
    // Nothing to wait for: done at once.
    CHECK(adapter::joinThread(thread, 0));
    CHECK(adapter::stopReader(thread, nullptr, nullptr, 0));
    CloseHandle(gate.open);
}

WINCHECK_MAIN()
