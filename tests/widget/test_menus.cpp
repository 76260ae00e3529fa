// The player menus: right clicks on the online-players and room-members lists,
// answered as a player would, against the fake lobby.
#include "tests/widget/test_rooms_support.h"

class TestMenus : public RoomTest
{
    Q_OBJECT

private slots:
    void onlineMenuOffersMessageAndInvite()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.usersListed({QStringLiteral("Alice"), QStringLiteral("alice"), QStringLiteral("Bob - 2")}));
        QListWidget* users = P::onlineUserList(*h.client);
        const qsizetype before = h.settledCount();
        QVERIFY(!rightClickMenu(users, 0).seen);  // own name
        QVERIFY(!rightClickMenu(users, -1).seen); // empty space
        QCOMPARE(rightClickMenu(users, 1).actions, QStringList({QStringLiteral("Send Message"), QStringLiteral("Invite to Room")}));
        QCOMPARE(h.settledCount(), before);

        QVERIFY(rightClickMenu(users, 2, QStringLiteral("Invite to Room")).seen);
        QCOMPARE(h.lobby->waitForCommand(QStringLiteral("invite")).value(QStringLiteral("target")).toString(), QStringLiteral("Bob - 2"));
        QCOMPARE(P::mainTabs(*h.client)->count(), 1);
        QVERIFY(rightClickMenu(users, 1, QStringLiteral("Send Message")).seen);
        QCOMPARE(P::mainTabs(*h.client)->currentWidget(), P::privateChatTabs(*h.client).value(QStringLiteral("alice")));
        QCOMPARE(h.settledCount(), before + 1);
    }

    void hostActionsTargetTheMember()
    {
        // Names may contain " - " or a crown: the target is the member's whole
        // name, and only the member flagged as host is spared.
        QVERIFY(h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        QList<Peer> peers = {{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), false},
                             {QStringLiteral("carol"), QStringLiteral("10.8.0.3"), false},
                             {QStringLiteral("dave - x"), QStringLiteral("10.8.0.4"), false},
                             {QStringLiteral("👑eve"), QStringLiteral("10.8.0.5"), false}};
        QListWidget* list = P::peerList(*h.client);
        QVERIFY(h.peersListed(peers));
        QVERIFY(!rightClickMenu(list, 1).seen); // not the host: no menu
        peers[0].host = true;
        QVERIFY(h.peersListed(peers) && P::isHost(*h.client));
        const qsizetype before = h.settledCount();
        QVERIFY(!rightClickMenu(list, 0).seen); // the crowned entry
        QVERIFY(!rightClickMenu(list, -1).seen);
        QCOMPARE(rightClickMenu(list, 1).actions, QStringList({QStringLiteral("Kick Entity"), QStringLiteral("Transfer Host")}));
        QCOMPARE(h.settledCount(), before);

        const struct {
            int row;
            QString action;
            QString cmd;
        } picks[] = {{1, QStringLiteral("Kick Entity"), QStringLiteral("kick_player")},
                     {2, QStringLiteral("Kick Entity"), QStringLiteral("kick_player")},
                     {3, QStringLiteral("Transfer Host"), QStringLiteral("transfer_host")}};
        for (const auto& pick : picks) {
            QVERIFY(rightClickMenu(list, pick.row, pick.action).seen);
            QTRY_COMPARE(h.lobby->received.last(), control::message(pick.cmd, {{QStringLiteral("target"), peers[pick.row].name}}));
        }
        QCOMPARE(list->count(), 4); // nothing changes until the server says so
    }
};

ROOMS_TEST_MAIN(TestMenus)
#include "test_menus.moc"
