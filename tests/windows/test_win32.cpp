// The Win32 units as production runs them: the Wintun ring and the TAP device
// (a message-mode pipe) carried to a loopback relay, and the frameless window.
#include "net/broadcastroute.h"
#include "net/engine.h"
#include "net/tap_api.h"
#include "net/wintun_api.h"
#include "protocol/scramble.h"
#include "tests/support/sealvectors.h"
#include "tests/windows/fakewintun.h"
#include "ui/hittest.h"
#include "ui/titlebar_win.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

// CHECK goes on after a failure; REQUIRE leaves the case.
#define CHECK(cond) check(static_cast<bool>(cond), #cond, __LINE__)
#define REQUIRE(cond)                                                                                        \
    do {                                                                                                     \
        if (!CHECK(cond))                                                                                    \
            return;                                                                                          \
    } while (false)

namespace {

int failedChecks = 0;

bool check(bool ok, const char* what, int line)
{
    if (!ok) {
        std::printf("    line %d: %s\n", line, what);
        ++failedChecks;
    }
    return ok;
}

using Bytes = std::vector<unsigned char>;

Bytes scrambled(Bytes p)
{
    tunnel::scrambleInPlace(p.data(), p.size());
    return p;
}

// A socket on 127.0.0.1, made like the tunnel's: the relay, or a stranger.
struct Peer
{
    udp::Socket socket = udp::open(udp::parsePeer("127.0.0.1", 9));
    std::uint16_t port = udp::localPort(socket);
    ~Peer() { udp::close(socket); }
    void sendTo(std::uint16_t to, const Bytes& data) const
    {
        udp::send(socket, udp::parsePeer("127.0.0.1", to), data.data(), data.size());
    }
    Bytes receive() const // waits up to two seconds on the non-blocking socket
    {
        Bytes b(65536);
        int n = -1;
        for (int waited = 0; n < 0 && waited < 2000; waited += 10) {
            Sleep(10);
            n = recv(static_cast<SOCKET>(udp::descriptor(socket)), reinterpret_cast<char*>(b.data()), 65536,
                     0);
        }
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
};

// The engine on `port`, aimed at `relay`, until stopped; stop must be prompt.
struct Running
{
    Peer endpoint;
    udp::Peer relayPeer;
    tunnel::Engine engine;
    bool started;
    Running(std::unique_ptr<tunnel::AdapterPort> port, const Peer& relay)
        : relayPeer(udp::parsePeer("127.0.0.1", relay.port)),
          started(engine.start(std::move(port), endpoint.socket, relayPeer))
    {
    }
    bool stopsPromptly()
    {
        const DWORD begun = GetTickCount();
        return engine.stop() && !engine.active() && GetTickCount() - begun < 1000;
    }
};

constexpr int kLeft = 100, kTop = 200, kWidth = 300, kHeight = 400;

// The whole way of a WM_NCHITTEST at 100 % scale: message, point, zone.
int zoneAtScreen(HWND hwnd, int screenX, int screenY, bool overButton = false)
{
    // As the system packs the point: two signed 16-bit halves.
    const LPARAM point = static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(screenX)) |
                                             (static_cast<DWORD>(static_cast<WORD>(screenY)) << 16));
    const MSG m{hwnd, WM_NCHITTEST, 0, point, 0, {}};
    chrome::HitQuery q{0, 0, kWidth, kHeight, 40, overButton, false};
    chrome::win::hitTestPoint(&m, &q.x, &q.y);
    return static_cast<int>(chrome::hitZone(q));
}

} // namespace

// The program's folder has no wintun.dll; "incomplete" has one lacking
// WintunSendPacket, "complete" the whole library.
static void onlyAWholeLibraryLoadsAndFailedLoadsAreTriedAgain()
{
    CHECK(!wintun::load());
    SetDllDirectoryA("incomplete");
    CHECK(!wintun::load());
    CHECK(GetModuleHandleA("wintun.dll") == nullptr); // not kept half-usable
    SetDllDirectoryA("complete");
    CHECK(wintun::load());
    CHECK(wintun::load()); // kept, not loaded again
    CHECK(fakewintun::attachCount() == 2);
}

static void ringEngineCarriesPacketsOnlyFromTheRelay()
{
    REQUIRE(wintun::load());
    const std::uint8_t guid[16] = {0xAB};
    const wintun::Adapter adapter = wintun::createAdapter(u"RIRODedo", u"Tun", guid);
    const wintun::Session session = wintun::startSession(adapter, wintun::kRingCapacity);
    REQUIRE(session != nullptr);
    std::uint32_t size = 77;
    CHECK(wintun::receivePacket(session, &size) == nullptr && size == 0);
    Peer relay, stranger;
    Running running(wintun::ringDevice(adapter, session), relay);
    REQUIRE(running.started);
    // Outbound: read from the ring, scrambled to the relay.
    const Bytes out = Bytes(60, 0x45);
    fakewintun::entry<void(const BYTE*, DWORD)>("FakeWintunQueue")(out.data(),
                                                                   static_cast<DWORD>(out.size()));
    CHECK(relay.receive() == scrambled(out));
    // Inbound: only the relay's datagrams reach the ring, unscrambled (its JSON stays out: test_tunnel).
    stranger.sendTo(running.endpoint.port, scrambled(Bytes(40, 9)));
    const Bytes in = Bytes(50, 0x60);
    relay.sendTo(running.endpoint.port, scrambled(in));
    for (int waited = 0; waited < 3000 && fakewintun::journal().find("WintunSendPacket") == std::string::npos;
         waited += 10)
        Sleep(10);
    CHECK(running.stopsPromptly()); // the ring and its adapter close with the engine's end
    CHECK(fakewintun::journal() ==
          "WintunCreateAdapter name=RIRODedo type=Tun guid=ab" + std::string(30, '0') + " -> A\n" +
              "WintunStartSession A capacity=4194304 -> S\n" + "WintunSendPacket S " +
              fakewintun::hex(in.data(), in.size()) + "\n" + "WintunEndSession S\nWintunCloseAdapter A\n");
    CHECK(fakewintun::entry<int()>("FakeWintunLeftOpen")() == 0); // every packet released, too
}

static void deviceIsExclusiveAndCarriesFrames()
{
    // The server end of a message-mode pipe is the adapter, the client end the device.
    const std::string path = "\\\\.\\pipe\\pellora-tap-" + std::to_string(GetCurrentProcessId());
    const HANDLE adapterEnd =
        CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 8192,
                         8192, 0, nullptr);
    const tap::Handle device = tap::open(path);
    REQUIRE(device != tap::invalidDevice());
    CHECK(tap::open(path) == tap::invalidDevice());
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(device, &mode, nullptr, nullptr);
    Peer relay;
    {
        Running running(tap::frameDevice(device), relay); // closes the device once stopped
        REQUIRE(running.started);
        const Bytes out = Bytes(90, 0x11);
        DWORD count = 0;
        CHECK(WriteFile(adapterEnd, out.data(), static_cast<DWORD>(out.size()), &count, nullptr));
        CHECK(relay.receive() == scrambled(out));

        const Bytes in = Bytes(70, 0x22);
        relay.sendTo(running.endpoint.port, scrambled(in));
        Bytes got(4096);
        CHECK(ReadFile(adapterEnd, got.data(), static_cast<DWORD>(got.size()), &count, nullptr));
        got.resize(count);
        CHECK(got == in);
        Sleep(100); // the reader now waits in a pending read, which stop cancels
        CHECK(running.stopsPromptly());
    }
    CloseHandle(adapterEnd);
}

// The frame style lets the system maximise the window, whose client area is
// then the work area; hit tests read the signed point in window coordinates.
static void frameOnARealWindow()
{
    const HWND hwnd = CreateWindowExW(0, L"STATIC", L"Pellora test", WS_POPUP, kLeft, kTop, kWidth, kHeight,
                                      nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(hwnd != nullptr);
    CHECK(zoneAtScreen(hwnd, kLeft + 3, kTop + 3) == HTTOPLEFT);
    CHECK(zoneAtScreen(hwnd, kLeft + 150, kTop + 20) == HTCAPTION);
    // Left of and above the window, on monitors at negative coordinates.
    CHECK(zoneAtScreen(hwnd, -5, kTop + 20) == HTLEFT);
    CHECK(zoneAtScreen(hwnd, kLeft + 150, -30) == HTTOP);
    chrome::win::addFrameStyle(reinterpret_cast<std::uintptr_t>(hwnd));
    const LONG style = GetWindowLongW(hwnd, GWL_STYLE);
    const LONG framed = WS_CAPTION | WS_THICKFRAME | WS_MAXIMIZEBOX | WS_POPUP;
    CHECK((style & (framed | WS_MINIMIZEBOX)) == framed);
    ShowWindow(hwnd, SW_MAXIMIZE);
    REQUIRE(IsZoomed(hwnd));
    MONITORINFO info{sizeof(MONITORINFO), {}, {}, 0};
    REQUIRE(GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &info));
    // The system's proposal hangs the invisible frame over the screen edges.
    NCCALCSIZE_PARAMS params{};
    params.rgrc[0] =
        RECT{info.rcWork.left - 8, info.rcWork.top - 8, info.rcWork.right + 8, info.rcWork.bottom + 8};
    const MSG m{hwnd, WM_NCCALCSIZE, TRUE, reinterpret_cast<LPARAM>(&params), 0, {}};
    const chrome::win::NativeMessage native = chrome::win::readMessage(&m);
    CHECK(chrome::classifyFrameMessage(native.id, native.wParam) == chrome::FrameMessage::ClaimClientArea);
    CHECK(chrome::win::claimClientArea(&m) == 0);
    CHECK(EqualRect(&params.rgrc[0], &info.rcWork));
    DestroyWindow(hwnd);
}

// The steps that send limited broadcasts through the adapter reach netsh and
// route with exactly their arguments, a connection name with blanks and quotes too.
static void broadcastStepsReachTheCommandsIntact()
{
    wchar_t self[MAX_PATH];
    const std::wstring program(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    const std::wstring folder = program.substr(0, program.rfind(L'\\')) + L"\\commands";
    DeleteFileA("commands.log");
    for (const auto& steps : {lanbroadcast::captureCommands(L"LAN \"party\" 2\\", L"10.8.1.5", true),
                              lanbroadcast::releaseCommands(L"10.8.1.5")})
        for (const lanbroadcast::Command& step : steps)
            CHECK(lanbroadcast::run(step, folder) == 0);
    CHECK(lanbroadcast::run({L"missing.exe", {}}, folder) == -1);
    std::ifstream file("commands.log", std::ios::binary);
    const std::string log{std::istreambuf_iterator<char>(file), {}};
    CHECK(log == "netsh.exe|interface|ipv4|set|interface|LAN \"party\" 2\\|metric=1\n"
                 "route.exe|add|255.255.255.255|mask|255.255.255.255|10.8.1.5|metric|1\n"
                 "route.exe|delete|255.255.255.255|mask|255.255.255.255|10.8.1.5\n");
}

// BCrypt meets the same vectors as OpenSSL on Linux.
static void sealingMeetsTheFixedVectors()
{
    const char* failure = sealvectors::firstFailure();
    check(failure == nullptr, failure, __LINE__);
}

// No Qt here: each case prints its name and its failed checks, and the run ends with "N passed, N failed".
int main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0); // all of it, even when a case crashes
    const std::pair<const char*, void (*)()> cases[] = {
        {"wintun library loading", onlyAWholeLibraryLoadsAndFailedLoadsAreTriedAgain},
        {"ring engine", ringEngineCarriesPacketsOnlyFromTheRelay},
        {"device engine", deviceIsExclusiveAndCarriesFrames},
        {"frame on a real window", frameOnARealWindow},
        {"broadcast steps", broadcastStepsReachTheCommandsIntact},
        {"sealing vectors", sealingMeetsTheFixedVectors}};
    int failed = 0;
    for (const auto& [name, run] : cases) {
        std::printf("%s\n", name);
        const int before = failedChecks;
        run();
        failed += failedChecks != before;
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(std::size(cases)) - failed, failed);
    return failed ? 1 : 0;
}
