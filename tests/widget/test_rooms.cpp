// Rooms against the fake lobby: joining (with and without an access key), the
// room page that join_ok and room_update put up, kicks, leaving, refreshes
// and the copy-host-IP button.
#include "net/hostconfig.h"
#include "tests/widget/test_rooms_support.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTabBar>
#include <QTextEdit>

class TestRooms : public RoomTest
{
    Q_OBJECT

    bool inRoom() { return h.loggedIn(QStringLiteral("Alice")) && h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")); }

private slots:
    void joinSendsRoomNameAndKey_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<std::optional<QString>>("key"); // answer to the prompt; none: cancelled
        QTest::addColumn<QString>("sentName");           // empty: nothing sent
        QTest::newRow("open") << QStringLiteral("Bravo") << false << std::optional<QString>() << QStringLiteral("Bravo");
        QTest::newRow("locked") << QStringLiteral("A [Locked]") << false << std::optional<QString>(QStringLiteral(" k 1 ")) << QStringLiteral("A");
        QTest::newRow("double click") << QStringLiteral("A 🔒") << true << std::optional<QString>(QString()) << QStringLiteral("A");
        QTest::newRow("cancelled") << QStringLiteral("A [Private]") << false << std::optional<QString>() << QString();
    }

    void joinSendsRoomNameAndKey()
    {
        QFETCH(QString, entry);
        QFETCH(bool, doubleClick);
        QFETCH(std::optional<QString>, key);
        QFETCH(QString, sentName);
        QVERIFY(h.loggedIn(QStringLiteral("Alice")) && h.roomsListed({QStringLiteral("Zulu"), entry}));
        QListWidget* list = P::roomList(*h.client);
        P::joinRoomButton(*h.client)->click(); // nothing selected: nothing sent
        const qsizetype before = h.settledCount();
        PromptSeen prompt;
        answerNextKeyPrompt(&prompt, key);
        const QPoint at = list->visualItemRect(list->item(1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        doubleClick ? QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at) : P::joinRoomButton(*h.client)->click();
        QCOMPARE(prompt.seen, sentName != entry);
        if (sentName.isEmpty()) {
            QCOMPARE(h.settledCount(), before);
            return;
        }
        const QJsonObject join = h.lobby->waitForCommand(QStringLiteral("join_room"));
        QCOMPARE(join, control::message(QStringLiteral("join_room"), {{QStringLiteral("room_name"), sentName},
                                                                       {QStringLiteral("password"), key.value_or(QString())}}));
        if (prompt.seen)
            QCOMPARE(prompt.title + prompt.label, QStringLiteral("Restricted RoomProvide access key for deployment:"));
        QVERIFY(prompt.masked || !prompt.seen);
        QCOMPARE(P::mainTabs(*h.client)->count(), 1); // nothing changes until the server answers
    }

    void passwordRequiredAsksAgain()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        const QString room = QStringLiteral("<b>Alpha</b>"); // another player's text: shown literally
        for (const std::optional<QString>& key : {std::optional<QString>(QStringLiteral("  secret ")), std::optional<QString>()}) {
            const qsizetype before = h.settledCount();
            PromptSeen prompt;
            answerNextKeyPrompt(&prompt, key);
            h.lobby->send(control::message(QStringLiteral("password_required"), {{QStringLiteral("room_name"), room}}));
            QTRY_VERIFY(prompt.seen);
            QCOMPARE(prompt.title + prompt.label, QStringLiteral("Restricted SectorProvide access key for <b>Alpha</b>:"));
            QVERIFY(prompt.masked && prompt.plainLabel);
            QCOMPARE(h.settledCount(), before + (key ? 1 : 0));
            if (key)
                QCOMPARE(h.lobby->last(QStringLiteral("join_room")).value(QStringLiteral("password")).toString(), *key);
        }
    }

    void joinOkPutsUpTheRoom()
    {
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        P::roomChatView(*h.client)->setPlainText(QStringLiteral("old room's talk"));
        QTabWidget* tabs = P::mainTabs(*h.client);
        const std::pair<QString, QString> rooms[] = {{QStringLiteral("Alpha"), QStringLiteral("Sector: Alpha")},
                                                     {QStringLiteral("R&D"), QStringLiteral("Sector: R&&D")}};
        for (const auto& [room, title] : rooms) {
            tabs->setCurrentIndex(0);
            QVERIFY(h.joined(room, QStringLiteral("10.8.0.5")));
            QCOMPARE(tabs->count(), 2); // a join while in a room reuses the tab
            QCOMPARE(tabs->tabText(1), title);
            QCOMPARE(P::localIpLabel(*h.client)->text(), QStringLiteral("Local IP: 10.8.0.5"));
            QVERIFY(P::roomChatView(*h.client)->toPlainText().isEmpty());
            QVERIFY(!P::layer2Button(*h.client)->isEnabled() && !P::layer3Button(*h.client)->isEnabled());
        }
    }

    void joinOkStartsAndReaddressesTheAdapter()
    {
        ROOMS_REQUIRE_ADAPTER();
        QVERIFY(h.loggedIn(QStringLiteral("Alice")));
        for (const QString& vip : {QStringLiteral("10.8.0.5"), QStringLiteral("10.8.1.7")}) {
            QVERIFY(h.joined(QStringLiteral("Alpha"), vip, true));
            QTRY_COMPARE(interfaceAddress(hostconfig::kLayer3AdapterName), vip);
        }
        P::disconnectButton(*h.client)->click();
        QVERIFY(interfaceAddress(hostconfig::kLayer3AdapterName).isEmpty());
    }

    void roomUpdateListsMembersAndHost()
    {
        QVERIFY(inRoom());
        QVERIFY(h.peersListed({{QStringLiteral("bob"), QStringLiteral("10.8.0.1"), true},
                               {QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), false},
                               {QStringLiteral("alice"), QStringLiteral("10.8.0.3"), true}}));
        QListWidget* peers = P::peerList(*h.client);
        QCOMPARE(peers->item(0)->text(), QStringLiteral("bob 👑 - 10.8.0.1"));
        QCOMPARE(peers->item(1)->text(), QStringLiteral("Alice - 10.8.0.2"));
        // The last crowned member's address wins; "alice" is not us.
        QCOMPARE(P::hostVirtualIp(*h.client), QStringLiteral("10.8.0.3"));
        QVERIFY(!P::isHost(*h.client));
        QCOMPARE(P::copyIpButton(*h.client)->text(), QStringLiteral("COPY GAME HOST IP"));

        QVERIFY(h.peersListed({{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), true}}));
        QVERIFY(P::isHost(*h.client));
        QCOMPARE(P::copyIpButton(*h.client)->text(), QStringLiteral("COPY MY HOST IP"));

        // Junk members, none flagged host, and no own name: the host state stays.
        h.lobby->sendRaw("{\"cmd\":\"room_update\",\"peers\":[{\"username\":\"carol\",\"vip\":\"10.8.0.4\"},7]}\n");
        QTRY_COMPARE(peers->item(0)->text(), QStringLiteral("carol - 10.8.0.4"));
        QCOMPARE(peers->item(1)->text(), QStringLiteral(" - "));
        QVERIFY(P::isHost(*h.client));
        QCOMPARE(P::hostVirtualIp(*h.client), QStringLiteral("10.8.0.2"));
        h.lobby->sendRaw("{\"cmd\":\"room_update\"}\n");
        QTRY_COMPARE(peers->count(), 0);
    }

    void kickLeavesOnlyAfterTheNoticeCloses()
    {
        QVERIFY(inRoom());
        const int refreshes = h.lobby->count(QStringLiteral("get_rooms"));
        QString seenWithNotice;
        testenv::whenModal([&](QWidget* widget) {
            QTest::qWait(150); // lets anything sent (wrongly) meanwhile arrive
            const auto* box = qobject_cast<QMessageBox*>(widget);
            seenWithNotice = box->windowTitle() + QLatin1Char('|') + box->text() + QLatin1Char('|') +
                             QString::number(P::mainTabs(*h.client)->count()) + QString::number(h.lobby->count(QStringLiteral("leave_room"))) +
                             QString::number(P::wintunRunning(*h.client));
            qobject_cast<QDialog*>(widget)->accept();
        });
        h.lobby->send(control::message(QStringLiteral("kicked"), {{QStringLiteral("message"), QStringLiteral("<b>out</b>")}}));
        QTRY_COMPARE(seenWithNotice, QStringLiteral("Connection Terminated|<b>out</b>|201"));
        QTRY_COMPARE(h.lobby->count(QStringLiteral("leave_room")), 1);
        QCOMPARE(P::mainTabs(*h.client)->count(), 1);
        QVERIFY(!P::wintunRunning(*h.client));
        QTRY_COMPARE(h.lobby->count(QStringLiteral("get_rooms")), refreshes + 1);
    }

    void disconnectAndClosingTheRoomTabLeaveAlike()
    {
        QVERIFY(inRoom());
        QVERIFY(h.peersListed({{QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), true}}));
        QTabWidget* tabs = P::mainTabs(*h.client);
        // The lobby tab never closes.
        QCOMPARE(tabs->tabBar()->tabButton(0, QTabBar::RightSide), nullptr);
        emit tabs->tabCloseRequested(0);
        QCOMPARE(tabs->count(), 2);

        for (int round = 0; round < 2; ++round) {
            const int refreshes = h.lobby->count(QStringLiteral("get_rooms"));
            h.lobby->rawLines.clear();
            if (round == 0)
                P::disconnectButton(*h.client)->click();
            else
                qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(1, QTabBar::RightSide))->click();
            QTRY_COMPARE(h.lobby->rawLines.size(), 2);
            QCOMPARE(h.lobby->rawLines.at(0), QByteArray("{\"cmd\":\"leave_room\"}\n"));
            QCOMPARE(h.lobby->count(QStringLiteral("get_rooms")), refreshes + 1);
            QCOMPARE(tabs->count(), 1);
            QCOMPARE(tabs->currentWidget(), P::lobbyPage(*h.client));
            QVERIFY(P::layer2Button(*h.client)->isEnabled() && P::layer3Button(*h.client)->isEnabled());
            QVERIFY(!P::wintunRunning(*h.client));
            QCOMPARE(P::peerList(*h.client)->count(), 1); // room state stays until the next join
            QVERIFY(h.joined(QStringLiteral("Alpha"), QStringLiteral("10.8.0.2")));
        }
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
        QMetaObject::invokeMethod(h.client.get(), "refreshRooms");
        QVERIFY(h.lobby->waitForClient(5000));
        QTest::qWait(150);
        QCOMPARE(h.lobby->count(QStringLiteral("get_rooms")), before + 1);
    }

    void copyHostIpConfirmsThenRestores()
    {
        QVERIFY(inRoom());
        QPushButton* button = P::copyIpButton(*h.client);
        const QString normalSheet = button->styleSheet();
        for (const bool host : {false, true}) {
            QVERIFY(h.peersListed({{QStringLiteral("bob"), QStringLiteral("10.8.0.1"), !host},
                                   {QStringLiteral("Alice"), QStringLiteral("10.8.0.2"), host}}));
            button->click();
            QCOMPARE(QApplication::clipboard()->text(), host ? QStringLiteral("10.8.0.2") : QStringLiteral("10.8.0.1"));
            QCOMPARE(button->text(), QStringLiteral("✔ COPIED TO CLIPBOARD"));
            QVERIFY(button->styleSheet() != normalSheet);
            QTest::qWait(1700);
            QCOMPARE(button->text(), QStringLiteral("✔ COPIED TO CLIPBOARD"));
            QTRY_COMPARE_WITH_TIMEOUT(button->text(), host ? QStringLiteral("COPY HOST IP") : QStringLiteral("COPY GAME HOST IP"), 1000);
            QCOMPARE(button->styleSheet(), normalSheet);
        }
    }
};

ROOMS_TEST_MAIN(TestRooms)
#include "test_rooms.moc"
