// The room state on its own, fed the server's lines as the connection hands them over.
#include "lobby/roomstate.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class TestRoomState : public QObject
{
    Q_OBJECT

    static QJsonObject joinOk(const QString& vip, const QJsonValue& layer = {})
    {
        QJsonObject line{{u"cmd"_s, u"join_ok"_s}, {u"vip"_s, vip}, {u"room_name"_s, u"Alpha"_s}};
        if (!layer.isUndefined())
            line.insert(u"layer"_s, layer);
        return line;
    }

private slots:
    void aJoinSaysWhetherItMovedUs_data()
    {
        QTest::addColumn<QString>("before"); // our address in the room already; empty: not in one
        QTest::addColumn<QJsonValue>("layer");
        QTest::addColumn<bool>("readdressed");
        QTest::newRow("afresh") << QString() << QJsonValue() << false;
        QTest::newRow("again, same address, mode echoed") << u"10.8.0.2"_s << QJsonValue(3) << false;
        QTest::newRow("again, a new address") << u"10.8.0.9"_s << QJsonValue() << true;
    }
    // The adapter at a new address has to be stopped before it can start there.
    void aJoinSaysWhetherItMovedUs()
    {
        QFETCH(QString, before);
        QFETCH(QJsonValue, layer);
        lobby::RoomState room;
        if (!before.isEmpty())
            room.take(joinOk(before));
        QSignalSpy joined(&room, &lobby::RoomState::joined);
        room.take(joinOk(u"10.8.0.2"_s, layer));
        QCOMPARE(joined.count(), 1);
        QTEST(joined.at(0).at(0).toBool(), "readdressed");
        QCOMPARE(joined.at(0).at(1).toBool(), !layer.isUndefined());
        QVERIFY(room.inRoom() && room.roomName() == u"Alpha"_s && room.myVirtualIp() == u"10.8.0.2"_s);
    }
    // Members as listed, us the host by our own entry; other lines are not the room's.
    void aRoomUpdateGivesTheMembers()
    {
        lobby::RoomState room;
        room.logIn(u"bob"_s);
        QSignalSpy updated(&room, &lobby::RoomState::updated);
        room.take({{u"cmd"_s, u"chat"_s}, {u"sender"_s, u"x"_s}, {u"message"_s, u"y"_s}});
        const QJsonArray peers{QJsonObject{{u"username"_s, u"alice"_s}, {u"vip"_s, u"10.8.0.2"_s}},
                               QJsonObject{{u"username"_s, u"bob"_s}, {u"vip"_s, u"10.8.0.3"_s},
                                           {u"is_host"_s, true}}};
        room.take({{u"cmd"_s, u"room_update"_s}, {u"peers"_s, peers}});
        QCOMPARE(updated.count(), 1);
        QCOMPARE(room.members().size(), 2);
        QVERIFY(room.isHost() && room.hostVirtualIp() == u"10.8.0.3"_s);
    }
};

QTEST_GUILESS_MAIN(TestRoomState)
#include "test_roomstate.moc"
