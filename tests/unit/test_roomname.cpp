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
        QTest::addColumn<QString>("name"); // as sent; empty: not restricted
        QTest::newRow("plain") << QStringLiteral("Bravo 🔐 [Lock]") << QString();
        QTest::newRow("lock inside") << QStringLiteral("🔒 Alpha") << QStringLiteral("🔒 Alpha");
        QTest::newRow("LOCKED") << QStringLiteral("Alpha [LOCKED]") << QStringLiteral("Alpha [LOCKED]");
        QTest::newRow("private glued") << QStringLiteral("Alpha[private]") << QStringLiteral("Alpha[private]");
        QTest::newRow("all markers") << QStringLiteral("A 🔒 [Locked] B [Private] [Locked]") << QStringLiteral("A B");
        QTest::newRow("two blanks") << QStringLiteral("Alpha  🔒") << QStringLiteral("Alpha ");
    }

    void restrictedEntries()
    {
        QFETCH(QString, entry);
        QFETCH(QString, name);
        QCOMPARE(rooms::isRestrictedEntry(entry), !name.isEmpty());
        if (!name.isEmpty())
            QCOMPARE(rooms::stripRestrictedMarkers(entry), name);
    }

    void composedNamesAndTexts()
    {
        QCOMPARE(rooms::composeRoomName(QStringLiteral("Any / Custom Game"), QStringLiteral("Alpha")), QStringLiteral("Alpha"));
        QCOMPARE(rooms::composeRoomName(QStringLiteral("any / custom game"), QStringLiteral("%1 %L1")),
                 QStringLiteral("[any / custom game] %1 %L1"));
        QCOMPARE(rooms::peerEntryText(QStringLiteral("bob"), QStringLiteral("10.8.0.1"), true), QStringLiteral("bob 👑 - 10.8.0.1"));
        QCOMPARE(rooms::peerEntryText(QStringLiteral("a - b"), QString(), false), QStringLiteral("a - b - "));
        QCOMPARE(rooms::tabTitle(QStringLiteral("COM: "), QStringLiteral("R&D && co")), QStringLiteral("COM: R&&D &&&& co"));
    }
};

QTEST_APPLESS_MAIN(TestRoomName)
#include "test_roomname.moc"
