// The port keeper against a router of the test's own and a clock the test
// moves: what is mapped and offered, when it is renewed, that it goes at leave
// and exit, and that a router that refuses or hangs blocks nobody and leaves
// nothing claimed.
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
};

QTEST_GUILESS_MAIN(TestPortMap)
#include "test_portmap.moc"
