// The layer-3 platform layer against the stand-in wintun.dll that lies
// beside this executable: how the library is found and kept, and that every
// operation reaches its own entry point with the handles and values given.
#include "net/readerthread.h"
#include "net/wintun_api.h"
#include "tests/windows/fakewintun.h"
#include "tests/windows/wincheck.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

namespace {

const char16_t kName[] = u"RIRODedo";
const std::uint8_t kZeroGuid[16] = {};

std::string directoryOf(const char* path)
{
    const std::string text(path);
    return text.substr(0, text.find_last_of("\\/"));
}

std::string moduleDirectory(HMODULE module)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return directoryOf(path);
}

void reset()
{
    fakewintun::control<fakewintun::ResetFn>("FakeWintunReset")();
}

void failNext(const char* entryPoint)
{
    fakewintun::control<fakewintun::FailNextFn>("FakeWintunFailNext")(entryPoint);
}

void queue(const std::vector<std::uint8_t>& packet)
{
    fakewintun::control<fakewintun::QueueFn>("FakeWintunQueue")(packet.data(),
                                                                static_cast<DWORD>(packet.size()));
}

int openObjects()
{
    return fakewintun::control<fakewintun::OpenObjectsFn>("FakeWintunOpenObjects")();
}

int unreleased()
{
    return fakewintun::control<fakewintun::UnreleasedFn>("FakeWintunUnreleased")();
}

std::vector<std::uint8_t> packetOf(int size, std::uint8_t seed)
{
    std::vector<std::uint8_t> packet(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        packet[static_cast<size_t>(i)] = static_cast<std::uint8_t>(seed + i * 7);
    return packet;
}

// The RIRODedo adapter with its ring, as a running back-end holds them, on a
// freshly reset library.
struct Ring
{
    Ring()
    {
        if (!wintun::load())
            return;
        reset();
        adapter = wintun::createAdapter(kName, kName, kZeroGuid);
        session = adapter ? wintun::startSession(adapter, wintun::kRingCapacity) : nullptr;
    }
    void close()
    {
        wintun::endSession(session);
        wintun::closeAdapter(adapter);
    }
    wintun::Adapter adapter = nullptr;
    wintun::Session session = nullptr;
};

bool sendPacket(wintun::Session session, const std::vector<std::uint8_t>& packet)
{
    std::uint8_t* space = wintun::allocateSendPacket(session, static_cast<std::uint32_t>(packet.size()));
    if (!space)
        return false;
    std::memcpy(space, packet.data(), packet.size());
    wintun::sendPacket(session, space);
    return true;
}

} // namespace

WINCHECK_CASE(library_is_found_beside_the_executable_by_name)
{
    REQUIRE(wintun::load());
    const HMODULE module = GetModuleHandleA("wintun.dll");
    REQUIRE(module != nullptr);
    CHECK_EQ(moduleDirectory(module), moduleDirectory(nullptr));
    CHECK_EQ(fakewintun::attachCount(), 1);
}

WINCHECK_CASE(calls_reach_their_entry_points_in_lifecycle_order)
{
    REQUIRE(wintun::load());
    reset();
    const wintun::Adapter adapter = wintun::createAdapter(kName, kName, kZeroGuid);
    REQUIRE(adapter != nullptr);
    const wintun::Session session = wintun::startSession(adapter, wintun::kRingCapacity);
    REQUIRE(session != nullptr);

    const std::vector<std::uint8_t> inbound = packetOf(60, 0x45);
    queue(inbound);
    std::uint32_t size = 0;
    const std::uint8_t* packet = wintun::receivePacket(session, &size);
    REQUIRE(packet != nullptr);
    CHECK_EQ(size, 60u);
    CHECK(std::vector<std::uint8_t>(packet, packet + size) == inbound);
    wintun::releaseReceivePacket(session, packet);

    CHECK(sendPacket(session, {0x68, 0x65, 0x6c, 0x6c, 0x6f}));
    wintun::endSession(session);
    wintun::closeAdapter(adapter);

    CHECK_EQ(
        fakewintun::journal(),
        std::string(
            "WintunCreateAdapter name=RIRODedo type=RIRODedo guid=00000000000000000000000000000000 -> A1\n"
            "WintunStartSession A1 capacity=0x400000 -> S1\n"
            "WintunReceivePacket S1 -> 60 bytes\n"
            "WintunReleaseReceivePacket S1 60 bytes\n"
            "WintunAllocateSendPacket S1 size=5 -> ok\n"
            "WintunSendPacket S1 68656c6c6f\n"
            "WintunEndSession S1\n"
            "WintunCloseAdapter A1\n"));
    CHECK_EQ(openObjects(), 0);
    CHECK_EQ(unreleased(), 0);
}

WINCHECK_CASE(requested_guid_reaches_the_library_byte_for_byte)
{
    REQUIRE(wintun::load());
    reset();
    std::uint8_t guid[16];
    for (int i = 0; i < 16; ++i)
        guid[i] = static_cast<std::uint8_t>(0xF0 + i);
    const wintun::Adapter adapter = wintun::createAdapter(u"Other", u"Kind", guid);
    REQUIRE(adapter != nullptr);
    wintun::closeAdapter(adapter);
    CHECK_EQ(
        fakewintun::journal(),
        std::string("WintunCreateAdapter name=Other type=Kind guid=f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff -> A1\n"
                    "WintunCloseAdapter A1\n"));
}

WINCHECK_CASE(empty_ring_gives_no_packet_and_size_zero)
{
    Ring ring;
    REQUIRE(ring.session != nullptr);
    const wintun::Session session = ring.session;
    // The library scribbles on the size when it has nothing.
    std::uint32_t size = 77;
    CHECK(wintun::receivePacket(session, &size) == nullptr);
    CHECK_EQ(size, 0u);
    // The reader's pause on an empty ring returns, and so does a wake.
    wintun::waitForPacket(session);
    wintun::wakeReader(session);
    ring.close();
    CHECK_EQ(openObjects(), 0);
}

WINCHECK_CASE(failed_create_gives_no_adapter)
{
    REQUIRE(wintun::load());
    reset();
    failNext("WintunCreateAdapter");
    CHECK(wintun::createAdapter(kName, kName, kZeroGuid) == nullptr);
    CHECK_EQ(openObjects(), 0);
}

WINCHECK_CASE(null_session_leaves_an_adapter_that_closes_cleanly)
{
    REQUIRE(wintun::load());
    reset();
    const wintun::Adapter adapter = wintun::createAdapter(kName, kName, kZeroGuid);
    REQUIRE(adapter != nullptr);
    failNext("WintunStartSession");
    CHECK(wintun::startSession(adapter, wintun::kRingCapacity) == nullptr);
    wintun::closeAdapter(adapter);
    CHECK_EQ(openObjects(), 0);
    const std::string journal = fakewintun::journal();
    CHECK(journal.find("-> null\nWintunCloseAdapter A") != std::string::npos);
    CHECK(journal.find("with session running") == std::string::npos);
}

WINCHECK_CASE(full_ring_gives_no_space_and_sends_nothing)
{
    Ring ring;
    REQUIRE(ring.session != nullptr);
    const wintun::Session session = ring.session;
    failNext("WintunAllocateSendPacket");
    CHECK(!sendPacket(session, packetOf(1400, 1)));
    // The size travels as an unsigned 32-bit value, the largest packet too.
    CHECK(sendPacket(session, packetOf(static_cast<int>(wintun::kMaxPacketSize), 2)));
    ring.close();
    const std::string journal = fakewintun::journal();
    CHECK(journal.find("WintunAllocateSendPacket S1 size=1400 -> null\n") != std::string::npos);
    CHECK(journal.find("WintunAllocateSendPacket S1 size=65535 -> ok\nWintunSendPacket S1 ") !=
          std::string::npos);
}

namespace {

// The reader's side of the ring, as the layer-3 back-end runs it on its own
// thread: receive, copy, release; pause when empty.
struct RingReader
{
    wintun::Session session = nullptr;
    std::atomic<bool> running{true};
    std::vector<std::vector<std::uint8_t>> copies;
    SRWLOCK lock = SRWLOCK_INIT;

    static unsigned long run(void* self)
    {
        auto* reader = static_cast<RingReader*>(self);
        while (reader->running) {
            std::uint32_t size = 0;
            if (const std::uint8_t* packet = wintun::receivePacket(reader->session, &size)) {
                AcquireSRWLockExclusive(&reader->lock);
                reader->copies.emplace_back(packet, packet + size);
                ReleaseSRWLockExclusive(&reader->lock);
                wintun::releaseReceivePacket(reader->session, packet);
            } else {
                wintun::waitForPacket(reader->session);
            }
        }
        return 0;
    }

    size_t count()
    {
        AcquireSRWLockShared(&lock);
        const size_t n = copies.size();
        ReleaseSRWLockShared(&lock);
        return n;
    }
};

void wakeRing(void* session)
{
    wintun::wakeReader(static_cast<wintun::Session>(session));
}

} // namespace

WINCHECK_CASE(reader_thread_receives_while_the_gui_thread_sends)
{
    Ring ring;
    REQUIRE(ring.session != nullptr);
    const wintun::Session session = ring.session;

    constexpr int kPackets = 200;
    RingReader reader;
    reader.session = session;
    adapter::ThreadHandle thread = adapter::startThread(&RingReader::run, &reader);
    REQUIRE(thread != nullptr);
    for (int i = 0; i < kPackets; ++i) {
        queue(packetOf(40 + i, static_cast<std::uint8_t>(i)));
        CHECK(sendPacket(session, packetOf(20 + i, static_cast<std::uint8_t>(i))));
    }
    for (int waited = 0; reader.count() < kPackets && waited < 5000; waited += 5)
        Sleep(5);

    reader.running = false;
    CHECK(adapter::stopReader(thread, wakeRing, session));
    CHECK(thread == nullptr);
    ring.close();

    REQUIRE(reader.copies.size() == kPackets);
    for (int i = 0; i < kPackets; ++i)
        CHECK(reader.copies[static_cast<size_t>(i)] == packetOf(40 + i, static_cast<std::uint8_t>(i)));
    CHECK_EQ(unreleased(), 0);
    CHECK_EQ(openObjects(), 0);
    const std::string journal = fakewintun::journal();
    size_t sends = 0;
    for (size_t at = journal.find("WintunSendPacket S"); at != std::string::npos;
         at = journal.find("WintunSendPacket S", at + 1))
        ++sends;
    CHECK_EQ(sends, static_cast<size_t>(kPackets));
    CHECK(journal.find("unknown") == std::string::npos);
}

// Last: it takes away the library's one reference.
WINCHECK_CASE(library_is_loaded_once_and_kept)
{
    REQUIRE(wintun::load());
    REQUIRE(wintun::load());
    REQUIRE(wintun::load());
    CHECK_EQ(fakewintun::attachCount(), 1);
    // Every LoadLibrary adds a reference: after one release the library is
    // gone only if it was loaded once.
    const HMODULE module = GetModuleHandleA("wintun.dll");
    REQUIRE(module != nullptr);
    FreeLibrary(module);
    CHECK(GetModuleHandleA("wintun.dll") == nullptr);
}

WINCHECK_MAIN()
