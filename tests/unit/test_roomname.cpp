// Room-list markers, composed room names and tab titles.
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

    void composedNamesAndTabTitles()
    {
        QCOMPARE(rooms::composeRoomName(u"any / custom game"_s, u"%1 %L1"_s),
                 u"[any / custom game] %1 %L1"_s);
        QCOMPARE(rooms::tabTitle(u"COM: "_s, u"R&D && co"_s), u"COM: R&&D &&&& co"_s);
    }
};

QTEST_APPLESS_MAIN(TestRoomName)
#include "test_roomname.moc"
