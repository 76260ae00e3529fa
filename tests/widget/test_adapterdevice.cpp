// Both back-ends on real Linux devices: lifecycle, addresses, packets and
// frames both ways through a relay socket, the receive path's filters, the
// join/leave/kick rules and the start failures. The whole process moves into
// a private network and mount namespace first, so every interface it makes
// disappears with it and nothing touches the host's network.
#include "lobby/controlcodec.h"
#include "net/netdev_linux.h"
#include "net/scramble.h"
#include "tests/e2e/ipv4packet.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QUdpSocket>
#include <cstring>
#include <functional>
#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

using P = ClientProbe;
using testpackets::ethernetFrame;
using testpackets::ipv4;
using testpackets::udpPacket;

namespace {

const char* const kTun = "RIRODedo";
const char* const kTap = "pellora0";

QString g_skipReason;  // why device tests cannot run here
bool g_mountNamespace; // /dev/net can be hidden to fake a missing driver

void isolate()
{
    if (geteuid() != 0) {
        g_skipReason = QStringLiteral("needs root: creates TUN/TAP devices in a private network namespace");
        return;
    }
    if (!netdev::driverPresent()) {
        g_skipReason = QStringLiteral("/dev/net/tun is missing: no TUN/TAP driver on this machine");
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        g_skipReason = QStringLiteral("cannot create a private network namespace");
        return;
    }
    netdev::setUp("lo");
    g_mountNamespace =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

struct InterfaceState {
    bool exists = false;
    QString address;
    QString mask;
    bool up = false;
    QByteArray mac;
};

InterfaceState interfaceState(const char* name)
{
    InterfaceState state;
    state.exists = if_nametoindex(name) != 0;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto query = [&](unsigned long request, ifreq& data) {
        data = {};
        std::strncpy(data.ifr_name, name, IFNAMSIZ - 1);
        return ioctl(fd, request, &data) == 0;
    };
    auto text = [](const sockaddr& address) {
        return QHostAddress(reinterpret_cast<const sockaddr*>(&address)).toString();
    };
    ifreq data;
    if (query(SIOCGIFADDR, data))
        state.address = text(data.ifr_addr);
    if (query(SIOCGIFNETMASK, data))
        state.mask = text(data.ifr_netmask);
    if (query(SIOCGIFFLAGS, data))
        state.up = data.ifr_flags & IFF_UP;
    if (query(SIOCGIFHWADDR, data))
        state.mac = QByteArray(data.ifr_hwaddr.sa_data, 6);
    close(fd);
    return state;
}

// Sees every packet or frame that reaches the kernel from the device.
class Sniffer
{
public:
    explicit Sniffer(const char* name)
    {
        fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_ALL);
        where.sll_ifindex = static_cast<int>(if_nametoindex(name));
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Sniffer()
    {
        if (fd >= 0)
            close(fd);
    }
    bool ok() const { return fd >= 0; }

    // Inbound packets seen within `waitMs`, while the event loop runs.
    QList<QByteArray> inbound(int waitMs)
    {
        QList<QByteArray> seen;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < waitMs) {
            QTest::qWait(10);
            char buffer[4096];
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            ssize_t n;
            while ((n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length)) > 0) {
                if (from.sll_pkttype != PACKET_OUTGOING)
                    seen << QByteArray(buffer, static_cast<int>(n));
                length = sizeof from;
            }
        }
        return seen;
    }

private:
    int fd = -1;
};

// Holds an interface open so that the client cannot have it.
struct HeldInterface {
    int fd;
    HeldInterface(const char* name, bool tap) : fd(netdev::openInterface(name, tap)) {}
    ~HeldInterface()
    {
        if (fd >= 0)
            close(fd);
    }
};

void setPersistent(const char* name, bool persistent)
{
    const HeldInterface held(name, true);
    if (held.fd >= 0)
        ioctl(held.fd, TUNSETPERSIST, persistent ? 1 : 0);
}

} // namespace

class TestAdapterDevice : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<QUdpSocket> relay;
    std::unique_ptr<VLANClient> client;
    quint16 clientPort = 0;

    // A client whose lobby and relay are ours, on the same port number.
    void startClient()
    {
        lobby = std::make_unique<FakeLobby>();
        relay = std::make_unique<QUdpSocket>();
        QVERIFY(relay->bind(QHostAddress::LocalHost, lobby->port()));
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        QVERIFY(lobby->waitForClient());
    }

    void logIn()
    {
        P::nicknameInput(*client)->setText(QStringLiteral("Alice"));
        P::connectButton(*client)->click();
        QVERIFY(!lobby->waitForCommand(QStringLiteral("login")).isEmpty());
        lobby->send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
        QTRY_COMPARE(P::pageStack(*client)->currentWidget(), static_cast<QWidget*>(P::mainTabs(*client)));
        // The first heartbeat binds the tunnel socket; the relay learns its port.
        QMetaObject::invokeMethod(client.get(), "sendUdpHeartbeats");
        QVERIFY(relay->waitForReadyRead(3000));
        clientPort = static_cast<quint16>(relay->receiveDatagram().senderPort());
    }

    void join(const QString& vip)
    {
        lobby->send(control::message(QStringLiteral("join_ok"),
                                     {{QStringLiteral("vip"), vip}, {QStringLiteral("room_name"), QStringLiteral("Alpha")}}));
    }

    void chooseLayer2() { P::layer2Button(*client)->click(); }

    // Logged in and joined, with the back-end of the chosen layer running.
    bool inRoom(bool layer2, const QString& vip)
    {
        startClient();
        if (QTest::currentTestFailed())
            return false;
        logIn();
        if (QTest::currentTestFailed())
            return false;
        if (layer2)
            chooseLayer2();
        join(vip);
        return QTest::qWaitFor([&] { return layer2 ? P::tapRunning(*client).load() : P::wintunRunning(*client).load(); });
    }

    void relaySend(const QByteArray& plain)
    {
        relay->writeDatagram(tunnel::scramblePayload(plain), QHostAddress::LocalHost, clientPort);
    }

    QList<QByteArray> relayReceived(int waitMs, const std::function<bool(const QByteArray&)>& wanted)
    {
        QList<QByteArray> got;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < waitMs && got.isEmpty()) {
            QTest::qWait(10);
            while (relay->hasPendingDatagrams()) {
                const QByteArray plain = tunnel::scramblePayload(relay->receiveDatagram().data());
                if (wanted(plain))
                    got << plain;
            }
        }
        return got;
    }

    void verifyLeftRoom()
    {
        QTRY_VERIFY(lobby->count(QStringLiteral("leave_room")) == 1);
        QVERIFY(P::layer2Button(*client)->isEnabled());
        QVERIFY(P::layer3Button(*client)->isEnabled());
        QCOMPARE(P::mainTabs(*client)->indexOf(P::roomPage(*client)), -1);
    }

private slots:
    void initTestCase()
    {
        if (!g_skipReason.isEmpty())
            QSKIP(qPrintable(g_skipReason));
    }

    void cleanup()
    {
        client.reset();
        relay.reset();
        lobby.reset();
        setPersistent(kTap, false);
        QTRY_VERIFY(!interfaceState(kTun).exists);
        QTRY_VERIFY(!interfaceState(kTap).exists);
    }

    void layer3StartsOnceWithItsAddressAndStopsOnce()
    {
        startClient();
        P::startAdapter(*client, QStringLiteral("10.8.0.5"));
        QVERIFY(P::wintunRunning(*client));
        const InterfaceState state = interfaceState(kTun);
        QVERIFY(state.exists);
        QCOMPARE(state.address, QStringLiteral("10.8.0.5"));
        QCOMPARE(state.mask, QStringLiteral("255.255.255.0"));
        QVERIFY(state.up);

        const auto thread = P::wintunThread(*client);
        const auto session = P::wintunSession(*client);
        P::startAdapter(*client, QStringLiteral("10.8.0.9"));
        QCOMPARE(P::wintunThread(*client), thread);
        QCOMPARE(P::wintunSession(*client), session);
        QCOMPARE(interfaceState(kTun).address, QStringLiteral("10.8.0.5"));

        P::stopAdapters(*client);
        QVERIFY(!P::wintunRunning(*client));
        QVERIFY(!P::wintunThread(*client));
        QVERIFY(!P::wintunSession(*client));
        QVERIFY(!P::wintunAdapter(*client));
        QVERIFY(!interfaceState(kTun).exists);
        P::stopWintunAdapter(*client);
        P::stopAdapters(*client);
        QVERIFY(!P::wintunRunning(*client));

        // A later start in the same process makes a fresh adapter.
        P::startAdapter(*client, QStringLiteral("10.8.0.6"));
        QCOMPARE(interfaceState(kTun).address, QStringLiteral("10.8.0.6"));
    }

    void layer2AttachesToAnAdministratorsTapAndLeavesIt()
    {
        {
            const HeldInterface made(kTap, true);
            QVERIFY(made.fd >= 0);
            QCOMPARE(ioctl(made.fd, TUNSETPERSIST, 1), 0);
        }
        startClient();
        chooseLayer2();
        P::startAdapter(*client, QStringLiteral("10.8.1.2"));
        QVERIFY(P::tapRunning(*client));
        QVERIFY(P::tapHandle(*client) != adapter::invalidDevice());
        const InterfaceState state = interfaceState(kTap);
        QCOMPARE(state.address, QStringLiteral("10.8.1.2"));
        QCOMPARE(state.mask, QStringLiteral("255.255.255.0"));
        QVERIFY(state.up);
        const auto thread = P::tapThread(*client);
        P::startAdapter(*client, QStringLiteral("10.8.1.3"));
        QCOMPARE(P::tapThread(*client), thread);

        P::stopAdapters(*client);
        QVERIFY(!P::tapRunning(*client));
        QVERIFY(!P::tapThread(*client));
        QCOMPARE(P::tapHandle(*client), adapter::invalidDevice());
        P::stopTapAdapter(*client);
        // The administrator's interface stays, free for the next start.
        QVERIFY(interfaceState(kTap).exists);
        const HeldInterface again(kTap, true);
        QVERIFY(again.fd >= 0);
    }

    void stopEndsABlockedReaderAtOnce_data()
    {
        QTest::addColumn<bool>("layer2");
        QTest::newRow("layer 3") << false;
        QTest::newRow("layer 2") << true;
    }

    void stopEndsABlockedReaderAtOnce()
    {
        QFETCH(bool, layer2);
        startClient();
        if (layer2)
            chooseLayer2();
        P::startAdapter(*client, QStringLiteral("10.8.2.2"));
        QVERIFY(P::wintunRunning(*client) || P::tapRunning(*client));
        QTest::qWait(200); // the reader is idle in its wait by now
        QElapsedTimer clock;
        clock.start();
        P::stopAdapters(*client);
        // Ended, not abandoned after the 1500 ms limit.
        QVERIFY(!P::wintunThread(*client));
        QVERIFY(!P::tapThread(*client));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!interfaceState(layer2 ? kTap : kTun).exists);
    }

    void layer3PacketsBothWaysOnlyFromTheRelay()
    {
        QVERIFY(inRoom(false, QStringLiteral("10.8.0.5")));
        QVERIFY(!P::layer2Button(*client)->isEnabled());
        QVERIFY(!P::layer3Button(*client)->isEnabled());

        // Outbound: a game's datagram leaves through the adapter to the relay.
        QUdpSocket game;
        QVERIFY(game.bind(QHostAddress(QStringLiteral("10.8.0.5")), 0));
        game.writeDatagram(QByteArray("hello-out"), QHostAddress(QStringLiteral("10.8.0.9")), 7000);
        const QList<QByteArray> out = relayReceived(3000, [](const QByteArray& p) { return p.endsWith("hello-out"); });
        QCOMPARE(out.size(), 1);
        QCOMPARE(quint8(out.first().at(0)), quint8(0x45));
        QCOMPARE(qFromBigEndian<quint32>(out.first().constData() + 16), ipv4("10.8.0.9"));

        // Inbound from the relay reaches the game.
        relaySend(udpPacket("10.8.0.9", "10.8.0.5", 7000, game.localPort(), "hello-in"));
        QTRY_VERIFY(game.hasPendingDatagrams());
        QCOMPARE(game.receiveDatagram().data(), QByteArray("hello-in"));

        // The same datagram from another port or another address is dropped.
        QUdpSocket otherPort;
        QUdpSocket otherAddress;
        QVERIFY(otherAddress.bind(QHostAddress(QStringLiteral("127.0.0.2")), lobby->port()));
        const QByteArray injected =
            tunnel::scramblePayload(udpPacket("10.8.0.9", "10.8.0.5", 7000, game.localPort(), "injected"));
        otherPort.writeDatagram(injected, QHostAddress::LocalHost, clientPort);
        otherAddress.writeDatagram(injected, QHostAddress::LocalHost, clientPort);
        QTest::qWait(500);
        QVERIFY(!game.hasPendingDatagrams());
        QTRY_VERIFY(!P::udpSocket(*client)->hasPendingDatagrams());
    }

    void jsonDatagramsNeverReachTheAdapter()
    {
        QVERIFY(inRoom(true, QStringLiteral("10.8.1.2")));
        Sniffer sniffer(kTap);
        QVERIFY(sniffer.ok());
        // A frame whose first scrambled byte is "{" is taken for JSON and
        // dropped; the same frame one bit off goes through.
        const QByteArray ip = udpPacket("10.8.1.9", "10.8.1.2", 7000, 7001, "x");
        const char brace = static_cast<char>('{' ^ tunnel::keyByteAt(0));
        QByteArray braced = ethernetFrame(QByteArray(1, brace) + QByteArray::fromHex("0000000001"), ip);
        QByteArray plain = braced;
        plain[0] = static_cast<char>(brace ^ 0x04);
        QCOMPARE(tunnel::scramblePayload(braced).at(0), '{');
        relaySend(braced);
        relay->writeDatagram(QByteArray(R"({"client_id":"c2"})"), QHostAddress::LocalHost, clientPort);
        relaySend(plain);
        const QList<QByteArray> seen = sniffer.inbound(500);
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.first(), plain);
    }

    void layer2FramesBothWays()
    {
        QVERIFY(inRoom(true, QStringLiteral("10.8.1.2")));
        const QByteArray mac = interfaceState(kTap).mac;

        // Outbound: the kernel asks for the peer's hardware address over the tunnel.
        QUdpSocket game;
        QVERIFY(game.bind(QHostAddress(QStringLiteral("10.8.1.2")), 0));
        game.writeDatagram(QByteArray("hello"), QHostAddress(QStringLiteral("10.8.1.3")), 7000);
        const QList<QByteArray> arp = relayReceived(3000, [](const QByteArray& f) {
            return f.size() >= 42 && f.mid(12, 2) == QByteArray::fromHex("0806");
        });
        QCOMPARE(arp.size(), 1);
        QCOMPARE(arp.first().left(6), QByteArray::fromHex("ffffffffffff"));
        QCOMPARE(arp.first().mid(6, 6), mac);
        QVERIFY(arp.first().size() <= 2048);

        // Inbound: a frame for our hardware address reaches the game.
        relaySend(ethernetFrame(mac, udpPacket("10.8.1.3", "10.8.1.2", 7000, game.localPort(), "frame-in")));
        QTRY_VERIFY(game.hasPendingDatagrams());
        QCOMPARE(game.receiveDatagram().data(), QByteArray("frame-in"));
    }

    void leavingAndKickStopTheAdapter()
    {
        startClient();
        logIn();
        join(QStringLiteral("10.8.0.5"));
        QTRY_VERIFY(interfaceState(kTun).exists);
        // The mode is locked while in the room.
        P::layer2Button(*client)->click();
        QVERIFY(!P::layer2Mode(*client));
        P::disconnectButton(*client)->click();
        verifyLeftRoom();
        QVERIFY(!P::wintunRunning(*client));
        QVERIFY(!interfaceState(kTun).exists);

        chooseLayer2();
        join(QStringLiteral("10.8.1.4"));
        QTRY_VERIFY(P::tapRunning(*client));
        testenv::BoxSeen notice;
        testenv::acceptNextMessageBox(&notice);
        lobby->send(control::message(QStringLiteral("kicked"), {{QStringLiteral("message"), QStringLiteral("Bye")}}));
        QTRY_COMPARE(lobby->count(QStringLiteral("leave_room")), 2);
        QVERIFY(notice.seen);
        QVERIFY(!P::tapRunning(*client));
        QVERIFY(!interfaceState(kTap).exists);
    }

    void startFailuresLeaveTheRoom_data()
    {
        QTest::addColumn<bool>("layer2");
        QTest::addColumn<bool>("hideDriver");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("layer 3 busy") << false << false << "Permission Error" << "CAP_NET_ADMIN";
        QTest::newRow("layer 2 busy") << true << false << "Permission Error" << "pellora0";
        QTest::newRow("layer 3 no driver") << false << true << "Driver Error" << "modprobe tun";
        QTest::newRow("layer 2 no driver") << true << true << "Driver Missing" << "modprobe tun";
    }

    void startFailuresLeaveTheRoom()
    {
        QFETCH(bool, layer2);
        QFETCH(bool, hideDriver);
        QFETCH(QString, title);
        QFETCH(QString, mentions);
        if (hideDriver && !g_mountNamespace)
            QSKIP("no private mount namespace to hide /dev/net in");
        startClient();
        logIn();
        if (layer2)
            chooseLayer2();

        // Another program holds the interface, or the driver node is gone.
        const HeldInterface held(layer2 ? kTap : kTun, layer2);
        QVERIFY(held.fd >= 0);
        if (hideDriver)
            QCOMPARE(mount("tmpfs", "/dev/net", "tmpfs", 0, "size=16k"), 0);
        testenv::BoxSeen box;
        testenv::acceptNextMessageBox(&box);
        join(QStringLiteral("10.8.3.2"));
        QTRY_VERIFY(box.seen);
        if (hideDriver)
            QCOMPARE(umount2("/dev/net", MNT_DETACH), 0);
        QCOMPARE(box.title, title);
        QVERIFY2(box.text.contains(mentions), qPrintable(box.text));
        verifyLeftRoom();
        QVERIFY(!P::wintunRunning(*client));
        QVERIFY(!P::tapRunning(*client));
        QVERIFY(!P::wintunAdapter(*client));
        QCOMPARE(P::tapHandle(*client), adapter::invalidDevice());
    }

    void closingTheWindowStopsTheAdapterSilently()
    {
        QVERIFY(inRoom(true, QStringLiteral("10.8.1.2")));
        QTest::qWait(200); // what the login and join sent has arrived
        const qsizetype before = lobby->received.size();
        client.reset();
        QVERIFY(!interfaceState(kTap).exists);
        QTest::qWait(100);
        QCOMPARE(lobby->received.size(), before);
    }
};

int main(int argc, char** argv)
{
    isolate(); // before any thread exists, so that all of them share the namespaces
    testenv::prepare();
    QApplication app(argc, argv);
    TestAdapterDevice tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "test_adapterdevice.moc"
