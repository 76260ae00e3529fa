// Both back-ends on real devices in private namespaces.
#include "net/hostconfig.h"
#include "net/netdev_linux.h"
#include "net/scramble.h"
#include "tests/e2e/ipv4packet.h"
#include "tests/support/fakelobby.h"
#include "tests/support/netns.h"
#include "tests/support/testenv.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <arpa/inet.h>
#include <linux/capability.h>
#include <atomic>
#include <cstring>
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

} // namespace

class TestAdapterDevice : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<Udp> relay;
    std::unique_ptr<VLANClient> client;
    quint16 clientPort = 0;

    void startClient(bool layer2)
    {
        client.reset(); // the previous one, before its lobby goes
        lobby = std::make_unique<FakeLobby>();
        relay = std::make_unique<Udp>("127.0.0.1", lobby->port());
        QVERIFY((client = lobby->loggedInClient(u"Alice"_s)));
        clientPort = udp::localPort(P::tunnelSocket(*client));
        if (layer2)
            P::layer2Button(*client)->click();
    }
    void join(const QString& vip)
    {
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, vip}, {u"room_name"_s, u"A"_s}}));
        QTRY_VERIFY(P::engine(*client).active());
    }
    void verifyLeft(int leaves)
    {
        QTRY_COMPARE(lobby->count(u"leave_room"_s), leaves);
        QVERIFY(P::layer2Button(*client)->isEnabled() && P::layer3Button(*client)->isEnabled());
        QVERIFY(!P::wintunRunning(*client) && !P::tapRunning(*client) && !P::engine(*client).active());
        QVERIFY(!P::wintunAdapter(*client) && P::tapHandle(*client) == adapter::invalidDevice());
    }
    // Answers the next message box; `seen` gets "title|text".
    static void acceptNextBox(QString* seen)
    {
        testenv::whenModal([seen](QWidget* widget) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            *seen = box->windowTitle() + u'|' + box->text();
            box->accept();
        });
    }

private slots:
    void initTestCase()
    {
        if (!g_skip.isEmpty())
            QSKIP(qPrintable(g_skip));
    }
    void cleanup()
    {
        client.reset();
        relay.reset();
        lobby.reset();
        QTRY_VERIFY(!if_nametoindex(kTun) && !if_nametoindex(kTap));
    }
    void trafficBothWaysWhileTheGuiThreadIsBlocked()
    {
        for (const bool layer2 : {false, true}) {
            const char* name = layer2 ? kTap : kTun;
            startClient(layer2);
            join(u"10.8.0.5"_s);
            const ifreq address = query(name, SIOCGIFADDR);
            QCOMPARE(QHostAddress(&address.ifr_addr).toString(), u"10.8.0.5"_s);
            QCOMPARE(query(name, SIOCGIFMTU).ifr_mtu,
                     layer2 ? hostconfig::kLayer2Mtu : hostconfig::kLayer3Mtu);
            Udp game("10.8.0.5");
            const QByteArray mac(query(kTap, SIOCGIFHWADDR).ifr_hwaddr.sa_data, 6);
            if (layer2) // the peer's hardware address, as if learnt from its first frame
                QVERIFY(system("ip neigh replace 10.8.0.9 lladdr 02:aa:bb:cc:dd:01 dev pellora0") == 0);
            const auto inbound = [&](const QByteArray& payload, quint16 port) {
                const QByteArray ip = testpackets::udpPacket("10.8.0.9", "10.8.0.5", 7000, port, payload);
                return tunnel::scramblePayload(layer2 ? testpackets::ethernetFrame(mac, ip) : ip);
            };
            // From another thread while the GUI thread sleeps: each round trip is prompt.
            std::atomic<int> prompt{0};
            std::thread traffic([&] {
                for (int i = 0; i < 20; ++i) {
                    QElapsedTimer clock;
                    clock.start();
                    const QByteArray tag = "in-" + QByteArray::number(i);
                    relay->sendTo("127.0.0.1", clientPort, inbound(tag, game.port));
                    const bool in = game.receive(200, [&](const QByteArray& d) { return d == tag; }) == tag;
                    game.sendTo("10.8.0.9", 7000, "out-" + QByteArray::number(i));
                    const QByteArray out = relay->receive(200, [&](const QByteArray& d) {
                        return tunnel::scramblePayload(d).endsWith("out-" + QByteArray::number(i));
                    });
                    prompt += in && !out.isEmpty() && clock.elapsed() < 100;
                }
            });
            QThread::msleep(500);
            traffic.join();
            QCOMPARE(prompt.load(), 20);
            // From any address or port but the relay's, or shaped like JSON: never on the adapter.
            Udp("127.0.0.1").sendTo("127.0.0.1", clientPort, inbound("forged", game.port));
            Udp("127.0.0.2", lobby->port()).sendTo("127.0.0.1", clientPort, inbound("forged", game.port));
            QByteArray braced = inbound("braced", game.port);
            braced[0] = '{';
            relay->sendTo("127.0.0.1", clientPort, braced);
            relay->sendTo("127.0.0.1", clientPort, inbound("last", game.port));
            QCOMPARE(game.receive(1000, [](const QByteArray&) { return true; }), QByteArray("last"));
            // A segmented send arrives as one coalesced receive; every datagram in it reaches the adapter.
            QByteArray burst;
            for (const char* tag : {"seg-a", "seg-b", "seg-c"})
                burst += inbound(tag, game.port);
            const int segment = int(burst.size() / 3);
            const int whole = 0;
            QVERIFY(setsockopt(relay->fd, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) == 0);
            relay->sendTo("127.0.0.1", clientPort, burst);
            QVERIFY(setsockopt(relay->fd, SOL_UDP, UDP_SEGMENT, &whole, sizeof whole) == 0);
            for (const char* tag : {"seg-a", "seg-b", "seg-c"})
                QCOMPARE(game.receive(1000, [](const QByteArray&) { return true; }), QByteArray(tag));
            // A stop while both threads are busy both ways ends them at once and leaves nothing.
            std::atomic<bool> flood{true};
            const QByteArray full = inbound(QByteArray(1200, 'i'), game.port);
            std::thread flooding([&] {
                while (flood) {
                    relay->sendTo("127.0.0.1", clientPort, full);
                    game.sendTo("10.8.0.9", 7000, QByteArray(1200, 'o'));
                }
            });
            QTest::qWait(300);
            QElapsedTimer clock;
            clock.start();
            P::stopAdapters(*client);
            const qint64 took = clock.elapsed();
            flood = false;
            flooding.join();
            QVERIFY2(took < 1000, qPrintable(QString::number(took)));
            QVERIFY(!P::engine(*client).active() && !P::wintunSession(*client) && !if_nametoindex(kTun));
            QCOMPARE(P::tapHandle(*client), adapter::invalidDevice());
        }
    }
    void leavingKickAndClosingStopTheAdapter()
    {
        startClient(false);
        join(u"10.8.0.5"_s);
        P::layer2Button(*client)->click(); // locked while in the room
        QVERIFY(!P::layer2Mode(*client));
        P::disconnectButton(*client)->click();
        verifyLeft(1);
        QVERIFY(!if_nametoindex(kTun));
        P::layer2Button(*client)->click();
        join(u"10.8.1.4"_s);
        QString notice;
        acceptNextBox(&notice);
        lobby->send(control::message(u"kicked"_s, {{u"message"_s, u"Bye"_s}}));
        QTRY_COMPARE(notice, u"Connection Terminated|Bye"_s);
        verifyLeft(2);
        QVERIFY(!if_nametoindex(kTap));
        join(u"10.8.1.5"_s);
        const qsizetype before = lobby->received.size();
        client.reset(); // closing the window stops the adapter and sends nothing
        QVERIFY(!if_nametoindex(kTap));
        QCOMPARE(lobby->settledCount(), before);
    }
    // Each cause gets its own message with the step that fixes it, and the room is left.
    void startFailuresNameTheirCause()
    {
        if (!g_mountNamespace)
            QSKIP("no private mount namespace to replace /dev/net in");
        enum Cause { held, noRight, nodeClosed, noDriver };
        for (const auto& [layer2, cause, title, mentions] :
             {std::tuple(false, held, "Permission Error|", "Another program is using the TUN interface RIRODedo"),
              {true, held, "Permission Error|", "Another program is using the TAP interface pellora0"},
              {false, noRight, "Permission Error|", "CAP_NET_ADMIN right, which this program does not have. Grant "
                                                    "it once with \"sudo setcap cap_net_admin+ep /"},
              {true, noRight, "Permission Error|", "sudo setcap cap_net_admin+ep /"},
              {false, nodeClosed, "Permission Error|", "as root with \"chmod 0666 /dev/net/tun\""},
              {true, nodeClosed, "Permission Error|", "as root with \"chmod 0666 /dev/net/tun\""},
              {false, noDriver, "Driver Error|", "modprobe tun"},
              {true, noDriver, "Driver Missing|", "modprobe tun"}}) {
            startClient(layer2);
            const int hold = cause == held ? netdev::openInterface(layer2 ? kTap : kTun, layer2) : -1;
            if (cause == noDriver || cause == nodeClosed)
                QVERIFY(mount("tmpfs", "/dev/net", "tmpfs", 0, "size=16k") == 0);
            // A node only root may open, and this thread without the right to override that.
            if (cause == nodeClosed)
                QVERIFY(mknod("/dev/net/tun", S_IFCHR | 0600, makedev(10, 200)) == 0 &&
                        chown("/dev/net/tun", 65534, 65534) == 0 && setEffective(CAP_DAC_OVERRIDE, false));
            QVERIFY(cause != noRight || setEffective(CAP_NET_ADMIN, false));
            QString box;
            acceptNextBox(&box);
            lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, u"10.8.3.2"_s}}));
            QTRY_VERIFY(!box.isEmpty());
            QVERIFY(setEffective(CAP_NET_ADMIN, true) && setEffective(CAP_DAC_OVERRIDE, true));
            QVERIFY(cause < nodeClosed || umount2("/dev/net", MNT_DETACH) == 0);
            QVERIFY2(box.startsWith(QLatin1String(title)) && box.contains(QLatin1String(mentions)), qPrintable(box));
            verifyLeft(1);
            if (hold >= 0)
                close(hold);
        }
    }

    // The route that sends 255.255.255.255 out of the adapter goes when the
    // room is left; one left by a client that crashed goes at the next start.
    void limitedBroadcastRouteIsTakenBack()
    {
        const auto routed = [] {
            return netns::run({u"ip"_s, u"route"_s, u"show"_s, u"255.255.255.255/32"_s}).output.contains(u"dev pellora0"_s);
        };
        // An administrator's TAP interface outlives the client.
        QVERIFY(netns::run({u"ip"_s, u"tuntap"_s, u"add"_s, u"dev"_s, u"pellora0"_s, u"mode"_s, u"tap"_s}).code == 0);
        startClient(true);
        join(u"10.8.4.2"_s);
        QVERIFY(routed());
        P::disconnectButton(*client)->click();
        QVERIFY(!routed() && if_nametoindex(kTap));
        // What a client that crashed in the room leaves behind.
        QVERIFY(netdev::addBroadcastRoute(kTap, nullptr) && routed());
        QSettings(u"Zentho"_s, u"Launcher"_s).setValue(u"cleanup/broadcastRoute"_s, QStringList{kTap, u"10.8.4.2"_s});
        startClient(false);
        QVERIFY(!routed());
        QVERIFY(netns::run({u"ip"_s, u"link"_s, u"del"_s, u"pellora0"_s}).code == 0);
    }
};

PELLORA_TEST_MAIN(TestAdapterDevice)
#include "test_adapterdevice.moc"
