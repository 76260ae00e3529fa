// The player menus: right clicks on the online-players and room-members lists,
// answered as a player would, against a fake lobby.
#include "tests/widget/test_rooms_support.h"

#include <QTabWidget>

class TestMenus : public RoomTest
{
    Q_OBJECT

    // Alice in a room with these members.
    bool inRoomWith(const QList<Peer>& peers)
    {
        return h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")) &&
               h.peersListed(peers);
    }

private slots:
    void onlineMenuOffersMessageAndInvite()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.usersListed({QStringLiteral("Alice"), QStringLiteral("alice"), QStringLiteral("Bob - 2")}));
        QListWidget* users = P::onlineUserList(*h.client);
        const qsizetype before = h.settledCount();

        QVERIFY(!rightClickMenu(users, 0).seen); // own name
        QVERIFY(!rightClickMenu(users, -1).seen); // empty space
        const MenuSeen dismissed = rightClickMenu(users, 1);
        QCOMPARE(dismissed.actions, QStringList({QStringLiteral("Send Message"), QStringLiteral("Invite to Room")}));
        QCOMPARE(h.settledCount(), before);
        QCOMPARE(P::mainTabs(*h.client)->count(), 1);

        QVERIFY(rightClickMenu(users, 2, QStringLiteral("Invite to Room")).seen);
        const QJsonObject invite = h.lobby->waitForCommand(QStringLiteral("invite"));
        QCOMPARE(invite.value(QStringLiteral("target")).toString(), QStringLiteral("Bob - 2"));

        QVERIFY(rightClickMenu(users, 1, QStringLiteral("Send Message")).seen);
        QTabWidget* tabs = P::mainTabs(*h.client);
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->currentWidget(), P::privateChatTabs(*h.client).value(QStringLiteral("alice")));
        QCOMPARE(h.lobby->count(QStringLiteral("invite")), 1);
    }

    void peerMenuOnlyForTheHost()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(inRoomWith({{QStringLiteral("bob"), QStringLiteral("10.8.0.1"), true},
                            {QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), false},
                            {QStringLiteral("carol"), QStringLiteral("10.8.0.3"), false}}));
        QListWidget* peers = P::peerList(*h.client);
        for (int row = -1; row < peers->count(); ++row)
            QVERIFY2(!rightClickMenu(peers, row).seen, qPrintable(QString::number(row)));
    }

    void hostActionsTargetTheMember()
    {
        ROOMS_REQUIRE_ADAPTER();
        // Member names may contain " - " or a crown: the target is the member's
        // whole name, and only the member flagged as host is spared.
        QVERIFY(inRoomWith({{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), true},
                            {QStringLiteral("carol"), QStringLiteral("10.8.0.3"), false},
                            {QStringLiteral("dave - x"), QStringLiteral("10.8.0.4"), false},
                            {QStringLiteral("👑eve"), QStringLiteral("10.8.0.5"), false}}));
        QListWidget* peers = P::peerList(*h.client);
        const qsizetype before = h.settledCount();
        QVERIFY(!rightClickMenu(peers, 0).seen); // the crowned entry
        QVERIFY(!rightClickMenu(peers, -1).seen);
        const MenuSeen dismissed = rightClickMenu(peers, 1);
        QCOMPARE(dismissed.actions, QStringList({QStringLiteral("Kick Entity"), QStringLiteral("Transfer Host")}));
        QCOMPARE(h.settledCount(), before);

        const struct {
            int row;
            QString action;
            QString cmd;
            QString target;
        } picks[] = {
            {1, QStringLiteral("Kick Entity"), QStringLiteral("kick_player"), QStringLiteral("carol")},
            {1, QStringLiteral("Transfer Host"), QStringLiteral("transfer_host"), QStringLiteral("carol")},
            {2, QStringLiteral("Kick Entity"), QStringLiteral("kick_player"), QStringLiteral("dave - x")},
            {3, QStringLiteral("Transfer Host"), QStringLiteral("transfer_host"), QStringLiteral("👑eve")},
        };
        for (const auto& pick : picks) {
            const qsizetype sent = h.settledCount();
            QVERIFY(rightClickMenu(peers, pick.row, pick.action).seen);
            QTRY_COMPARE(h.lobby->received.size(), sent + 1);
            QCOMPARE(h.lobby->received.last().value(QStringLiteral("cmd")).toString(), pick.cmd);
            QCOMPARE(h.lobby->received.last().value(QStringLiteral("target")).toString(), pick.target);
        }
        // Nothing changes locally until the server says so.
        QCOMPARE(peers->count(), 4);
        QVERIFY(P::isHost(*h.client));
    }
};

ROOMS_TEST_MAIN(TestMenus)
#include "test_menus.moc"
