// The sealing unit: fixed AES-256-GCM vectors and the replay window.
#include "protocol/seal.h"
#include "tests/support/sealvectors.h"

#include <QTest>

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
};

QTEST_GUILESS_MAIN(TestSeal)
#include "test_seal.moc"
