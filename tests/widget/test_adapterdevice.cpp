// Both back-ends on real devices in private namespaces.
#include "net/hostconfig.h"
#include "net/netdev_linux.h"
#include "net/scramble.h"
#include "tests/support/fakelobby.h"
#include "tests/support/netns.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <future>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kTun = "RIRODedo";
const char* const kTap = "pellora0";
// Before main, so before any thread exists: every thread shares these namespaces.
const QString g_skip = [] {
    QString why = netns::unavailable();
    if (why.isEmpty() && (unshare(CLONE_NEWNET) != 0 || !netdev::setUp("lo")))
        why = u"cannot create a private network namespace"_s;
    return why;
}();
const bool g_mountNamespace = g_skip.isEmpty() && unshare(CLONE_NEWNS) == 0 &&
                              mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
// Takes `capability` out of, or back into, this thread's effective set.
bool setEffective(int capability, bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    auto& effective = data[CAP_TO_INDEX(capability)].effective;
    effective = on ? effective | CAP_TO_MASK(capability) : effective & ~CAP_TO_MASK(capability);
    return syscall(SYS_capset, &header, data) == 0;
}
ifreq query(const char* name, unsigned long request)
{
    ifreq data{};
    std::strncpy(data.ifr_name, name, IFNAMSIZ - 1);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ioctl(fd, request, &data) != 0)
        data = {};
    close(fd);
    return data;
}
// A plain UDP socket bound to `address`, usable from any thread.
struct Udp
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    quint16 port = 0;
    explicit Udp(const char* address, quint16 wanted = 0)
    {
        sockaddr_in a{AF_INET, htons(wanted), {}, {}};
        inet_pton(AF_INET, address, &a.sin_addr);
        socklen_t n = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), n) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
    }
    ~Udp() { close(fd); }
    void sendTo(const char* address, quint16 to, const QByteArray& data) const
    {
        sockaddr_in a{AF_INET, htons(to), {}, {}};
        inet_pton(AF_INET, address, &a.sin_addr);
        sendto(fd, data.constData(), size_t(data.size()), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // The next datagram within `ms` for which `wanted` holds, empty when none.
    template <typename F> QByteArray receive(int ms, F wanted) const
    {
        const QDeadlineTimer deadline(ms);
        char buffer[4096];
        for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, int(deadline.remainingTime())) > 0;)
            if (const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                n >= 0 && wanted(QByteArray(buffer, int(n))))
                return QByteArray(buffer, int(n));
        return {};
    }
};

netns::Result ip(const QString& args)
{
    return netns::run((u"ip "_s + args).split(u' '));
}
bool broadcastsRouted()
{
    return ip(u"route show 255.255.255.255/32"_s).output.contains(u"dev"_s);
}

enum Cause { held, noRight, nodeClosed, noDriver }; // why an adapter cannot start

// Holds bring-ups on their thread once the device exists, until released. Bounded,
// so that steps run on the GUI thread fail the test instead of hanging it.
struct BringUpHold
{
    std::promise<void> go;
    std::shared_future<void> released = go.get_future().share();
    std::atomic<bool> inside{false};
    std::atomic<bool> done{false};
    void release()
    {
        if (!done.exchange(true))
            go.set_value();
    }
};

// A UDP datagram in an IPv4 packet with a valid header checksum (UDP checksum 0).
QByteArray udpPacket(const char* source, const char* destination, quint16 sourcePort, quint16 destinationPort,
                     const QByteArray& payload)
{
    // Version 4, 20-byte header, TTL 64, protocol UDP; the rest filled in below.
    QByteArray packet = QByteArray::fromHex("450000000000000040110000") + QByteArray(16, '\0') + payload;
    auto* b = reinterpret_cast<uchar*>(packet.data());
    qToBigEndian<quint16>(static_cast<quint16>(packet.size()), b + 2);
    qToBigEndian<quint32>(QHostAddress(QLatin1String(source)).toIPv4Address(), b + 12);
    qToBigEndian<quint32>(QHostAddress(QLatin1String(destination)).toIPv4Address(), b + 16);
    quint32 sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += qFromBigEndian<quint16>(b + i);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    qToBigEndian<quint16>(static_cast<quint16>(~sum), b + 10);
    qToBigEndian<quint16>(sourcePort, b + 20);
    qToBigEndian<quint16>(destinationPort, b + 22);
    qToBigEndian<quint16>(static_cast<quint16>(8 + payload.size()), b + 24);
    return packet;
}

} // namespace

class TestAdapterDevice : public QObject, ClientFixture
{
    Q_OBJECT
    std::unique_ptr<Udp> relay;
    quint16 clientPort = 0;
    std::unique_ptr<Udp> game; // a program on the adapter's address
    bool layer2 = false;
    std::shared_ptr<BringUpHold> hold;

    static bool rowTap()
    {
        QFETCH_GLOBAL(bool, tap);
        return tap;
    }
    void startClient(bool tap = rowTap())
    {
        client.reset(); // the previous one, before its lobby goes
        lobby = std::make_unique<FakeLobby>();
        relay = std::make_unique<Udp>("127.0.0.1", lobby->port());
        QVERIFY(loggedIn());
        clientPort = udp::localPort(P::tunnel(*client)->socket());
        if ((layer2 = tap))
            P::layer2Button(*client)->click();
    }
    void join(const QString& vip)
    {
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, vip}, {u"room_name"_s, u"A"_s}}));
        QTRY_VERIFY(P::tunnel(*client)->carrying());
    }
    // In a room at 10.8.0.5 in the row's mode, beside a game; 10.8.0.9 is a peer behind the relay.
    void enterRoom()
    {
        startClient();
        join(u"10.8.0.5"_s);
        game = std::make_unique<Udp>("10.8.0.5");
        if (layer2) // the peer's hardware address, as if learnt from its first frame
            QVERIFY(system("ip neigh replace 10.8.0.9 lladdr 02:aa:bb:cc:dd:01 dev pellora0") == 0);
    }
    // `payload` from the peer to the game, as the relay sends it.
    QByteArray inbound(const QByteArray& payload) const
    {
        const QByteArray ip = udpPacket("10.8.0.9", "10.8.0.5", 7000, game->port, payload);
        const QByteArray mac(query(kTap, SIOCGIFHWADDR).ifr_hwaddr.sa_data, 6);
        // In layer 2 a frame to the adapter from the peer's hardware address, carrying IPv4.
        return tunnel::scramblePayload(layer2 ? mac + QByteArray::fromHex("02aabbccdd010800") + ip : ip);
    }
    QByteArray gameReceives() const
    {
        return game->receive(1000, [](const QByteArray&) { return true; });
    }
    // No back-end running and none of its handles kept.
    bool adapterGone()
    {
        const TunnelSession& t = *P::tunnel(*client);
        return !t.carrying() && !t.adapterRunning() && !t.bringingUp();
    }
    // Logged in, the next bring-ups held; in the room at `vip` with the steps held.
    bool joinHeld(const QString& vip)
    {
        startClient();
        if (QTest::currentTestFailed())
            return false;
        hold = std::make_shared<BringUpHold>();
        P::tunnel(*client)->holdBringUp([h = hold] {
            h->inside = true;
            h->released.wait_for(std::chrono::seconds(10));
            h->inside = false;
        });
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, vip}, {u"room_name"_s, u"A"_s}}));
        return testwait::until([this] { return bool(hold->inside); });
    }
    bool broadcastsPutBack() const
    {
        return !broadcastsRouted() && !settings.contains(u"cleanup/broadcastRoute"_s);
    }
    void verifyLeft()
    {
        QTRY_COMPARE(lobby->count(u"leave_room"_s), 1);
        QVERIFY(adapterGone());
    }
    static void leftOrClosed()
    {
        QTest::addColumn<bool>("close");
        QTest::newRow("left") << false;
        QTest::newRow("window closed") << true;
    }

private slots:
    void initTestCase_data() // every test runs in both modes
    {
        QTest::addColumn<bool>("tap");
        QTest::newRow("layer 3") << false;
        QTest::newRow("layer 2") << true;
    }
    void initTestCase()
    {
        if (!g_skip.isEmpty())
            QSKIP(qPrintable(g_skip));
    }
    void cleanup()
    {
        if (hold)
            hold->release();
        hold.reset();
        client.reset();
        game.reset();
        relay.reset();
        lobby.reset();
        QTRY_VERIFY(!if_nametoindex(kTun) && !if_nametoindex(kTap));
    }
    void adapterTakesTheRoomAddress()
    {
        enterRoom();
        const char* name = layer2 ? kTap : kTun;
        const ifreq address = query(name, SIOCGIFADDR);
        QCOMPARE(QHostAddress(&address.ifr_addr).toString(), u"10.8.0.5"_s);
        QCOMPARE(query(name, SIOCGIFMTU).ifr_mtu, layer2 ? hostconfig::kLayer2Mtu : hostconfig::kLayer3Mtu);
    }
    // From another thread while the GUI thread waits for it: each round trip is prompt.
    void trafficFlowsWhileTheGuiThreadIsBlocked()
    {
        enterRoom();
        std::atomic<int> prompt{0};
        std::thread traffic([&] {
            for (int i = 0; i < 20; ++i) {
                QElapsedTimer clock;
                clock.start();
                const QByteArray tag = "in-" + QByteArray::number(i);
                relay->sendTo("127.0.0.1", clientPort, inbound(tag));
                const bool in = game->receive(200, [&](const QByteArray& d) { return d == tag; }) == tag;
                game->sendTo("10.8.0.9", 7000, "out-" + QByteArray::number(i));
                const QByteArray out = relay->receive(200, [&](const QByteArray& d) {
                    return tunnel::scramblePayload(d).endsWith("out-" + QByteArray::number(i));
                });
                prompt += in && !out.isEmpty() && clock.elapsed() < 100;
            }
        });
        traffic.join(); // the GUI thread blocks here, no event loop runs
        QCOMPARE(prompt.load(), 20);
    }
    // The engine filters what it receives (the filter's cases are test_tunnel's): a stranger's never arrives.
    void onlyTheRelaysDatagramsReachTheAdapter()
    {
        enterRoom();
        Udp("127.0.0.1").sendTo("127.0.0.1", clientPort, inbound("forged"));
        relay->sendTo("127.0.0.1", clientPort, inbound("last"));
        QCOMPARE(gameReceives(), QByteArray("last"));
    }
    // A segmented send arrives as one coalesced receive; every datagram in it reaches the adapter.
    void coalescedReceiveReachesTheAdapterWhole()
    {
        enterRoom();
        QByteArray burst;
        for (const char* tag : {"seg-a", "seg-b", "seg-c"})
            burst += inbound(tag);
        const int segment = int(burst.size() / 3);
        QVERIFY(setsockopt(relay->fd, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) == 0);
        relay->sendTo("127.0.0.1", clientPort, burst);
        for (const char* tag : {"seg-a", "seg-b", "seg-c"})
            QCOMPARE(gameReceives(), QByteArray(tag));
    }
    // A stop while both threads are busy both ways ends them at once and leaves nothing.
    void stopUnderLoadEndsAtOnce()
    {
        enterRoom();
        std::atomic<bool> flood{true};
        const QByteArray full = inbound(QByteArray(1200, 'i'));
        std::thread flooding([&] {
            while (flood) {
                relay->sendTo("127.0.0.1", clientPort, full);
                game->sendTo("10.8.0.9", 7000, QByteArray(1200, 'o'));
            }
        });
        // Both ways under way: the engine carries each direction.
        QVERIFY(!gameReceives().isEmpty() &&
                !relay->receive(1000, [](const QByteArray&) { return true; }).isEmpty());
        QElapsedTimer clock;
        clock.start();
        P::stopAdapters(*client);
        const qint64 took = clock.elapsed();
        flood = false;
        flooding.join();
        QVERIFY2(took < 1000, qPrintable(QString::number(took)));
        QVERIFY(adapterGone() && !if_nametoindex(kTun));
    }
    // With no socket to carry it the engine cannot start: the room stays, its adapter goes.
    void noTunnelSocketLeavesNoAdapter()
    {
        startClient();
        P::tunnel(*client)->openTunnel(QString(), 0); // no numeric address: no socket
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, u"10.8.0.5"_s}, {u"room_name"_s, u"A"_s}}));
        QTRY_COMPARE(P::mainTabs(*client)->currentWidget(), P::roomPage(*client));
        QTRY_VERIFY(adapterGone() && !if_nametoindex(kTun) && !if_nametoindex(kTap));
    }
    // The room page shows the adapter coming up, and the event loop turns, while a step is held.
    void windowStaysFreeWhileTheAdapterComesUp()
    {
        QVERIFY(joinHeld(u"10.8.0.5"_s));
        QCOMPARE(P::mainTabs(*client)->currentWidget(), P::roomPage(*client));
        QCOMPARE(P::localIpLabel(*client)->text(), u"Local IP: 10.8.0.5 (adapter coming up...)"_s);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, &timer, [&] { ++ticks; });
        timer.start(1);
        QTRY_VERIFY(ticks >= 3 && hold->inside);
        QVERIFY(!P::tunnel(*client)->carrying());
        hold->release();
        QTRY_VERIFY(P::tunnel(*client)->carrying());
        QCOMPARE(P::localIpLabel(*client)->text(), u"Local IP: 10.8.0.5"_s);
    }
    void leavingWhileTheAdapterComesUpLeavesNothing_data() { leftOrClosed(); }
    // What the held steps make is taken down once they end, and the system put back.
    void leavingWhileTheAdapterComesUpLeavesNothing()
    {
        QFETCH_GLOBAL(bool, tap);
        QFETCH(bool, close);
        // An administrator's TAP interface outlives the client, and so would a route on it.
        QVERIFY(!tap || ip(u"tuntap add dev pellora0 mode tap"_s).code == 0);
        QVERIFY(joinHeld(u"10.8.0.5"_s));
        if (close) {
            hold->release();
            client.reset();
        } else {
            P::disconnectButton(*client)->click();
            QTRY_COMPARE(lobby->count(u"leave_room"_s), 1);
            hold->release();
            QTRY_VERIFY(adapterGone());
        }
        QTRY_VERIFY(broadcastsPutBack());
        QVERIFY(!tap || ip(u"link del pellora0"_s).code == 0);
    }
    // A join while the adapter of a left room still comes up gets the adapter once that one is down.
    void rejoinWhileTheAdapterComesUpMakesOneAdapter()
    {
        QVERIFY(joinHeld(u"10.8.0.5"_s));
        const NextBox none; // a second adapter beside the first would be refused
        P::disconnectButton(*client)->click();
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, u"10.8.0.7"_s}, {u"room_name"_s, u"B"_s}}));
        QTRY_COMPARE(P::localIpLabel(*client)->text(), u"Local IP: 10.8.0.7 (adapter coming up...)"_s);
        hold->release();
        QTRY_VERIFY(P::tunnel(*client)->carrying());
        const ifreq address = query(layer2 ? kTap : kTun, SIOCGIFADDR);
        QCOMPARE(QHostAddress(&address.ifr_addr).toString(), u"10.8.0.7"_s);
        QVERIFY2(none.title.isEmpty(), qPrintable(none.text));
    }
    void endOfTheRoomStopsTheAdapter_data() { leftOrClosed(); }
    // A closed window sends nothing.
    void endOfTheRoomStopsTheAdapter()
    {
        QFETCH(bool, close);
        enterRoom();
        if (!close) {
            P::disconnectButton(*client)->click();
        } else {
            const qsizetype before = lobby->received.size();
            client.reset(); // the connection's end comes after every line sent before it
            QTRY_COMPARE(lobby->client->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(lobby->received.size(), before);
        }
        if (client)
            verifyLeft();
        QVERIFY(!if_nametoindex(kTun) && !if_nametoindex(kTap));
    }
    void startFailureNamesItsCause_data()
    {
        QTest::addColumn<int>("cause");
        QTest::addColumn<QString>("title"); // %1: the driver's name for a missing driver
        QTest::addColumn<QString>("mentions");
        QTest::newRow("held") << int(held) << u"Permission Error"_s << u"Another program is using the %1"_s;
        QTest::newRow("no right")
            << int(noRight) << u"Permission Error"_s
            << u"CAP_NET_ADMIN right, which this program does not have. Grant it once with "
               u"\"sudo setcap cap_net_admin+ep /"_s;
        QTest::newRow("node closed") << int(nodeClosed) << u"Permission Error"_s
                                     << u"as root with \"chmod 0666 /dev/net/tun\""_s;
        QTest::newRow("no driver") << int(noDriver) << u"Driver %1"_s << u"modprobe tun"_s;
    }
    // Each cause gets its own message with the step that fixes it, and the room is left.
    void startFailureNamesItsCause()
    {
        if (!g_mountNamespace)
            QSKIP("no private mount namespace to replace /dev/net in");
        QFETCH(int, cause);
        QFETCH(QString, title);
        QFETCH(QString, mentions);
        startClient();
        const int hold = cause == held ? netdev::openInterface(layer2 ? kTap : kTun, layer2) : -1;
        if (cause == noDriver || cause == nodeClosed)
            QVERIFY(mount("tmpfs", "/dev/net", "tmpfs", 0, "size=16k") == 0);
        // A node only root may open, and this thread without the right to override that.
        if (cause == nodeClosed)
            QVERIFY(mknod("/dev/net/tun", S_IFCHR | 0600, makedev(10, 200)) == 0 &&
                    chown("/dev/net/tun", 65534, 65534) == 0 && setEffective(CAP_DAC_OVERRIDE, false));
        QVERIFY(cause != noRight || setEffective(CAP_NET_ADMIN, false));
        const NextBox box;
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, u"10.8.3.2"_s}}));
        QTRY_VERIFY(!box.title.isEmpty());
        QVERIFY(setEffective(CAP_NET_ADMIN, true) && setEffective(CAP_DAC_OVERRIDE, true));
        QVERIFY(cause < nodeClosed || umount2("/dev/net", MNT_DETACH) == 0);
        QCOMPARE(box.title, title.arg(layer2 ? u"Missing"_s : u"Error"_s));
        const QString what = layer2 ? u"TAP interface pellora0"_s : u"TUN interface RIRODedo"_s;
        QVERIFY2(box.text.contains(mentions.arg(what)), qPrintable(box.text));
        verifyLeft();
        if (hold >= 0)
            close(hold);
    }

    // The route that sends 255.255.255.255 out of the adapter goes when the
    // room is left; one left by a client that crashed goes at the next start.
    void limitedBroadcastRouteIsTakenBack()
    {
        const auto routed = [&] {
            return ip(u"route show 255.255.255.255/32"_s).output.contains(u"dev pellora0"_s);
        };
        // An administrator's TAP interface outlives the client.
        QVERIFY(ip(u"tuntap add dev pellora0 mode tap"_s).code == 0);
        startClient(true);
        join(u"10.8.4.2"_s);
        QVERIFY(routed());
        P::disconnectButton(*client)->click();
        QVERIFY(!routed() && if_nametoindex(kTap));
        // What a client that crashed in the room leaves behind.
        QVERIFY(netdev::addBroadcastRoute(kTap, nullptr) && routed());
        settings.setValue(u"cleanup/broadcastRoute"_s, QStringList{kTap, u"10.8.4.2"_s});
        startClient(false);
        QVERIFY(!routed());
        QVERIFY(ip(u"link del pellora0"_s).code == 0);
    }
};

PELLORA_TEST_MAIN(TestAdapterDevice)
#include "test_adapterdevice.moc"
