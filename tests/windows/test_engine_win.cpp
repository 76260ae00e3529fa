// The Win32 engine units as production runs them: the Wintun ring (the
// stand-in wintun.dll beside this program) and the TAP device (a message-mode
// pipe opened like one) carried by tunnel::Engine over a Winsock socket, with
// a loopback socket as the relay. Also the platform calls on their own: the
// ring's lifecycle in the library's journal, and the device's exclusive open.
// Winsock before anything that brings in windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/engine.h"
#include "net/xorkey.h"
#include "tests/windows/fakewintun.h"
#include "tests/windows/wincheck.h"

#include <string>
#include <vector>
#include <windows.h>

namespace {

using Bytes = std::vector<unsigned char>;
const char16_t kName[] = u"RIRODedo";
const std::uint8_t kZeroGuid[16] = {};

Bytes packetOf(int size, unsigned char seed)
{
    Bytes p(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        p[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + i * 7);
    return p;
}

Bytes scrambled(Bytes p)
{
    tunnel::scrambleInPlace(p.data(), p.size());
    return p;
}

std::string hex(const Bytes& p)
{
    std::string out;
    char digits[3];
    for (unsigned char b : p) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

// A plain Winsock socket on 127.0.0.1: the relay, or a stranger.
const bool winsock = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

struct Peer {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    std::uint16_t port = 0;
    Peer()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int n = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), n);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        DWORD ms = 2000;
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    }
    ~Peer() { closesocket(s); }
    void sendTo(std::uint16_t to, const Bytes& data) const
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(s, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()), 0,
               reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    Bytes receive() const
    {
        Bytes b(65536);
        const int n = recv(s, reinterpret_cast<char*>(b.data()), static_cast<int>(b.size()), 0);
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
};

// The tunnel endpoint aimed at `relay`.
struct Endpoint {
    udp::Peer relayPeer;
    udp::Socket socket;
    explicit Endpoint(const Peer& relay)
        : relayPeer(udp::parsePeer("127.0.0.1", relay.port)), socket(udp::open(relayPeer)) {}
    ~Endpoint() { udp::close(socket); }
    std::uint16_t port() const { return udp::localPort(socket); }
};

bool waitFor(bool (*condition)(), int ms = 3000)
{
    for (int waited = 0; !condition(); waited += 10) {
        if (waited > ms)
            return false;
        Sleep(10);
    }
    return true;
}

bool sentToRing() { return fakewintun::journal().find("WintunSendPacket") != std::string::npos; }

// A message-mode pipe: the server end is the adapter, the client end is the device.
struct Pipe {
    std::string path = "\\\\.\\pipe\\pellora-tap-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     1, 8192, 8192, 0, nullptr);
    tap::Device device = tap::open(path);
    Pipe()
    {
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(device, &mode, nullptr, nullptr);
    }
    ~Pipe()
    {
        if (device != adapter::invalidDevice())
            tap::close(device);
        CloseHandle(server);
    }
};

} // namespace

WINCHECK_CASE(ring_lifecycle_reaches_the_library_in_order)
{
    REQUIRE(wintun::load());
    CHECK_EQ(fakewintun::attachCount(), 1);
    fakewintun::control<fakewintun::ResetFn>("FakeWintunReset")();
    fakewintun::control<fakewintun::FailNextFn>("FakeWintunFailNext")("WintunCreateAdapter");
    CHECK(wintun::createAdapter(kName, kName, kZeroGuid) == nullptr);
    const wintun::Adapter adapter = wintun::createAdapter(kName, kName, kZeroGuid);
    const wintun::Session session = wintun::startSession(adapter, wintun::kRingCapacity);
    REQUIRE(session != nullptr);
    std::uint32_t size = 77;
    CHECK(wintun::receivePacket(session, &size) == nullptr);
    CHECK_EQ(size, 0u);
    wintun::endSession(session);
    wintun::closeAdapter(adapter);
    CHECK_EQ(fakewintun::journal(),
             std::string("WintunCreateAdapter name=RIRODedo type=RIRODedo guid=00000000000000000000000000000000 -> null\n"
                         "WintunCreateAdapter name=RIRODedo type=RIRODedo guid=00000000000000000000000000000000 -> A1\n"
                         "WintunStartSession A1 capacity=0x400000 -> S1\n"
                         "WintunEndSession S1\n"
                         "WintunCloseAdapter A1\n"));
    CHECK(wintun::load()); // kept, not loaded again
    CHECK_EQ(fakewintun::attachCount(), 1);
}

WINCHECK_CASE(ring_engine_carries_packets_both_ways_only_from_the_relay)
{
    REQUIRE(wintun::load());
    fakewintun::control<fakewintun::ResetFn>("FakeWintunReset")();
    const wintun::Adapter adapter = wintun::createAdapter(kName, kName, kZeroGuid);
    const wintun::Session session = wintun::startSession(adapter, wintun::kRingCapacity);
    Peer relay;
    Peer stranger;
    Endpoint endpoint(relay);
    REQUIRE(endpoint.socket != nullptr);
    tunnel::Engine engine;
    REQUIRE(engine.start(tunnel::ringPort(session), endpoint.socket, endpoint.relayPeer));

    // Outbound: read from the ring, released, scrambled to the relay from the endpoint's port.
    const Bytes out = packetOf(60, 0x45);
    fakewintun::control<fakewintun::QueueFn>("FakeWintunQueue")(out.data(), static_cast<DWORD>(out.size()));
    CHECK(relay.receive() == scrambled(out));
    CHECK_EQ(fakewintun::control<fakewintun::UnreleasedFn>("FakeWintunUnreleased")(), 0);

    // Inbound: only the relay's non-JSON datagrams reach the ring, unscrambled.
    Bytes json = scrambled(packetOf(30, 1));
    json[0] = '{';
    stranger.sendTo(endpoint.port(), scrambled(packetOf(40, 9)));
    relay.sendTo(endpoint.port(), json);
    const Bytes in = packetOf(50, 0x60);
    relay.sendTo(endpoint.port(), scrambled(in));
    CHECK(waitFor(sentToRing));
    const std::string journal = fakewintun::journal();
    CHECK(journal.find("WintunSendPacket S1 " + hex(in) + "\n") != std::string::npos);
    CHECK_EQ(journal.find("WintunSendPacket"), journal.rfind("WintunSendPacket"));

    const DWORD begun = GetTickCount();
    CHECK(engine.stop());
    CHECK(GetTickCount() - begun < 1000);
    CHECK(!engine.active());
    wintun::endSession(session);
    wintun::closeAdapter(adapter);
    CHECK_EQ(fakewintun::control<fakewintun::OpenObjectsFn>("FakeWintunOpenObjects")(), 0);
}

WINCHECK_CASE(device_is_opened_for_exclusive_use)
{
    CHECK_EQ(tap::devicePath("{8A3A}"), std::string("\\\\.\\Global\\{8A3A}.tap"));
    Pipe pipe;
    REQUIRE(pipe.device != adapter::invalidDevice());
    CHECK(tap::open(pipe.path) == adapter::invalidDevice());
    CHECK(tap::open("\\\\.\\pipe\\pellora-absent") == adapter::invalidDevice());
}

WINCHECK_CASE(device_engine_carries_frames_both_ways_and_stop_cancels_the_pending_read)
{
    Pipe pipe;
    REQUIRE(pipe.device != adapter::invalidDevice());
    Peer relay;
    Endpoint endpoint(relay);
    tunnel::Engine engine;
    REQUIRE(engine.start(tunnel::devicePort(pipe.device), endpoint.socket, endpoint.relayPeer));

    const Bytes out = packetOf(90, 0x11);
    DWORD count = 0;
    CHECK(WriteFile(pipe.server, out.data(), static_cast<DWORD>(out.size()), &count, nullptr));
    CHECK(relay.receive() == scrambled(out));

    const Bytes in = packetOf(70, 0x22);
    relay.sendTo(endpoint.port(), scrambled(in));
    Bytes got(4096);
    CHECK(ReadFile(pipe.server, got.data(), static_cast<DWORD>(got.size()), &count, nullptr));
    got.resize(count);
    CHECK(got == in);

    // The reader waits in a pending read now; stop cancels it and ends both threads at once.
    Sleep(100);
    const DWORD begun = GetTickCount();
    CHECK(engine.stop());
    CHECK(GetTickCount() - begun < 1000);
}

WINCHECK_MAIN()
