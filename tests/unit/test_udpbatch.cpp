// The shared batched UDP layer on loopback: what it sends segmented arrives as the datagrams queued.
#include "protocol/udpbatch_linux.h"

#include <QTest>
#include <netinet/in.h>
#include <unistd.h>

class TestUdpBatch : public QObject
{
    Q_OBJECT

    static int bound(Endpoint& at)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        at.length = sizeof a;
        bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr*>(at.bytes), reinterpret_cast<socklen_t*>(&at.length));
        return fd;
    }

private slots:
    void segmentedRunsArriveAsTheDatagramsQueued_data()
    {
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<QString>("to"); // receiver per datagram
        QTest::newRow("equal, the last shorter") << QList<int>{1400, 1400, 1400, 600} << "aaaa";
        QTest::newRow("a shorter one ends the run") << QList<int>{1400, 600, 1400, 1400} << "aaaa";
        QTest::newRow("a larger one starts a new run") << QList<int>{1100, 1400, 1400} << "aaa";
        QTest::newRow("another receiver ends the run") << QList<int>{1400, 1400, 1400, 1400} << "aabb";
    }
    void segmentedRunsArriveAsTheDatagramsQueued()
    {
        QFETCH(QList<int>, sizes);
        QFETCH(QString, to);
        Endpoint at[2], self;
        const int in[2] = {bound(at[0]), bound(at[1])}, out = bound(self);
        bool gso = udpbatch::enableOffload(out);
        if (!gso)
            QSKIP("no UDP segmentation offload here");
        std::vector<std::vector<unsigned char>> data;
        udpbatch::Sender sender(8);
        for (int i = 0; i < sizes.size(); ++i) {
            data.emplace_back(std::size_t(sizes[i]), static_cast<unsigned char>(i));
            sender.add(data.back().data(), data.back().size(), at[to[i] == 'b']);
        }
        QCOMPARE(sender.flush(out, udpbatch::Sender::WhenFull::Wait, &gso).sent, int(sizes.size()));
        QVERIFY(gso);
        for (int i = 0; i < sizes.size(); ++i) {
            unsigned char got[2048];
            QCOMPARE(recv(in[to[i] == 'b'], got, sizeof got, MSG_DONTWAIT), ssize_t(sizes[i]));
            QCOMPARE(int(got[sizes[i] - 1]), i);
        }
        close(in[0]), close(in[1]), close(out);
    }
};

QTEST_GUILESS_MAIN(TestUdpBatch)
#include "test_udpbatch.moc"
