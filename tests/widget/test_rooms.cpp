// Rooms against a fake lobby: joining (with and without an access key),
// the room page that join_ok and room_update put up, kicks, leaving, and the
// copy-host-IP button.
#include "net/hostconfig.h"
#include "tests/widget/test_rooms_support.h"
#include "ui/theme.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTcpSocket>
#include <QTextEdit>
#include <QTimer>

class TestRooms : public RoomTest
{
    Q_OBJECT

    // The client in a room "Alpha" at 10.8.0.2, logged in as Alice.
    bool inRoom()
    {
        return h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2"));
    }

private slots:
    void joinSendsRoomNameAndKey_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("prompted");
        QTest::addColumn<QString>("sentName");
        // Detection ignores letter case; removal takes only the exact marker
        // with its leading space.
        QTest::newRow("lock") << QStringLiteral("Alpha 🔒") << true << QStringLiteral("Alpha");
        QTest::newRow("Locked") << QStringLiteral("Alpha [Locked]") << true << QStringLiteral("Alpha");
        QTest::newRow("locked") << QStringLiteral("Alpha [locked]") << true << QStringLiteral("Alpha [locked]");
        QTest::newRow("Private") << QStringLiteral("Alpha [Private]") << true << QStringLiteral("Alpha");
        QTest::newRow("no space") << QStringLiteral("Alpha[Private]") << true << QStringLiteral("Alpha[Private]");
        QTest::newRow("open") << QStringLiteral("Bravo") << false << QStringLiteral("Bravo");
    }

    void joinSendsRoomNameAndKey()
    {
        QFETCH(QString, entry);
        QFETCH(bool, prompted);
        QFETCH(QString, sentName);
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.roomsListed({QStringLiteral("Zulu"), entry}));
        P::roomList(*h.client)->setCurrentRow(1);

        PromptSeen prompt;
        if (prompted)
            answerNextKeyPrompt(&prompt, QStringLiteral(" k 1 "));
        P::joinRoomButton(*h.client)->click();
        const QJsonObject join = h.lobby->waitForCommand(QStringLiteral("join_room"));
        QCOMPARE(prompt.seen, prompted);
        QCOMPARE(join.value(QStringLiteral("room_name")).toString(), sentName);
        QVERIFY(join.value(QStringLiteral("password")).isString());
        QCOMPARE(join.value(QStringLiteral("password")).toString(), prompted ? QStringLiteral(" k 1 ") : QString());
        if (prompted) {
            QCOMPARE(prompt.title, QStringLiteral("Restricted Room"));
            QCOMPARE(prompt.label, QStringLiteral("Provide access key for deployment:"));
            QVERIFY(prompt.masked);
        }
        // Nothing changes locally until the server answers.
        QCOMPARE(P::mainTabs(*h.client)->count(), 1);
    }

    void doubleClickJoinsWithEmptyKey()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.roomsListed({QStringLiteral("Alpha 🔒")}));
        QListWidget* list = P::roomList(*h.client);
        PromptSeen prompt;
        answerNextKeyPrompt(&prompt, QString());
        // A platform double click: press and release, then the double click.
        const QPoint at = list->visualItemRect(list->item(0)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        const QJsonObject join = h.lobby->waitForCommand(QStringLiteral("join_room"));
        QVERIFY(prompt.seen);
        QCOMPARE(join.value(QStringLiteral("room_name")).toString(), QStringLiteral("Alpha"));
        QCOMPARE(join.value(QStringLiteral("password")).toString(), QString());
    }

    void cancelledOrMissingChoiceSendsNothing()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(h.roomsListed({QStringLiteral("Alpha [Locked]")}));
        const qsizetype before = h.settledCount();

        P::joinRoomButton(*h.client)->click(); // nothing selected
        PromptSeen prompt;
        answerNextKeyPrompt(&prompt, std::nullopt);
        P::roomList(*h.client)->setCurrentRow(0);
        P::joinRoomButton(*h.client)->click();
        QVERIFY(prompt.seen);
        QCOMPARE(h.settledCount(), before);
    }

    void passwordRequiredAsksAgain()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        // The room name is another player's text: it shows literally.
        const QString room = QStringLiteral("<b>Alpha</b>");
        PromptSeen prompt;
        answerNextKeyPrompt(&prompt, QStringLiteral("  secret "));
        h.lobby->send(control::message(QStringLiteral("password_required"), {{QStringLiteral("room_name"), room}}));
        const QJsonObject join = h.lobby->waitForCommand(QStringLiteral("join_room"));
        QCOMPARE(prompt.title, QStringLiteral("Restricted Sector"));
        QCOMPARE(prompt.label, QStringLiteral("Provide access key for <b>Alpha</b>:"));
        QVERIFY(prompt.masked);
        QVERIFY(prompt.plainLabel);
        QCOMPARE(join.value(QStringLiteral("room_name")).toString(), room);
        QCOMPARE(join.value(QStringLiteral("password")).toString(), QStringLiteral("  secret "));

        // Cancelled: the server is not told.
        const qsizetype before = h.settledCount();
        PromptSeen again;
        answerNextKeyPrompt(&again, std::nullopt);
        h.lobby->send(control::message(QStringLiteral("password_required"), {{QStringLiteral("room_name"), room}}));
        QTRY_VERIFY(again.seen);
        QCOMPARE(h.settledCount(), before);
    }

    void joinOkPutsUpTheRoom()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        P::roomChatView(*h.client)->setPlainText(QStringLiteral("old room's talk"));
        QVERIFY(h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.5")));
        QTabWidget* tabs = P::mainTabs(*h.client);
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(1), QStringLiteral("Sector: Alpha"));
        QCOMPARE(P::localIpLabel(*h.client)->text(), QStringLiteral("Local IP: 10.8.0.5"));
        QCOMPARE(P::myVirtualIp(*h.client), QStringLiteral("10.8.0.5"));
        QVERIFY(P::roomChatView(*h.client)->toPlainText().isEmpty());
        QVERIFY(!P::layer2Button(*h.client)->isEnabled());
        QVERIFY(!P::layer3Button(*h.client)->isEnabled());
        // The adapter of the current mode (layer 3 at start) carries the address.
        QTRY_COMPARE(roomtest::interfaceAddress(hostconfig::kLayer3AdapterName), QStringLiteral("10.8.0.5"));

        // A join while in a room reuses the one tab and names the new room;
        // "&" shows as itself rather than as a shortcut marker.
        tabs->setCurrentIndex(0);
        QVERIFY(h.joined(QStringLiteral("R&D"), QStringLiteral("10.8.1.7")));
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(1), QStringLiteral("Sector: R&&D"));
        QCOMPARE(P::localIpLabel(*h.client)->text(), QStringLiteral("Local IP: 10.8.1.7"));
        // The running adapter is restarted with the new address, not left on the old one.
        QTRY_COMPARE(roomtest::interfaceAddress(hostconfig::kLayer3AdapterName), QStringLiteral("10.8.1.7"));
    }

    void roomUpdateListsMembersAndHost()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(inRoom());
        QVERIFY(h.peersListed({{QStringLiteral("bob"), QStringLiteral("10.8.0.1"), true},
                               {QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), false},
                               {QStringLiteral("alice"), QStringLiteral("10.8.0.3"), true}}));
        QListWidget* peers = P::peerList(*h.client);
        QCOMPARE(peers->item(0)->text(), QStringLiteral("bob 👑 - 10.8.0.1"));
        QCOMPARE(peers->item(1)->text(), QStringLiteral("Alice - 10.8.0.2"));
        QCOMPARE(peers->item(2)->text(), QStringLiteral("alice 👑 - 10.8.0.3"));
        // The last crowned member's address wins; "alice" is not us.
        QCOMPARE(P::hostVirtualIp(*h.client), QStringLiteral("10.8.0.3"));
        QVERIFY(!P::isHost(*h.client));
        QCOMPARE(P::copyIpButton(*h.client)->text(), QStringLiteral("COPY GAME HOST IP"));

        QVERIFY(h.peersListed({{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), true},
                               {QStringLiteral("bob"), QStringLiteral("10.8.0.1"), false}}));
        QVERIFY(P::isHost(*h.client));
        QCOMPARE(P::hostVirtualIp(*h.client), QStringLiteral("10.8.0.2"));
        QCOMPARE(P::copyIpButton(*h.client)->text(), QStringLiteral("COPY MY HOST IP"));

        // A member without is_host, junk members, and an update without our
        // own name: isHost and the host address stay as they were.
        h.lobby->sendRaw("{\"cmd\":\"room_update\",\"peers\":[{\"username\":\"carol\",\"vip\":\"10.8.0.4\"},7]}\n");
        QTRY_COMPARE(peers->item(0)->text(), QStringLiteral("carol - 10.8.0.4"));
        QCOMPARE(peers->count(), 2);
        QCOMPARE(peers->item(1)->text(), QStringLiteral(" - "));
        QVERIFY(P::isHost(*h.client));
        QCOMPARE(P::hostVirtualIp(*h.client), QStringLiteral("10.8.0.2"));

        h.lobby->sendRaw("{\"cmd\":\"room_update\"}\n");
        QTRY_COMPARE(peers->count(), 0);
        QVERIFY(P::isHost(*h.client));
    }

    void kickLeavesOnlyAfterTheNoticeCloses()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(inRoom());
        const int leavesBefore = h.lobby->count(QStringLiteral("leave_room"));
        const int refreshesBefore = h.lobby->count(QStringLiteral("get_rooms"));
        bool roomShownWithNotice = false;
        int leavesWithNotice = -1;
        QString adapterWithNotice;
        QString title;
        QString text;
        testenv::whenModal([&](QWidget* widget) {
            // Let anything the client might (wrongly) send meanwhile arrive.
            QTest::qWait(150);
            roomShownWithNotice = P::mainTabs(*h.client)->indexOf(P::roomPage(*h.client)) >= 0;
            leavesWithNotice = h.lobby->count(QStringLiteral("leave_room"));
            adapterWithNotice = roomtest::interfaceAddress(hostconfig::kLayer3AdapterName);
            if (auto* box = qobject_cast<QMessageBox*>(widget)) {
                title = box->windowTitle();
                text = box->text();
            }
            qobject_cast<QDialog*>(widget)->accept();
        });
        h.lobby->send(control::message(QStringLiteral("kicked"), {{QStringLiteral("message"), QStringLiteral("<b>out</b>")}}));
        QTRY_COMPARE(title, QStringLiteral("Connection Terminated"));
        QCOMPARE(text, QStringLiteral("<b>out</b>"));
        QVERIFY(roomShownWithNotice);
        QCOMPARE(leavesWithNotice, leavesBefore);
        QCOMPARE(adapterWithNotice, QStringLiteral("10.8.0.2"));

        QTRY_COMPARE(h.lobby->count(QStringLiteral("leave_room")), leavesBefore + 1);
        QCOMPARE(P::mainTabs(*h.client)->indexOf(P::roomPage(*h.client)), -1);
        QCOMPARE(P::mainTabs(*h.client)->currentWidget(), P::lobbyPage(*h.client));
        QVERIFY(roomtest::interfaceAddress(hostconfig::kLayer3AdapterName).isEmpty());
        QTRY_COMPARE(h.lobby->count(QStringLiteral("get_rooms")), refreshesBefore + 1);
    }

    void disconnectAndClosingTheRoomTabLeaveAlike()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(inRoom());
        QVERIFY(h.peersListed({{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), true}}));
        h.lobby->send(control::message(QStringLiteral("chat"), {{QStringLiteral("sender"), QStringLiteral("bob")},
                                                                {QStringLiteral("message"), QStringLiteral("hi")}}));
        QTRY_VERIFY(!P::roomChatView(*h.client)->toPlainText().isEmpty());

        for (int round = 0; round < 2; ++round) {
            const int refreshes = h.lobby->count(QStringLiteral("get_rooms"));
            h.lobby->rawLines.clear();
            QTabWidget* tabs = P::mainTabs(*h.client);
            if (round == 0)
                P::disconnectButton(*h.client)->click();
            else
                qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(1, QTabBar::RightSide))->click();
            QTRY_COMPARE(h.lobby->rawLines.size(), 2);
            QCOMPARE(h.lobby->rawLines.at(0), QByteArray("{\"cmd\":\"leave_room\"}\n"));
            QCOMPARE(h.lobby->count(QStringLiteral("get_rooms")), refreshes + 1);
            QCOMPARE(tabs->count(), 1);
            QCOMPARE(tabs->currentWidget(), P::lobbyPage(*h.client));
            QVERIFY(P::layer2Button(*h.client)->isEnabled());
            QVERIFY(P::layer3Button(*h.client)->isEnabled());
            QVERIFY(roomtest::interfaceAddress(hostconfig::kLayer3AdapterName).isEmpty());
            // Room state stays until the next join replaces it.
            QVERIFY(P::isHost(*h.client));
            QCOMPARE(P::peerList(*h.client)->count(), 1);
            if (round == 0) {
                QVERIFY(!P::roomChatView(*h.client)->toPlainText().isEmpty());
                QVERIFY(h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
            }
        }
    }

    void lobbyTabNeverCloses()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(inRoom());
        QTabWidget* tabs = P::mainTabs(*h.client);
        QCOMPARE(tabs->tabBar()->tabButton(0, QTabBar::RightSide), nullptr);
        const qsizetype before = h.settledCount();
        emit tabs->tabCloseRequested(0);
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->widget(0), P::lobbyPage(*h.client));
        QCOMPARE(h.settledCount(), before);
    }

    void refreshOnlyWhileConnectedAndLoggedIn()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        QVERIFY(P::refreshTimer(*h.client)->isActive());
        QCOMPARE(P::refreshTimer(*h.client)->interval(), 5000);
        const int before = h.lobby->count(QStringLiteral("get_rooms"));
        QMetaObject::invokeMethod(h.client.get(), "refreshRooms");
        QTRY_COMPARE(h.lobby->count(QStringLiteral("get_rooms")), before + 1);

        h.lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*h.client)->state() == QAbstractSocket::UnconnectedState);
        QVERIFY(!P::clientId(*h.client).isEmpty());
        QMetaObject::invokeMethod(h.client.get(), "refreshRooms");
        QVERIFY(h.lobby->waitForClient(5000));
        QTest::qWait(150);
        QCOMPARE(h.lobby->count(QStringLiteral("get_rooms")), before + 1);
    }

    void copyHostIpConfirmsThenRestores()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(inRoom());
        QPushButton* button = P::copyIpButton(*h.client);
        QVERIFY(h.peersListed({{QStringLiteral("bob"), QStringLiteral("10.8.0.1"), true},
                               {QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), false}}));
        button->click();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("10.8.0.1"));
        QCOMPARE(button->text(), QStringLiteral("✔ COPIED TO CLIPBOARD"));
        QCOMPARE(button->styleSheet(), theme::copiedButtonSheet());
        QTest::qWait(1700);
        QCOMPARE(button->text(), QStringLiteral("✔ COPIED TO CLIPBOARD"));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("COPY GAME HOST IP"), 1000);
        QCOMPARE(button->styleSheet(), theme::secondaryButtonSheet());

        // As host, the own address is copied.
        QVERIFY(h.peersListed({{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), true}}));
        button->click();
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("10.8.0.2"));
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("COPY HOST IP"), 2500);
    }
};

ROOMS_TEST_MAIN(TestRooms)
#include "test_rooms.moc"
