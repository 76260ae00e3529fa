// The player menus: right clicks on the online-players and room-members lists,
// answered as a player would, against the fake lobby.
#include "tests/widget/test_rooms_support.h"

class TestMenus : public RoomTest
{
    Q_OBJECT

private slots:
    void onlineMenuOffersMessageAndInvite()
    {
        QVERIFY(h.loggedIn(u"Alice"_s));
        QVERIFY(h.usersListed({u"Alice"_s, u"alice"_s, u"Bob - 2"_s}));
        QListWidget* users = P::onlineUserList(*h.client);
        const qsizetype before = h.settledCount();
        QVERIFY(rightClickMenu(users, 0).isEmpty());  // own name
        QVERIFY(rightClickMenu(users, -1).isEmpty()); // empty space
        QCOMPARE(rightClickMenu(users, 1), QStringList({u"Send Message"_s, u"Invite to Room"_s}));
        QCOMPARE(h.settledCount(), before);

        QVERIFY(!rightClickMenu(users, 2, u"Invite to Room"_s).isEmpty());
        QCOMPARE(h.lobby->waitForCommand(u"invite"_s).value(u"target"_s).toString(), u"Bob - 2"_s);
        QCOMPARE(P::mainTabs(*h.client)->count(), 1);
        QVERIFY(!rightClickMenu(users, 1, u"Send Message"_s).isEmpty());
        QCOMPARE(P::mainTabs(*h.client)->currentWidget(), P::privateChatTabs(*h.client).value(u"alice"_s));
        QCOMPARE(h.settledCount(), before + 1);
    }

    void hostActionsTargetTheMember()
    {
        // Names may contain " - " or a crown: the target is the member's whole
        // name, and only the member flagged as host is spared.
        QVERIFY(h.loggedIn(u"Alice"_s) && h.joined(u"Alpha"_s, u"10.8.0.2"_s));
        QList<Peer> peers = {{u"Alice"_s, u"10.8.0.2"_s, false},
                             {u"carol"_s, u"10.8.0.3"_s, false},
                             {u"dave - x"_s, u"10.8.0.4"_s, false},
                             {u"👑eve"_s, u"10.8.0.5"_s, false}};
        QListWidget* list = P::peerList(*h.client);
        QVERIFY(h.peersListed(peers));
        QVERIFY(rightClickMenu(list, 1).isEmpty()); // not the host: no menu
        peers[0].host = true;
        QVERIFY(h.peersListed(peers) && P::isHost(*h.client));
        const qsizetype before = h.settledCount();
        QVERIFY(rightClickMenu(list, 0).isEmpty()); // the crowned entry
        QVERIFY(rightClickMenu(list, -1).isEmpty());
        QCOMPARE(rightClickMenu(list, 1), QStringList({u"Kick Entity"_s, u"Transfer Host"_s}));
        QCOMPARE(h.settledCount(), before);

        const struct
        {
            int row;
            QString action;
            QString cmd;
        } picks[] = {{1, u"Kick Entity"_s, u"kick_player"_s},
                     {2, u"Kick Entity"_s, u"kick_player"_s},
                     {3, u"Transfer Host"_s, u"transfer_host"_s}};
        for (const auto& pick : picks) {
            QVERIFY(!rightClickMenu(list, pick.row, pick.action).isEmpty());
            QTRY_COMPARE(h.lobby->received.last(),
                         control::message(pick.cmd, {{u"target"_s, peers[pick.row].name}}));
        }
        QCOMPARE(list->count(), 4); // nothing changes until the server says so
    }
};

ROOMS_TEST_MAIN(TestMenus)
#include "test_menus.moc"
