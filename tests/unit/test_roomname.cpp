// Room-list markers: which entries are restricted, and the name each stands for; a member's path line.
#include "features/roomname.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestRoomName : public QObject
{
    Q_OBJECT

private slots:
    void restrictedEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("name"); // as sent; empty: not restricted
        QTest::newRow("plain") << u"Bravo 🔐 [Lock]"_s << QString();
        QTest::newRow("lock inside") << u"🔒 Alpha"_s << u"🔒 Alpha"_s;
        QTest::newRow("LOCKED") << u"Alpha [LOCKED]"_s << u"Alpha [LOCKED]"_s;
        QTest::newRow("private glued") << u"Alpha[private]"_s << u"Alpha[private]"_s;
        QTest::newRow("all markers") << u"A 🔒 [Locked] B [Private] [Locked]"_s << u"A B"_s;
        QTest::newRow("two blanks") << u"Alpha  🔒"_s << u"Alpha "_s;
    }

    void restrictedEntries()
    {
        QFETCH(QString, entry);
        QFETCH(QString, name);
        QCOMPARE(rooms::isRestrictedEntry(entry), !name.isEmpty());
        if (!name.isEmpty())
            QCOMPARE(rooms::stripRestrictedMarkers(entry), name);
    }
    void aMembersPathLine_data()
    {
        QTest::addColumn<bool>("direct");
        QTest::addColumn<int>("rttMs");
        QTest::addColumn<QString>("line");
        QTest::newRow("direct, timed") << true << 12 << u"direct · 12 ms"_s;
        QTest::newRow("direct, under a millisecond") << true << 0 << u"direct · 0 ms"_s;
        QTest::newRow("direct, not yet timed") << true << -1 << u"direct"_s;
        QTest::newRow("relayed, timed") << false << 84 << u"relayed · 84 ms"_s;
        QTest::newRow("relayed, not yet timed") << false << -1 << u"relayed"_s;
    }
    void aMembersPathLine()
    {
        QFETCH(bool, direct);
        QFETCH(int, rttMs);
        QFETCH(QString, line);
        QCOMPARE(rooms::peerPathText(direct, rttMs), line);
    }
};

QTEST_APPLESS_MAIN(TestRoomName)
#include "test_roomname.moc"
