// The port keeper against a router of the test's own and a clock the test
// moves: what is mapped and offered, when it is renewed, that it goes at leave
// and exit, and that a router that refuses or hangs blocks nobody and leaves
// nothing claimed. And what our own router client takes from a LAN device.
#include "net/portmap_own.h"
#include "tests/support/fakerouter.h"
#include "tests/support/wait.h"

#include <QTest>

namespace {
constexpr std::uint32_t kPublic = fakerouter::kPublic;
using Router = fakerouter::Router;
using FakeRouter = fakerouter::FakeRouter;
} // namespace

class TestPortMap : public QObject
{
    Q_OBJECT
    std::shared_ptr<Router> router;
    std::atomic<std::int64_t> now{1000};
    std::atomic<int> told{0};
    std::unique_ptr<portmap::Keeper> keeper;

    void start(int exitWaitMs = portmap::kExitWaitMs)
    {
        router = std::make_shared<Router>();
        keeper = std::make_unique<portmap::Keeper>(
            std::make_unique<FakeRouter>(router), [this] { return now.load(); }, [this] { ++told; },
            exitWaitMs);
    }
    bool settled()
    {
        return testwait::until([this] { return keeper->settled(); });
    }
    // Moves the clock and lets the keeper act on it.
    bool after(std::int64_t ms)
    {
        now += ms;
        keeper->tick();
        return settled();
    }

private slots:
    void init()
    {
        now = 1000;
        told = 0;
        start();
    }
    void cleanup()
    {
        router->setHang(false);
        keeper.reset();
    }
    void renewsAtHalfTheGrantedLease_data()
    {
        QTest::addColumn<std::uint32_t>("granted");
        QTest::addColumn<std::int64_t>("halfMs");
        QTest::newRow("UPnP: the lease asked") << 0u << std::int64_t{1800000};
        QTest::newRow("NAT-PMP: a shorter lifetime") << 120u << std::int64_t{60000};
    }
    void renewsAtHalfTheGrantedLease()
    {
        QFETCH(std::uint32_t, granted);
        QFETCH(std::int64_t, halfMs);
        router->grant = granted;
        keeper->want(40000);
        QVERIFY(settled());
        QCOMPARE(keeper->offered()->address, kPublic);
        QCOMPARE(keeper->offered()->port, std::uint16_t{40000});
        QVERIFY(told > 0);
        QCOMPARE(router->read(&Router::maps), 1);
        QVERIFY(after(halfMs - 1));
        QCOMPARE(router->read(&Router::renewals), 0);
        QVERIFY(after(1));
        QCOMPARE(router->read(&Router::renewals), 1);
        QVERIFY(after(halfMs));
        QCOMPARE(router->read(&Router::renewals), 2);
        QVERIFY(keeper->offered().has_value());
    }
    void nothingStaysMappedOnceNotWanted_data()
    {
        QTest::addColumn<int>("how"); // 0 leave, 1 exit, 2 another port
        QTest::newRow("leave") << 0;
        QTest::newRow("exit") << 1;
        QTest::newRow("a new tunnel port") << 2;
    }
    void nothingStaysMappedOnceNotWanted()
    {
        QFETCH(int, how);
        keeper->want(40000);
        QVERIFY(settled());
        if (how == 1) {
            keeper.reset();
            QVERIFY(router->mapped().empty());
            return;
        }
        keeper->want(how == 0 ? 0 : 40001);
        QVERIFY(settled());
        using Live = std::map<std::uint16_t, std::uint16_t>;
        QCOMPARE(router->mapped(), how == 0 ? Live() : Live({{40001, 40001}}));
        QCOMPARE(keeper->offered().has_value(), how != 0);
    }
    // No answer: nothing offered, asked again only after minutes; a refused renewal withdraws the offer.
    void aRefusingRouterIsAskedAgainOnlyAfterAWhile()
    {
        keeper->want(40000);
        QVERIFY(settled());
        router->refuse = true;
        const int before = told;
        QVERIFY(after(portmap::kLeaseSeconds * 1000 / 2));
        QVERIFY(!keeper->offered());
        QVERIFY(told > before);
        QVERIFY(after(portmap::kRetryMs - 1));
        QCOMPARE(router->read(&Router::renewals), 1);
        router->refuse = false;
        QVERIFY(after(1));
        QCOMPARE(router->read(&Router::maps), 2);
        QVERIFY(keeper->offered().has_value());
    }
    // Asked, left and quit while the router hangs: none of it waits; once the
    // router lets go, what it made is removed.
    void aHangingRouterBlocksNobodyAndKeepsNothing()
    {
        keeper.reset();
        start(0);
        router->setHang(true);
        keeper->want(40000);
        QVERIFY(testwait::until([this] { return router->read(&Router::calls) == 1; }));
        keeper->want(0);
        keeper->tick();
        QVERIFY(!keeper->offered());
        keeper.reset();
        router->setHang(false);
        QVERIFY(
            testwait::until([this] { return router->read(&Router::maps) == 1 && router->mapped().empty(); }));
    }
    // Only what names the device that answered, whole and within its cap, is taken.
    void routerAnswersAreTakenOnlyFromTheDeviceThatAnswered_data()
    {
        QTest::addColumn<int>("kind"); // 0 SSDP answer, 1 description, 2 NAT-PMP map answer, 3 HTTP
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("taken");
        const QByteArray ssdp = "HTTP/1.1 200 OK\r\nST: x\r\nLOCATION: http://10.0.0.1:5000/d.xml\r\n\r\n";
        const QByteArray service = "<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1"
                                   "</serviceType><controlURL>";
        QTest::newRow("SSDP: the device's own") << 0 << ssdp << true;
        QTest::newRow("SSDP: another host") << 0 << QByteArray(ssdp).replace("10.0.0.1", "10.0.0.9") << false;
        QTest::newRow("SSDP: a host name")
            << 0 << QByteArray(ssdp).replace("10.0.0.1", "router.lan") << false;
        QTest::newRow("SSDP: a space in the path") << 0 << QByteArray(ssdp).replace("/d.", "/ d.") << false;
        QTest::newRow("SSDP: oversized") << 0 << ssdp + QByteArray(8192, ' ') << false;
        QTest::newRow("SSDP: not a 200") << 0 << QByteArray(ssdp).replace("200", "404") << false;
        QTest::newRow("control: relative") << 1 << service + "/ctl</controlURL></service>" << true;
        QTest::newRow("control: the device's")
            << 1 << service + "http://10.0.0.1:1/c</controlURL></service>" << true;
        QTest::newRow("control: another host")
            << 1 << service + "http://10.0.0.9/c</controlURL></service>" << false;
        QTest::newRow("control: an unknown service")
            << 1 << QByteArray(service).replace("WANIP", "LAN") + "/c</controlURL></service>" << false;
        QTest::newRow("control: unclosed") << 1 << service + "/ctl</controlURL>" << false;
        const QByteArray natPmp("\0\x81\0\0\0\0\0\1\x9c\x40\x9c\x40\0\0\x0e\x10", 16);
        QTest::newRow("NAT-PMP: a map answer") << 2 << natPmp << true;
        QTest::newRow("NAT-PMP: another opcode") << 2 << QByteArray(natPmp).replace(1, 1, "\x80") << false;
        QTest::newRow("NAT-PMP: short") << 2 << natPmp.left(12) << false;
        QTest::newRow("HTTP: whole") << 3 << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
                                     << true;
        QTest::newRow("HTTP: cut short")
            << 3 << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nok") << false;
        QTest::newRow("HTTP: a bad chunk")
            << 3
            << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "9\r\nok\r\n0\r\n\r\n")
            << false;
    }
    void routerAnswersAreTakenOnlyFromTheDeviceThatAnswered()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, answer);
        QFETCH(bool, taken);
        namespace own = portmap::own;
        constexpr std::uint32_t kDevice = 0x0A000001;
        const std::string_view text(answer.constData(), static_cast<std::size_t>(answer.size()));
        const auto bytes = reinterpret_cast<const unsigned char*>(answer.constData());
        std::vector<own::Service> services = own::parseDescription(text, own::Url{kDevice, 80, "/d.xml"});
        const bool took = kind == 0   ? own::parseSsdpAnswer(text, kDevice).has_value()
                          : kind == 1 ? !services.empty()
                          : kind == 2 ? own::parseNatPmp(bytes, text.size(), own::kOpMapUdp).has_value()
                                      : own::parseHttp(text, false).has_value();
        QCOMPARE(took, taken);
    }
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "test_portmap.moc"
