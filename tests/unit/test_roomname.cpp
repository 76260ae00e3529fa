// Room-list markers, composed room names and the texts of peer entries and tabs.
#include "features/roomname.h"

#include <QTest>

class TestRoomName : public QObject
{
    Q_OBJECT

private slots:
    void restrictedEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("restricted");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << QStringLiteral("Bravo") << false << QStringLiteral("Bravo");
        QTest::newRow("lock") << QStringLiteral("Alpha 🔒") << true << QStringLiteral("Alpha");
        QTest::newRow("lock inside") << QStringLiteral("🔒 Alpha") << true << QStringLiteral("🔒 Alpha");
        QTest::newRow("Locked") << QStringLiteral("Alpha [Locked]") << true << QStringLiteral("Alpha");
        QTest::newRow("LOCKED") << QStringLiteral("Alpha [LOCKED]") << true << QStringLiteral("Alpha [LOCKED]");
        QTest::newRow("private lower") << QStringLiteral("Alpha [private]") << true << QStringLiteral("Alpha [private]");
        QTest::newRow("glued") << QStringLiteral("Alpha[Private]") << true << QStringLiteral("Alpha[Private]");
        QTest::newRow("all markers") << QStringLiteral("A 🔒 [Locked] [Private]") << true << QStringLiteral("A");
        QTest::newRow("twice") << QStringLiteral("A [Locked] B [Locked]") << true << QStringLiteral("A B");
        QTest::newRow("two blanks") << QStringLiteral("Alpha  🔒") << true << QStringLiteral("Alpha ");
        QTest::newRow("half marker") << QStringLiteral("Alpha [Lock]") << false << QStringLiteral("Alpha [Lock]");
        QTest::newRow("empty") << QString() << false << QString();
    }

    void restrictedEntries()
    {
        QFETCH(QString, entry);
        QFETCH(bool, restricted);
        QFETCH(QString, name);
        QCOMPARE(rooms::isRestrictedEntry(entry), restricted);
        if (restricted)
            QCOMPARE(rooms::stripRestrictedMarkers(entry), name);
    }

    void composedRoomNames()
    {
        QCOMPARE(rooms::composeRoomName(QStringLiteral("Any / Custom Game"), QStringLiteral("Alpha")), QStringLiteral("Alpha"));
        QCOMPARE(rooms::composeRoomName(QStringLiteral("Dota 2"), QStringLiteral("3v3")), QStringLiteral("[Dota 2] 3v3"));
        QCOMPARE(rooms::composeRoomName(QStringLiteral("Minecraft"), QStringLiteral("%1 %2 %L1")),
                 QStringLiteral("[Minecraft] %1 %2 %L1"));
        // Only the exact catch-all text goes without brackets.
        QCOMPARE(rooms::composeRoomName(QStringLiteral("any / custom game"), QStringLiteral("A")),
                 QStringLiteral("[any / custom game] A"));
    }

    void entryAndTabTexts()
    {
        QCOMPARE(rooms::peerEntryText(QStringLiteral("bob"), QStringLiteral("10.8.0.1"), true),
                 QStringLiteral("bob 👑 - 10.8.0.1"));
        QCOMPARE(rooms::peerEntryText(QStringLiteral("a - b"), QString(), false), QStringLiteral("a - b - "));
        QCOMPARE(rooms::tabTitle(QStringLiteral("COM: "), QStringLiteral("R&D && co")), QStringLiteral("COM: R&&D &&&& co"));
        QCOMPARE(rooms::tabTitle(QStringLiteral("Sector: "), QStringLiteral("Alpha")), QStringLiteral("Sector: Alpha"));
    }
};

QTEST_APPLESS_MAIN(TestRoomName)
#include "test_roomname.moc"
