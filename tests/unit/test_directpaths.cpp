// Direct paths: two ends wired to each other in memory through exactly the entry points the engine's threads
// use, on an injected clock; then the engine itself over loopback sockets.
#include "net/engine.h"
#include "tests/support/testenv.h"
#include "tests/support/wait.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

using tunnel::DirectPaths;
namespace direct = tunnel::direct;

namespace {

constexpr std::uint32_t kVipA = 0x0A080002, kVipB = 0x0A080003, kVipC = 0x0A080004, kElsewhere = 0xC6336407;
const std::array<std::uint8_t, seal::kKeyBytes> kKey{1, 2, 3}, kOtherKey{9};
const Endpoint kAlice = udp::parsePeer("192.0.2.1", 1000), kBob = udp::parsePeer("198.51.100.2", 1000);
const Endpoint kNobody = udp::parsePeer("203.0.113.9", 9); // never answers

// An IPv4 packet, by default from the other of Alice and Bob.
QByteArray packetTo(std::uint32_t vip, std::uint32_t from = 0)
{
    QByteArray p(28, '\0');
    p[0] = 0x45;
    p[3] = 28;
    qToBigEndian(from ? from : vip == kVipB ? kVipA : kVipB, p.data() + 12);
    qToBigEndian(vip, p.data() + 16);
    return p;
}

// `payload` sealed under `key` with header word `word`, as only a holder of the key can.
QByteArray sealAs(const std::array<std::uint8_t, seal::kKeyBytes>& key, std::uint32_t word,
                  const QByteArray& payload)
{
    static std::uint64_t counter = 1000;
    seal::Cipher cipher;
    QByteArray d = QByteArray(12, '\0') + payload + QByteArray(16, '\0');
    cipher.setKey(key.data());
    cipher.seal({word, ++counter}, reinterpret_cast<std::uint8_t*>(d.data()), std::size_t(payload.size()));
    return d;
}

QByteArray probe(std::uint8_t kind, const direct::Txid& txid)
{
    return QByteArray(1, char(kind)) +
           QByteArray(reinterpret_cast<const char*>(txid.data()), int(txid.size()));
}

QByteArray key(const Endpoint& at)
{
    return QByteArray(reinterpret_cast<const char*>(at.bytes), int(at.length));
}

struct End
{
    explicit End(const Endpoint& at) : address(at) {}
    DirectPaths paths;
    std::unique_ptr<DirectPaths::View> view;
    Endpoint address;
    std::vector<QByteArray> data;       // payloads that opened
    std::vector<std::int64_t> requests; // when its tick sent a request
    std::vector<std::int64_t> attempts; // those sent while not direct
    std::int64_t due = 0;               // its next tick: when nextDueMs() said, or after a wake
    bool woken = false;
    int ticks = 0;
    bool reachable = true;
    bool restricted = false;     // behind a NAT that lets in only whom it sent to
    std::set<QByteArray> talked; // whom it sent to
    bool direct() const { return paths.status().at(0).direct; }
    // As the GUI side does: new pairs tick at once.
    void setPeers(std::vector<tunnel::DirectPeer> peers, std::int64_t now)
    {
        paths.setPeers(std::move(peers), now);
        due = now;
    }
    const DirectPaths::Route* route(const QByteArray& p)
    {
        return view->sync(),
               view->route(reinterpret_cast<const std::uint8_t*>(p.data()), std::size_t(p.size()));
    }
    QByteArray sealData(const QByteArray& packet)
    {
        const DirectPaths::Route* r = route(packet);
        QByteArray d = QByteArray(12, '\0') + packet + QByteArray(16, '\0');
        return r ? d.left(int(view->seal(*r, reinterpret_cast<std::uint8_t*>(d.data()), 28))) : QByteArray();
    }
    // The engine's inbound step for one datagram; `reply` gets the answer to send back.
    DirectPaths::Inbound take(const Endpoint& from, QByteArray d, std::int64_t now, QByteArray* reply)
    {
        std::uint8_t answer[directwire::kProbeBytes];
        view->sync();
        const auto got = view->receive(from, reinterpret_cast<std::uint8_t*>(d.data()), std::size_t(d.size()),
                                       now, answer);
        if (got.kind == DirectPaths::Inbound::Data)
            data.push_back(d.mid(int(seal::kHeaderBytes), int(got.length)));
        const bool answered = got.kind == DirectPaths::Inbound::Answer;
        *reply = QByteArray(reinterpret_cast<char*>(answer), answered ? int(got.length) : 0);
        return got.kind;
    }
};

// Alice (side 0) and Bob (side 1), paired with the candidates each has of the other; datagrams to an
// end's address reach it while it is reachable. Time goes in steps of 100 ms; an end ticks only when it
// said it would or was woken, and then within a step. Round trips through the relay take `relayLatency`.
struct Net
{
    End a{kAlice}, b{kBob};
    std::int64_t now = 0;
    int latency = 0;
    int relayLatency = -1; // -1: no relay probes
    bool traffic = false;  // Alice sends Bob a packet every step
    explicit Net(std::vector<Endpoint> alicesView = {kBob}, std::vector<Endpoint> bobsView = {kAlice},
                 bool layer2 = false)
    {
        for (End* e : {&a, &b}) {
            e->paths.layer2 = layer2, e->view = std::make_unique<DirectPaths::View>(e->paths);
            e->paths.setWake([e] { e->woken = true; });
        }
        a.paths.setPeers({{"bob", kVipB, 7, 0, kKey, std::move(alicesView)}}, now);
        b.paths.setPeers({{"alice", kVipA, 7, 1, kKey, std::move(bobsView)}}, now);
    }
    DirectPaths::Inbound deliver(End& from, const Endpoint& to, const QByteArray& d)
    {
        End& dest = &from == &a ? b : a;
        QByteArray reply;
        from.talked.insert(key(to));
        if (!(to == dest.address) || !dest.reachable ||
            (dest.restricted && !dest.talked.count(key(from.address))))
            return DirectPaths::Inbound::Drop;
        const auto kind = dest.take(from.address, d, now + latency, &reply);
        if (!reply.isEmpty())
            deliver(dest, from.address, reply);
        return kind;
    }
    // A round trip through the relay: the request to the other end as from `from`, its answer back.
    void relay(End& from, const std::uint8_t* payload, std::size_t length)
    {
        End& to = &from == &a ? b : a;
        const std::uint32_t vips[2] = {kVipA, kVipB};
        QByteArray p(reinterpret_cast<const char*>(payload), int(length));
        std::uint8_t answer[relayprobe::kPayload];
        if (relayLatency < 0 || qFromBigEndian<std::uint32_t>(p.constData() + 1) != vips[&to == &b])
            return;
        qToBigEndian(vips[&from == &b], p.data() + 1);
        if (!to.paths.relayProbe(reinterpret_cast<const std::uint8_t*>(p.constData()), length,
                                 now + relayLatency / 2, answer))
            return;
        qToBigEndian(vips[&to == &b], answer + 1);
        from.paths.relayProbe(answer, sizeof answer, now + relayLatency, answer);
    }
    void step()
    {
        for (End* e : {&a, &b}) {
            if (std::exchange(e->woken, false))
                e->due = std::min(e->due, now);
            if (now < e->due)
                continue;
            ++e->ticks;
            e->paths.tick(
                now,
                [this, e](const Endpoint& to, const std::uint8_t* d, std::size_t n) {
                    e->requests.push_back(now);
                    if (!e->direct())
                        e->attempts.push_back(now);
                    deliver(*e, to, QByteArray(reinterpret_cast<const char*>(d), int(n)));
                },
                [this, e](const std::uint8_t* payload, std::size_t n) { relay(*e, payload, n); });
            e->due = e->paths.nextDueMs(now);
        }
        if (traffic && a.direct())
            deliver(a, a.route(packetTo(kVipB))->path, a.sealData(packetTo(kVipB)));
        now += 100;
    }
    // The tick at which `done` first holds, or -1 when it did not within `ms`.
    std::int64_t runUntil(const std::function<bool()>& done, std::int64_t ms)
    {
        for (const std::int64_t end = now + ms; now < end; step())
            if (done && done())
                return now;
        return done && done() ? now : -1;
    }
};

// The engine's adapter: packets queued by the test, packets written kept.
struct FakePort : tunnel::AdapterPort
{
    std::mutex lock;
    std::condition_variable changed;
    std::deque<QByteArray> toSend, written;
    bool woken = false;
    std::size_t receive(unsigned char* buffer, std::size_t capacity) override
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (toSend.empty())
            return 0;
        const auto n = std::min<std::size_t>(capacity, std::size_t(toSend.front().size()));
        std::memcpy(buffer, toSend.front().constData(), n);
        toSend.pop_front();
        return n;
    }
    void wait() override
    {
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [this] { return !toSend.empty() || woken; });
        woken = false;
    }
    void wake() override { push(nullptr, {}); }
    void write(const unsigned char* data, std::size_t length) override
    {
        push(&written, QByteArray(reinterpret_cast<const char*>(data), int(length)));
    }
    void push(std::deque<QByteArray>* queue, const QByteArray& packet)
    {
        const std::lock_guard<std::mutex> hold(lock);
        queue ? queue->push_back(packet) : void(woken = true);
        changed.notify_all();
    }
    std::deque<QByteArray> writtenSoFar()
    {
        const std::lock_guard<std::mutex> hold(lock);
        return written;
    }
};

// Alice's engine on a loopback socket, with her paths and the relay's socket beside it.
struct EngineRig
{
    QUdpSocket relay;
    const bool bound = relay.bind(QHostAddress::LocalHost, 0);
    const udp::Peer relayPeer = udp::parsePeer("127.0.0.1", relay.localPort());
    const udp::Socket socket = udp::open(relayPeer);
    const quint16 alicePort = udp::localPort(socket);
    const std::shared_ptr<DirectPaths> alice = std::make_shared<DirectPaths>();
    std::unique_ptr<FakePort> port = std::make_unique<FakePort>();
    FakePort* const adapter = port.get();
    tunnel::Engine engine;
    bool start(std::vector<tunnel::DirectPeer> peers, std::shared_ptr<tunnel::SealSession> session = nullptr)
    {
        alice->setPeers(std::move(peers), tunnel::steadyMs());
        return bound && engine.start(std::move(port), socket, relayPeer, std::move(session), alice);
    }
    ~EngineRig()
    {
        engine.stop(); // after the test's own, nothing
        udp::close(socket);
    }
};

} // namespace

class TestDirectPaths : public QObject
{
    Q_OBJECT

private slots:
    void goesDirectOnTheFirstAnsweredCandidate()
    {
        Net n({udp::parsePeer("203.0.113.9", 9), kBob});
        n.latency = 30;
        n.step();
        QVERIFY(!n.a.direct() && !n.a.route(packetTo(kVipB)));
        n.step();
        QVERIFY(n.a.direct() && n.b.direct());
        QCOMPARE(n.a.paths.status().at(0).rttMs, 30);
        QVERIFY(n.a.route(packetTo(kVipB))->path == n.b.address);
        QVERIFY(!n.a.route(packetTo(kVipA)) && !n.a.route(packetTo(0x0A0800FF)));
    }

    // After falling back, each tries again on its own schedule, whatever the other sends: once the way is
    // open again, the first attempt of either reaches the other; without Bob's address, Alice reaches him
    // when his own attempt makes her ask the source of his requests.
    void triesAgainOnItsScheduleAndThePeerJoinsIn_data()
    {
        QTest::addColumn<bool>("knowsBob");
        QTest::newRow("a candidate") << true;
        QTest::newRow("peer-reflexive") << false;
    }
    void triesAgainOnItsScheduleAndThePeerJoinsIn()
    {
        QFETCH(bool, knowsBob);
        Net n({knowsBob ? kBob : kNobody});
        n.traffic = true; // Alice falls back first
        QVERIFY(n.runUntil([&] { return n.a.direct() && n.b.direct(); }, 1000) >= 0);
        QVERIFY(n.a.route(packetTo(kVipB))->path == n.b.address);
        n.a.reachable = n.b.reachable = false;
        const std::int64_t aliceFell = n.runUntil([&] { return !n.a.direct(); }, 30000);
        const std::int64_t bobFell = n.runUntil([&] { return !n.b.direct(); }, 30000);
        QVERIFY(aliceFell > 0 && bobFell > aliceFell);
        n.a.reachable = n.b.reachable = true;
        n.a.attempts.clear(), n.b.attempts.clear();
        const std::int64_t back = n.runUntil([&] { return n.a.direct() || n.b.direct(); }, 70000);
        const auto first = [](const std::vector<std::int64_t>& at) {
            return at.empty() ? std::int64_t{1} << 40 : at[0];
        };
        QVERIFY(back > 0);
        QCOMPARE(back,
                 (knowsBob ? std::min(first(n.a.attempts), first(n.b.attempts)) : first(n.b.attempts)) + 200);
        QVERIFY(n.runUntil([&] { return n.a.direct() && n.b.direct(); }, 70000) >= 0);
    }

    // A peer whose NAT maps it anew is followed there within 2 s: through its next check, or behind NATs
    // that let in only whom they sent to, at the address the server names once the relay heard from it.
    void aPeerMovedByItsNatStaysDirectAtItsNewAddress_data()
    {
        QTest::addColumn<bool>("restricted");
        QTest::newRow("open NATs") << false;
        QTest::newRow("restricting NATs") << true;
    }
    void aPeerMovedByItsNatStaysDirectAtItsNewAddress()
    {
        QFETCH(bool, restricted);
        Net n;
        n.traffic = true;
        n.a.restricted = n.b.restricted = restricted;
        QVERIFY(n.runUntil([&] { return n.a.direct() && n.b.direct(); }, 1000) >= 0);
        n.b.address = udp::parsePeer("198.51.100.2", 2000); // its NAT maps it anew
        n.b.talked.clear();
        const std::int64_t movedAt = n.now;
        bool fell = false;
        std::size_t answered = n.b.data.size();
        const auto moved = [&] { // Bob answers what reaches him, as to a ping
            for (; answered < n.b.data.size(); ++answered)
                n.deliver(n.b, n.a.address, n.b.sealData(packetTo(kVipA)));
            if (restricted && n.b.paths.takeHeartbeatWanted())
                n.a.setPeers({{"bob", kVipB, 7, 0, kKey, {n.b.address}}}, n.now); // ticks at once
            fell = fell || !n.a.direct();
            return !fell && n.a.route(packetTo(kVipB))->path == n.b.address;
        };
        const std::int64_t found = n.runUntil(moved, 10000);
        QVERIFY2(!fell && found >= 0 && found - movedAt <= 2000,
                 qPrintable(QString::number(found - movedAt)));
    }

    // Each attempt is ten rounds over 2 s, given up a second later; the next begins 5, 10, 20, 40 s after
    // that, then every minute; a path established starts it over. Alice is reachable only while open.
    void triesAgainOnTheSchedule_data()
    {
        QTest::addColumn<int>("openFrom");
        QTest::addColumn<int>("openUntil");
        QTest::addColumn<int>("attempt");
        QTest::addColumn<int>("beginsAt");
        QTest::newRow("5 s after the first") << 0 << 0 << 1 << 8000;
        QTest::newRow("10 s after the second") << 0 << 0 << 2 << 21000;
        QTest::newRow("20 s after the third") << 0 << 0 << 3 << 44000;
        QTest::newRow("40 s after the fourth") << 0 << 0 << 4 << 87000;
        QTest::newRow("a minute after the fifth") << 0 << 0 << 5 << 150000;
        QTest::newRow("a minute after the sixth") << 0 << 0 << 6 << 213000;
        // Direct at 21100; its idle check at 41100 and the next are missed: relayed at 45100.
        QTest::newRow("5 s after a path fell") << 21000 << 25000 << 3 << 50100;
    }
    void triesAgainOnTheSchedule()
    {
        QFETCH(int, openFrom);
        QFETCH(int, openUntil);
        QFETCH(int, attempt);
        QFETCH(int, beginsAt);
        Net n;
        std::vector<std::int64_t> begun;
        while (n.now < beginsAt + 3000) {
            n.a.reachable = n.now >= openFrom && n.now < openUntil;
            n.step();
        }
        for (std::size_t i = 0; i < n.b.attempts.size(); ++i)
            if (i == 0 || n.b.attempts[i] > n.b.attempts[i - 1] + 2000)
                begun.push_back(n.b.attempts[i]);
        QVERIFY2(begun.size() == std::size_t(attempt) + 1, qPrintable(QString::number(begun.size())));
        QCOMPARE(begun.back(), std::int64_t{beginsAt});
        QCOMPARE(
            std::count_if(n.b.attempts.begin(), n.b.attempts.end(), [&](auto at) { return at >= beginsAt; }),
            10);
        QVERIFY(!n.b.direct());
    }

    // New candidates from the server are a new chance, but no sooner than 20 s after the last attempt began.
    void newCandidatesStartAnAttemptOnlyWithinTheSchedule()
    {
        Net n;
        n.b.reachable = false;
        n.runUntil(nullptr, 50000); // attempts at 0, 8, 21 and 44 s; the next one due at 87 s
        n.a.requests.clear();
        for (quint16 port = 2000; n.now < 80000; ++port) {
            n.a.setPeers({{"bob", kVipB, 7, 0, kKey, {udp::parsePeer("198.51.100.2", port)}}}, n.now);
            n.step();
        }
        QCOMPARE(n.a.requests.size(), std::size_t(10));
        QVERIFY(n.a.requests.front() == 64000 && n.a.requests.back() == 65800);
    }

    void fallsBackAfterTwoMissedChecksWithinSevenSeconds()
    {
        Net n;
        n.traffic = true;
        n.runUntil(nullptr, 3000);
        n.b.reachable = false; // one check lost is tried again
        n.step();
        n.b.reachable = true;
        n.runUntil(nullptr, 10000);
        QVERIFY(n.a.direct() && n.b.data.size() > 100);
        n.b.reachable = false;
        const std::int64_t broke = n.now;
        const std::int64_t fell = n.runUntil([&] { return !n.a.direct(); }, 10000);
        QVERIFY2(fell > broke + 4000 && fell <= broke + 7000, qPrintable(QString::number(fell - broke)));
        QVERIFY(!n.a.route(packetTo(kVipB)) && n.a.paths.status().at(0).rttMs == -1);
    }

    // A birthday's path cannot follow a peer that moved: once the peer's data stops, one check unanswered
    // for 0.7 s sends the pair to the relay; a peer that only went quiet still answers and the path stays.
    void aBirthdayPathFallsBackWithinOneQuickCheck_data()
    {
        QTest::addColumn<bool>("gone");
        QTest::newRow("peer gone") << true;
        QTest::newRow("peer quiet") << false;
    }
    void aBirthdayPathFallsBackWithinOneQuickCheck()
    {
        QFETCH(bool, gone);
        Net n;
        n.traffic = true;
        n.b.setPeers({{"alice", kVipA, 7, 1, kKey, {kAlice}, tunnel::Birthday::Spray}}, n.now);
        n.runUntil(nullptr, 3000);
        QVERIFY(n.b.direct());
        n.traffic = false;
        n.a.reachable = !gone;
        const std::int64_t quiet = n.now;
        const std::int64_t fell = n.runUntil([&] { return !n.b.direct(); }, 10000);
        QVERIFY2(gone ? fell > 0 && fell <= quiet + 1500 : fell == -1,
                 qPrintable(QString::number(fell - quiet)));
    }
    void checksEveryTwoSecondsWhileActiveAndTwentyWhileIdle()
    {
        Net n;
        n.runUntil(nullptr, 1000);
        const auto gaps = [&](bool traffic, std::int64_t ms) {
            n.traffic = traffic;
            n.runUntil(nullptr, 10000); // settles
            n.a.requests.clear();
            n.runUntil(nullptr, ms);
            std::vector<std::int64_t> out;
            for (std::size_t i = 1; i < n.a.requests.size(); ++i)
                out.push_back(n.a.requests[i] - n.a.requests[i - 1]);
            return out;
        };
        QCOMPARE(gaps(true, 12000), std::vector<std::int64_t>(5, 2000));
        const int ticks = n.a.ticks;
        QCOMPARE(gaps(false, 80000), std::vector<std::int64_t>(3, 20000)); // ten seconds after the last
        // Idle, an end ticks for its checks and their answers only; the first packet wakes it.
        QVERIFY2(n.a.ticks - ticks < 30, qPrintable(QString::number(n.a.ticks - ticks)));
        QCOMPARE(gaps(true, 12000), std::vector<std::int64_t>(5, 2000));
    }

    // Off the direct path, the round trip through the relay is measured every few seconds, and dropped
    // when a request goes unanswered; on the direct path only the direct one counts.
    void aRelayedPeerShowsItsRoundTripThroughTheRelay()
    {
        Net n;
        n.a.reachable = n.b.reachable = false;
        n.relayLatency = 84;
        const auto relayRtt = [&] { return n.a.paths.status().at(0).relayRttMs; };
        QCOMPARE(n.runUntil([&] { return relayRtt() >= 0; }, 1000), 300); // at the next probe's tick
        QCOMPARE(relayRtt(), 84);
        n.relayLatency = -1;
        QCOMPARE(n.runUntil([&] { return relayRtt() < 0; }, 70000), direct::kRelayProbeEveryMs * 2 + 100);
        n.a.reachable = n.b.reachable = true;
        n.relayLatency = 84;
        QVERIFY(n.runUntil([&] { return n.a.direct(); }, 60000) >= 0);
        n.runUntil(nullptr, 10000);
        QCOMPARE(relayRtt(), -1);
    }

    // Only Bob's own side of the pair, under its key, once; and, as the relay would have it, only a packet
    // with his own address as the source, to the room. What opens but breaks that rule is counted.
    void takesOnlyThePeersOwnDataOnce_data()
    {
        QTest::addColumn<bool>("otherKey");
        QTest::addColumn<std::uint32_t>("word");
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<int>("taken"); // 1 taken, 0 dropped, -1 dropped by the rule
        const std::uint32_t bobs = 7 | directwire::kSide;
        QByteArray ipv6(40, '\0'), shortened = packetTo(kVipA);
        ipv6[0] = 0x60;
        shortened[3] = 40;
        QTest::newRow("his own, to us") << false << bobs << packetTo(kVipA) << 1;
        QTest::newRow("his own, to the room") << false << bobs << packetTo(0x0A0800FF) << 1;
        QTest::newRow("Alice's side") << false << 7u << packetTo(kVipA) << 0;
        QTest::newRow("another pair") << false << (8 | directwire::kSide) << packetTo(kVipA) << 0;
        QTest::newRow("a key phase") << false << (bobs | directwire::kPhase) << packetTo(kVipA) << 0;
        QTest::newRow("another key") << true << bobs << packetTo(kVipA) << 0;
        QTest::newRow("another member's source") << false << bobs << packetTo(kVipA, kVipC) << -1;
        QTest::newRow("a foreign source") << false << bobs << packetTo(kVipA, kElsewhere) << -1;
        QTest::newRow("to outside the room") << false << bobs << packetTo(kElsewhere) << -1;
        QTest::newRow("IPv6") << false << bobs << ipv6 << -1;
        QTest::newRow("length unlike the datagram") << false << bobs << shortened << -1;
    }
    void takesOnlyThePeersOwnDataOnce()
    {
        QFETCH(bool, otherKey);
        QFETCH(std::uint32_t, word);
        QFETCH(QByteArray, packet);
        QFETCH(int, taken);
        Net n;
        n.runUntil(nullptr, 300);
        const QByteArray d = sealAs(otherKey ? kOtherKey : kKey, word, packet);
        QCOMPARE(n.deliver(n.b, n.a.address, d),
                 taken > 0 ? DirectPaths::Inbound::Data : DirectPaths::Inbound::Drop);
        QCOMPARE(n.deliver(n.b, n.a.address, d), DirectPaths::Inbound::Drop); // replayed
        QCOMPARE(n.a.data, taken > 0 ? std::vector<QByteArray>{packet} : std::vector<QByteArray>{});
        QCOMPARE(n.a.paths.refused(), taken < 0 ? 1u : 0u);
    }

    void setPeersKeepsAnUnchangedPairsPath()
    {
        Net n;
        n.runUntil(nullptr, 300);
        const QByteArray before = n.b.sealData(packetTo(kVipA));
        QCOMPARE(n.deliver(n.b, n.a.address, before), DirectPaths::Inbound::Data);
        n.a.setPeers({{"bobby", kVipB, 7, 0, kKey, {}}, {"carol", 0x0A080004, 9, 0, kKey, {}}}, n.now);
        const auto status = n.a.paths.status();
        QVERIFY(status.size() == 2 && status[0].name == "bobby" && status[0].direct && !status[1].direct);
        QVERIFY(n.a.route(packetTo(kVipB)));
        QCOMPARE(n.deliver(n.b, n.a.address, before), DirectPaths::Inbound::Drop); // the window stayed
        n.a.setPeers({{"bob", kVipB, 7, 0, kOtherKey, {}}}, n.now);                // a new pair
        QVERIFY(!n.a.direct() && !n.a.route(packetTo(kVipB)));
        n.a.paths.clear();
        QVERIFY(n.a.paths.status().empty() && !n.a.route(packetTo(kVipB)));
    }

    // Once per key at the ask threshold; before the limit, data takes the relay (each datagram sealed
    // direct arrived).
    void aPairKeyAsksForItsNextOnceAndIsNeverUsedUp()
    {
        Net n;
        n.a.paths.keyUses = 400, n.a.paths.keyAskAt = 200;
        QVERIFY(n.runUntil([&] { return n.a.direct(); }, 1000) >= 0);
        int sent = 0;
        for (; n.a.route(packetTo(kVipB)) && sent < 1000; ++sent) // a route chosen is a datagram sealed
            QCOMPARE(n.deliver(n.a, n.b.address, n.a.sealData(packetTo(kVipB))), DirectPaths::Inbound::Data);
        QVERIFY2(sent >= 290 && std::size_t(sent) == n.b.data.size(), qPrintable(QString::number(sent)));
        n.step();
        QCOMPARE(n.a.paths.takeRekeyAsks(), std::vector<std::uint32_t>{7});
        n.step();
        QVERIFY(n.a.paths.takeRekeyAsks().empty() && !n.a.direct() && !n.a.route(packetTo(kVipB)));
    }
    // Bob seals with the old key until his list comes; Alice, with the new one, takes his data meanwhile.
    void aNewPairKeyLosesNothingSealedUnderTheOldOne()
    {
        Net n;
        QVERIFY(n.runUntil([&] { return n.a.direct() && n.b.direct(); }, 1000) >= 0);
        n.a.setPeers({{"bob", kVipB, 7, 0, kOtherKey, {kBob}}}, n.now);
        const QByteArray old = n.b.sealData(packetTo(kVipA));
        QCOMPARE(n.deliver(n.b, n.a.address, old), DirectPaths::Inbound::Data);
        QCOMPARE(n.deliver(n.b, n.a.address, old), DirectPaths::Inbound::Drop); // its window came along
        n.now += direct::kPreviousKeyMs;
        QCOMPARE(n.deliver(n.b, n.a.address, n.b.sealData(packetTo(kVipA))), DirectPaths::Inbound::Drop);
        n.b.setPeers({{"alice", kVipA, 7, 1, kOtherKey, {kAlice}}}, n.now);
        n.traffic = true;
        QVERIFY(n.runUntil([&] { return n.a.direct() && n.b.direct() && n.b.data.size() > 2; }, 3000) >= 0);
    }

    // Layer 2: a MAC is learned from frames over its own pair alone, speaking for its own address, and stays
    // with that pair; frames that claim another are dropped, and IP traffic never follows a MAC elsewhere.
    void framesCarryTheirPeersOwnMac()
    {
        Net n({kBob}, {kAlice}, true);
        n.a.setPeers({{"bob", kVipB, 7, 0, kKey, {kBob}}, {"carol", kVipC, 9, 0, kOtherKey, {}}}, n.now);
        n.runUntil(nullptr, 300);
        const auto frame = [](const char* macs, std::uint32_t from, std::uint32_t to) {
            QByteArray arp = QByteArray::fromHex(macs) + QByteArray::fromHex("0806") + QByteArray(28, '\0');
            qToBigEndian(from, arp.data() + 28);
            qToBigEndian(to, arp.data() + 38);
            return arp;
        };
        const auto fromBob = [&](const QByteArray& f) {
            return n.deliver(n.b, n.a.address, sealAs(kKey, 7 | directwire::kSide, f));
        };
        const QByteArray toBob = frame("02000000000b02000000000a", kVipA, kVipB);
        QVERIFY(n.a.direct() && n.a.route(toBob)); // by the address inside, his MAC not known yet
        const QByteArray ipx = QByteArray::fromHex("02000000000b02000000000a8137") + QByteArray(30, '\0');
        QVERIFY(!n.a.route(ipx));
        QCOMPARE(fromBob(QByteArray::fromHex("02000000000a03000000000b0800") + packetTo(kVipA)),
                 DirectPaths::Inbound::Drop); // a group address as its source
        QCOMPARE(fromBob(frame("ffffffffffff02000000000b", kVipC, kVipA)),
                 DirectPaths::Inbound::Drop); // not his own address
        QCOMPARE(fromBob(frame("ffffffffffff02000000000b", kVipB, kVipA)), DirectPaths::Inbound::Data);
        QVERIFY(n.a.route(ipx) && n.a.route(ipx)->path == n.b.address);
        QCOMPARE(fromBob(frame("02000000000a02000000000c", kVipB, kVipA)),
                 DirectPaths::Inbound::Drop); // another MAC
        QCOMPARE(n.deliver(n.b, n.a.address,
                           sealAs(kOtherKey, 9 | directwire::kSide,
                                  frame("02000000000a02000000000b", kVipC, kVipA))),
                 DirectPaths::Inbound::Drop);                                 // Carol's pair claims Bob's MAC
        QVERIFY(!n.a.route(frame("02000000000b02000000000a", kVipA, kVipC))); // for Carol, at Bob's MAC
        QCOMPARE(n.a.paths.refused(), 4u);
    }

    // A room mate with the pair key sends requests without pause from sources it forges, while the only
    // candidate named for it never answers (or answers from its own address): the victim's probes stay
    // within its schedule and a few a second, and no address gets more bytes from it than were sent in its
    // name.
    void requestsSetOffNoFloodAndNoReflection_data()
    {
        QTest::addColumn<bool>("answers");
        QTest::newRow("never direct") << false;
        QTest::newRow("direct at its own address") << true;
    }
    void requestsSetOffNoFloodAndNoReflection()
    {
        QFETCH(bool, answers);
        Net n(answers ? std::vector<Endpoint>{kNobody, kBob} : std::vector<Endpoint>{kNobody});
        std::map<QByteArray, std::size_t> sentAs, got;
        int probes = 0;
        for (int request = 0; n.now < 20000; n.now += 100) {
            n.a.paths.tick(n.now, [&](const Endpoint& to, const std::uint8_t* d, std::size_t size) {
                ++probes;
                got[key(to)] += size;
                n.deliver(n.a, to, QByteArray(reinterpret_cast<const char*>(d), int(size)));
            });
            for (int i = 0; i < 10; ++i, ++request) {
                const Endpoint from =
                    udp::parsePeer(qPrintable(QString("198.51.100.%1").arg(10 + request % 60)), 1000);
                const QByteArray d =
                    sealAs(kKey, 7 | directwire::kSide | directwire::kProbe, probe(directwire::kRequest, {}));
                QByteArray reply;
                sentAs[key(from)] += std::size_t(d.size());
                n.a.take(from, d, n.now, &reply);
                got[key(from)] += std::size_t(reply.size());
            }
        }
        QCOMPARE(n.a.direct(), answers);
        QVERIFY2(probes >= 10 && probes <= 80, qPrintable(QString::number(probes)));
        for (const auto& [address, bytes] : got)
            QVERIFY(address == key(kNobody) || address == key(kBob) || bytes <= sentAs[address]);
    }

    // A probe's answer counts only from where the probe went, and with its own unguessable id.
    void anAnswerCountsOnlyFromWhereItsProbeWent_data()
    {
        QTest::addColumn<bool>("fromBob");
        QTest::addColumn<int>("idChange");
        QTest::addColumn<bool>("direct");
        QTest::newRow("from where it went") << true << 0 << true;
        QTest::newRow("from elsewhere") << false << 0 << false;
        QTest::newRow("the next id, from where the next probe went") << false << 1 << false;
    }
    void anAnswerCountsOnlyFromWhereItsProbeWent()
    {
        QFETCH(bool, fromBob);
        QFETCH(int, idChange);
        QFETCH(bool, direct);
        Net n({kBob, kNobody});
        n.b.reachable = false;
        direct::Txid txid{};
        n.a.paths.tick(n.now, [&](const Endpoint& to, const std::uint8_t* d, std::size_t size) {
            QByteArray opened(reinterpret_cast<const char*>(d), int(size));
            seal::Cipher bob;
            bob.setKey(kKey.data());
            if (to == kBob && bob.open(reinterpret_cast<std::uint8_t*>(opened.data()), std::size_t(size)) > 0)
                std::memcpy(txid.data(), opened.constData() + seal::kHeaderBytes + 1, txid.size());
        });
        txid.back() = std::uint8_t(txid.back() + idChange);
        QByteArray reply;
        n.a.take(fromBob ? kBob : kNobody,
                 sealAs(kKey, 7 | directwire::kSide | directwire::kProbe, probe(directwire::kAnswer, txid)),
                 n.now + 10, &reply);
        n.step();
        QCOMPARE(n.a.direct(), direct);
    }

    // Bob over IPv6 while the relay is IPv4: one dual-stack socket reaches both.
    void engineSendsToADirectPeerSealedAndTakesItsDatagrams_data()
    {
        QTest::addColumn<QString>("bobHost");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1");
        QTest::newRow("IPv6 beside an IPv4 relay") << QStringLiteral("::1");
    }
    void engineSendsToADirectPeerSealedAndTakesItsDatagrams()
    {
        QFETCH(QString, bobHost);
        const QHostAddress bobAddress(bobHost);
        const QByteArray bobText = bobHost.toLatin1();
        QUdpSocket bob;
        if (!bob.bind(bobAddress, 0))
            QSKIP("no loopback address of this family");
        EngineRig rig;
        const udp::Peer bobPeer = udp::parsePeer(bobText.constData(), bob.localPort());
        QVERIFY(rig.start({{"bob", kVipB, 7, 0, kKey, {bobPeer}}}));
        End b(kBob); // Bob, through the entry points the engine uses
        b.view = std::make_unique<DirectPaths::View>(b.paths);
        b.paths.setPeers({{"alice", kVipA, 7, 1, kKey, {}}}, tunnel::steadyMs());
        const auto pump = [&] {
            rig.alice->tick(tunnel::steadyMs(),
                            [&](auto& to, auto* d, auto n) { udp::send(rig.socket, to, d, n); });
            b.paths.tick(tunnel::steadyMs(), [&](const Endpoint&, const std::uint8_t* d, std::size_t len) {
                bob.writeDatagram(reinterpret_cast<const char*>(d), qint64(len), bobAddress, rig.alicePort);
            });
            for (QByteArray reply; bob.hasPendingDatagrams();)
                if (b.take(udp::parsePeer(bobText.constData(), rig.alicePort), bob.receiveDatagram().data(),
                           tunnel::steadyMs(), &reply) == DirectPaths::Inbound::Answer)
                    bob.writeDatagram(reply, bobAddress, rig.alicePort);
            return true;
        };
        // Alice's requests answered by Bob, Bob's answered by Alice's inbound thread.
        QTRY_VERIFY(pump() && rig.alice->status().at(0).direct && b.direct());
        rig.adapter->push(&rig.adapter->toSend, packetTo(kVipB));
        QTRY_VERIFY(pump() && b.data.size() == 1);
        QCOMPARE(b.data[0], packetTo(kVipB));
        // A packet with a source not his own goes nowhere; his own does.
        bob.writeDatagram(b.sealData(packetTo(kVipA, kElsewhere)), bobAddress, rig.alicePort);
        bob.writeDatagram(b.sealData(packetTo(kVipA)), bobAddress, rig.alicePort);
        QTRY_COMPARE(rig.adapter->writtenSoFar(), std::deque<QByteArray>{packetTo(kVipA)});
        QCOMPARE(rig.alice->refused(), 1u);
        QVERIFY(!rig.relay.hasPendingDatagrams()); // nothing took the relay's way
        QVERIFY(rig.engine.stop());
    }

    // The scanning side of a birthday asks only the address the server saw, at ports above 1023: one scan
    // at a time, at most 100 requests a second beside the usual ones, and two scans a minute at most
    // however many pairs ask.
    void aScanAsksOnlyTheSeenAddressAndKeepsItsBudget()
    {
        DirectPaths alice;
        const auto scan = tunnel::Birthday::Scan;
        alice.setPeers({{"bob", kVipB, 7, 0, kKey, {kBob}, scan},
                        {"carol", kVipC, 8, 0, kOtherKey, {kBob}, scan},
                        {"dave", kVipC + 1, 9, 0, kKey, {kBob}, scan}},
                       0);
        std::map<std::int64_t, int> perSecond, perMinute;
        bool elsewhere = false;
        for (std::int64_t now = 0; now < 120000; now += 10)
            alice.tick(now, [&](const Endpoint& to, const std::uint8_t*, std::size_t) {
                ++perSecond[now / 1000];
                ++perMinute[now / 60000];
                const quint16 port = qFromBigEndian<quint16>(to.bytes + 2);
                elsewhere |= to.length != kBob.length || std::memcmp(to.bytes + 4, kBob.bytes + 4, 4) != 0 ||
                             (port < direct::kScanLowestPort && !(to == kBob));
            });
        QVERIFY(!elsewhere);
        QVERIFY(std::all_of(perSecond.begin(), perSecond.end(), [](auto& s) { return s.second <= 130; }));
        QVERIFY(perMinute[0] >= 2 * direct::kScanTotal);
        QVERIFY(std::all_of(perMinute.begin(), perMinute.end(),
                            [](auto& m) { return m.second <= 2 * direct::kScanTotal + 300; }));
    }

    // The spraying side opens its ports toward the seen address; a request that reaches one of them (the
    // other side's scan found it) is answered from there, the pair goes direct from there, and its data
    // leaves from that port. Bob lets in nothing from Alice's tunnel port, as his NAT would.
    void aSprayPortThatIsFoundBecomesThePath()
    {
        QUdpSocket relay, bob;
        QVERIFY(relay.bind(QHostAddress::LocalHost, 0) && bob.bind(QHostAddress::LocalHost, 0));
        const udp::Peer relayPeer = udp::parsePeer("127.0.0.1", relay.localPort());
        udp::Socket socket = udp::open(relayPeer);
        const quint16 alicePort = udp::localPort(socket);
        auto alice = std::make_shared<DirectPaths>();
        alice->setSidePorts(relayPeer);
        const udp::Peer bobPeer = udp::parsePeer("127.0.0.1", bob.localPort());
        alice->setPeers({{"bob", kVipB, 7, 0, kKey, {bobPeer}, tunnel::Birthday::Spray}}, tunnel::steadyMs());
        auto port = std::make_unique<FakePort>();
        FakePort* adapter = port.get();
        tunnel::Engine engine;
        QVERIFY(engine.start(std::move(port), socket, relayPeer, nullptr, alice));
        const auto send = [&](auto& to, auto* d, auto n) { udp::send(socket, to, d, n); };
        alice->tick(tunnel::steadyMs(), send);
        std::set<quint16> sprayed;
        while (bob.waitForReadyRead(200) || bob.hasPendingDatagrams())
            for (; bob.hasPendingDatagrams();)
                sprayed.insert(quint16(bob.receiveDatagram().senderPort()));
        sprayed.erase(alicePort);
        QCOMPARE(int(sprayed.size()), direct::kSprayPorts);
        const quint16 found = *std::next(sprayed.begin(), 100);
        End b(kBob);
        b.view = std::make_unique<DirectPaths::View>(b.paths);
        b.paths.setPeers({{"alice", kVipA, 7, 1, kKey, {udp::parsePeer("127.0.0.1", found)}}},
                         tunnel::steadyMs());
        const auto pump = [&] {
            alice->tick(tunnel::steadyMs(), send);
            b.paths.tick(tunnel::steadyMs(), [&](const Endpoint&, const std::uint8_t* d, std::size_t len) {
                bob.writeDatagram(reinterpret_cast<const char*>(d), qint64(len), QHostAddress::LocalHost,
                                  found);
            });
            for (QByteArray reply; bob.hasPendingDatagrams();) {
                const QNetworkDatagram d = bob.receiveDatagram();
                const quint16 from = quint16(d.senderPort());
                if (from != alicePort && b.take(udp::parsePeer("127.0.0.1", from), d.data(),
                                                tunnel::steadyMs(), &reply) == DirectPaths::Inbound::Answer)
                    bob.writeDatagram(reply, QHostAddress::LocalHost, from);
            }
            return true;
        };
        QTRY_VERIFY(pump() && alice->status().at(0).direct && b.direct());
        adapter->push(&adapter->toSend, packetTo(kVipB));
        QByteArray reply;
        bool arrived = false; // from the port found, and opened as data
        QTRY_VERIFY(arrived || (arrived = bob.hasPendingDatagrams() && [&] {
                        const QNetworkDatagram d = bob.receiveDatagram();
                        return d.senderPort() == found &&
                               b.take(udp::parsePeer("127.0.0.1", found), d.data(), tunnel::steadyMs(),
                                      &reply) == DirectPaths::Inbound::Data;
                    }()));
        QCOMPARE(b.data.back(), packetTo(kVipB));
        QVERIFY(engine.stop());
        udp::close(socket);
    }

    // Sealed round trips through the relay: the inbound thread answers a request, sealed with the probe bit,
    // as long as it came; an answer to ours shows at the GUI side's next tick. Neither reaches the adapter.
    void engineAnswersAndTimesRoundTripsThroughTheRelay()
    {
        auto session = std::make_shared<tunnel::SealSession>();
        session->setKey(kOtherKey.data(), 5, 0);
        EngineRig rig;
        QVERIFY(rig.start({{"bob", kVipB, 7, 0, kKey, {}}}, session));
        seal::Cipher relayKey;
        relayKey.setKey(kOtherKey.data());
        std::uint64_t counter = 0;
        const auto fromRelay = [&](std::uint8_t kind, const relayprobe::Id& id) {
            std::uint8_t d[relayprobe::kBytes];
            relayprobe::write({kind, kVipB, id}, d + seal::kHeaderBytes);
            relayKey.seal({seal::kFromRelay | seal::kRelayProbe | 5, ++counter}, d, relayprobe::kPayload);
            rig.relay.writeDatagram(reinterpret_cast<const char*>(d), sizeof d, QHostAddress::LocalHost,
                                rig.alicePort);
        };
        const auto atRelay = [&](relayprobe::Probe* probe) { // the header word, 0 when nothing opened
            if (!testwait::until([&] { return rig.relay.hasPendingDatagrams(); }))
                return 0u;
            QByteArray d = rig.relay.receiveDatagram().data();
            auto* bytes = reinterpret_cast<std::uint8_t*>(d.data());
            seal::Header h;
            const long n = seal::readHeader(bytes, std::size_t(d.size()), &h)
                               ? relayKey.open(bytes, std::size_t(d.size()))
                               : -1;
            return n >= 0 && relayprobe::read(bytes + seal::kHeaderBytes, std::size_t(n), probe) ? h.word
                                                                                                 : 0u;
        };
        relayprobe::Probe got;
        fromRelay(relayprobe::kRequest, {1, 2, 3});
        QCOMPARE(atRelay(&got), 5 | seal::kRelayProbe);
        QVERIFY(got.kind == relayprobe::kAnswer && got.vip == kVipB && got.id == (relayprobe::Id{1, 2, 3}));
        tunnel::SealSession::View gui(*session); // Alice's own request, sealed as the GUI side does
        const auto ignore = [](const Endpoint&, const std::uint8_t*, std::size_t) {};
        rig.alice->tick(tunnel::steadyMs(), ignore, [&](const std::uint8_t* payload, std::size_t n) {
            std::uint8_t d[relayprobe::kBytes];
            std::memcpy(d + seal::kHeaderBytes, payload, n);
            udp::send(rig.socket, rig.relayPeer, d, gui.seal(d, n, false, true));
        });
        QCOMPARE(atRelay(&got), 5 | seal::kRelayProbe);
        QVERIFY(got.kind == relayprobe::kRequest && got.vip == kVipB);
        fromRelay(relayprobe::kAnswer, got.id);
        QTRY_VERIFY((rig.alice->tick(tunnel::steadyMs(), ignore), rig.alice->status().at(0).relayRttMs >= 0));
        QVERIFY(rig.adapter->writtenSoFar().empty());
        QVERIFY(rig.engine.stop());
    }
};

PELLORA_TEST_MAIN(TestDirectPaths)
#include "test_directpaths.moc"
