// The sealing unit: fixed AES-256-GCM vectors, the replay window, and the
// snapshots that hand keys and tables to the data-path threads.
#include "protocol/seal.h"
#include "protocol/snapshot.h"
#include "tests/support/sealvectors.h"

#include <QTest>

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

class TestSeal : public QObject
{
    Q_OBJECT

private slots:
    void fixedVectorsSealAndOpen() { QCOMPARE(sealvectors::firstFailure(), nullptr); }

    void replayWindow_data()
    {
        QTest::addColumn<QList<quint64>>("accepted");
        QTest::addColumn<quint64>("counter");
        QTest::addColumn<bool>("fresh");
        QTest::newRow("first of all") << QList<quint64>{} << quint64{0} << true;
        QTest::newRow("seen") << QList<quint64>{5, 9} << quint64{5} << false;
        QTest::newRow("late but unseen") << QList<quint64>{5, 9} << quint64{7} << true;
        QTest::newRow("2048 behind, unseen") << QList<quint64>{3000} << quint64{952} << true;
        QTest::newRow("beyond the window") << QList<quint64>{3000, 8000} << quint64{3000 - 1} << false;
        QTest::newRow("a lap later, same bit")
            << QList<quint64>{100, 100 + 4096} << quint64{100 + 4096 - 1} << true;
        QTest::newRow("older than the window")
            << QList<quint64>{100000} << quint64{100000 - seal::ReplayWindow::kSpan} << false;
    }
    void replayWindow()
    {
        QFETCH(QList<quint64>, accepted);
        QFETCH(quint64, counter);
        seal::ReplayWindow window;
        for (const quint64 c : accepted)
            window.accept(c);
        QFETCH(bool, fresh);
        QCOMPARE(window.fresh(counter), fresh);
    }

    void aReaderKeepsItsSnapshotUntilItRefreshes()
    {
        using Values = std::vector<int>;
        auto first = std::make_shared<const Values>(3, 1);
        auto second = std::make_shared<const Values>(3, 2);
        const std::weak_ptr<const Values> firstGone = first, secondGone = second;
        Snapshot<Values> snapshot(std::move(first));
        Snapshot<Values>::Reader reader(snapshot), idle(snapshot); // idle: never took any
        QVERIFY(reader.refresh());
        {
            Snapshot<Values>::Reader gone(snapshot); // ends holding the first: holds nothing
            QVERIFY(gone.refresh());
        }
        snapshot.publish(std::move(second));
        snapshot.publish(std::make_shared<const Values>(3, 3));
        QVERIFY(!firstGone.expired());
        QCOMPARE(*reader.get(), Values(3, 1));
        QVERIFY(secondGone.expired()); // no reader took it up
        QVERIFY(reader.refresh());
        QCOMPARE(*reader.get(), Values(3, 3));
        QCOMPARE(reader.version(), snapshot.version());
        snapshot.reclaim();
        QVERIFY(firstGone.expired());
    }

    void readersOnOtherThreadsSeeWholeSnapshots()
    {
        using Values = std::array<int, 64>;
        Snapshot<Values> snapshot;
        std::atomic<bool> done{false};
        std::atomic<int> torn{0};
        const auto read = [&] {
            Snapshot<Values>::Reader reader(snapshot);
            // Read again and again: a value freed under the reader shows as torn.
            while (!done.load()) {
                reader.refresh();
                if (const Values* values = reader.get())
                    for (const int v : *values)
                        torn += v != values->front();
            }
        };
        std::thread a(read), b(read);
        for (int i = 1; i <= 20000; ++i) {
            auto next = std::make_shared<Values>();
            next->fill(i);
            snapshot.publish(std::move(next));
        }
        done = true;
        a.join();
        b.join();
        QCOMPARE(torn.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSeal)
#include "test_seal.moc"
