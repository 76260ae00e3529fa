// The hand-over of outbound packets from a reader thread to the GUI thread:
// one queued call per batch, packets intact and in order, a bounded queue.
#include "net/outboundqueue.h"
#include "net/scramble.h"
#include "tests/support/testenv.h"

#include <QElapsedTimer>
#include <QTest>
#include <QtEndian>
#include <atomic>
#include <thread>

namespace {

QByteArray packetNumber(int n)
{
    // The number first, then 0 to 1499 bytes that differ from packet to packet.
    QByteArray packet(4 + (n * 37) % 1500, '\0');
    qToBigEndian<quint32>(static_cast<quint32>(n), packet.data());
    for (int i = 4; i < packet.size(); ++i)
        packet[i] = static_cast<char>((n + i * 7) & 0xFF);
    return packet;
}

QList<QByteArray> unpack(const tunnel::PacketBatch& batch)
{
    QList<QByteArray> packets;
    batch.forEach([&](const unsigned char* data, int length) {
        packets << tunnel::scramblePayload(QByteArray(reinterpret_cast<const char*>(data), length));
    });
    return packets;
}

bool push(tunnel::OutboundQueue& queue, const QByteArray& packet)
{
    return queue.push(reinterpret_cast<const unsigned char*>(packet.constData()), static_cast<int>(packet.size()));
}

} // namespace

class TestOutboundQueue : public QObject
{
    Q_OBJECT

private slots:
    void onlyTheFirstPacketOfABatchAsksForACall()
    {
        tunnel::OutboundQueue queue;
        QVERIFY(push(queue, packetNumber(1)));
        QVERIFY(!push(queue, packetNumber(2)));
        QVERIFY(!push(queue, packetNumber(3)));
        const tunnel::PacketBatch& first = queue.take();
        QCOMPARE(unpack(first), (QList<QByteArray>{packetNumber(1), packetNumber(2), packetNumber(3)}));
        // The bytes on the wire are the scrambled packets.
        const QByteArray wire(reinterpret_cast<const char*>(first.bytes.data()), static_cast<qsizetype>(first.bytes.size()));
        QCOMPARE(wire, tunnel::scramblePayload(packetNumber(1)) + tunnel::scramblePayload(packetNumber(2)) +
                           tunnel::scramblePayload(packetNumber(3)));

        // Taken: the next packet starts a new batch and asks again.
        QVERIFY(queue.take().empty());
        QVERIFY(push(queue, packetNumber(4)));
        QCOMPARE(unpack(queue.take()), QList<QByteArray>{packetNumber(4)});
    }

    void emptyPacketsAreNotQueued()
    {
        tunnel::OutboundQueue queue;
        const unsigned char byte = 0x45;
        QVERIFY(!queue.push(&byte, 0));
        QVERIFY(!queue.push(&byte, -5));
        QVERIFY(queue.take().empty());
        QCOMPARE(queue.dropped(), std::size_t(0));
    }

    void aFullQueueDropsAndCountsThenTakesAgain()
    {
        tunnel::OutboundQueue queue;
        const QByteArray big(60000, 'b');
        const std::size_t fit = tunnel::OutboundQueue::kMaxBytes / 60000;
        for (std::size_t i = 0; i < fit; ++i)
            push(queue, big);
        QVERIFY(!push(queue, big));
        QVERIFY(!push(queue, big));
        QCOMPARE(queue.dropped(), std::size_t(2));
        QCOMPARE(queue.take().lengths.size(), fit);

        const QByteArray tiny(1, 't');
        for (std::size_t i = 0; i < tunnel::OutboundQueue::kMaxPackets; ++i)
            push(queue, tiny);
        QVERIFY(!push(queue, tiny));
        QCOMPARE(queue.dropped(), std::size_t(3));
        QCOMPARE(queue.take().lengths.size(), tunnel::OutboundQueue::kMaxPackets);
        QVERIFY(push(queue, tiny));
    }

    // A reader pushing while the GUI side takes: every packet arrives once and
    // in order or is counted as dropped (a reader faster than the GUI side can
    // fill the queue), and every batch that was asked for is taken.
    void concurrentPushAndTakeLoseNothingUncounted()
    {
        tunnel::OutboundQueue queue;
        constexpr int kPackets = 20000;
        std::atomic<int> callsAsked{0};
        std::atomic<bool> done{false};
        std::thread reader([&] {
            for (int n = 0; n < kPackets; ++n)
                callsAsked += push(queue, packetNumber(n)) ? 1 : 0;
            done = true;
        });
        QList<QByteArray> received;
        int takes = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 30000) {
            const bool finished = done;
            const tunnel::PacketBatch& batch = queue.take();
            takes += batch.empty() ? 0 : 1;
            received << unpack(batch);
            if (finished && batch.empty())
                break;
            if (batch.empty())
                std::this_thread::yield();
        }
        reader.join();
        QCOMPARE(std::size_t(received.size()) + queue.dropped(), std::size_t(kPackets));
        int previous = -1;
        int firstWrong = -1;
        for (int i = 0; i < received.size() && firstWrong < 0; ++i) {
            const int n = static_cast<int>(qFromBigEndian<quint32>(received.at(i).constData()));
            firstWrong = n > previous && n < kPackets && received.at(i) == packetNumber(n) ? -1 : i;
            previous = n;
        }
        QCOMPARE(firstWrong, -1);
        QCOMPARE(callsAsked.load(), takes);
    }
};

PELLORA_TEST_MAIN(TestOutboundQueue)
#include "test_outboundqueue.moc"
