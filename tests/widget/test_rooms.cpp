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

    bool inRoom() { return h.loggedIn(u"Alice"_s) && h.joined(u"Alpha"_s, u"10.8.0.2"_s); }

private slots:
    void joinSendsRoomNameAndKey_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<std::optional<QString>>("key"); // answer to the prompt; none: cancelled
        QTest::addColumn<QString>("sentName");           // empty: nothing sent
        QTest::newRow("open") << u"Bravo"_s << false << std::optional<QString>() << u"Bravo"_s;
        QTest::newRow("locked") << u"A [Locked]"_s << false << std::optional<QString>(u" k 1 "_s) << u"A"_s;
        QTest::newRow("double click") << u"A 🔒"_s << true << std::optional<QString>(QString()) << u"A"_s;
        QTest::newRow("cancelled") << u"A [Private]"_s << false << std::optional<QString>() << QString();
    }

    void joinSendsRoomNameAndKey()
    {
        QFETCH(QString, entry);
        QFETCH(bool, doubleClick);
        QFETCH(std::optional<QString>, key);
        QFETCH(QString, sentName);
        QVERIFY(h.loggedIn(u"Alice"_s) && h.roomsListed({u"Zulu"_s, entry}));
        QListWidget* list = P::roomList(*h.client);
        P::joinRoomButton(*h.client)->click(); // nothing selected: nothing sent
        const qsizetype before = h.settledCount();
        QString prompt;
        answerNextKeyPrompt(&prompt, key);
        const QPoint at = list->visualItemRect(list->item(1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        doubleClick ? QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at)
                    : P::joinRoomButton(*h.client)->click();
        QCOMPARE(prompt, sentName == entry
                             ? QString()
                             : u"Restricted Room|Provide access key for deployment:|masked|plain"_s);
        QCOMPARE(h.settledCount(), before + !sentName.isEmpty());
        if (!sentName.isEmpty())
            QCOMPARE(h.lobby->received.last(),
                     control::message(u"join_room"_s, {{u"room_name"_s, sentName},
                                                       {u"password"_s, key.value_or(QString())}}));
        QCOMPARE(P::mainTabs(*h.client)->count(), 1); // nothing changes until the server answers
    }

    void passwordRequiredAsksAgain()
    {
        QVERIFY(h.loggedIn(u"Alice"_s));
        for (const std::optional<QString>& key :
             {std::optional<QString>(u"  secret "_s), std::optional<QString>()}) {
            const qsizetype before = h.settledCount();
            QString prompt;
            answerNextKeyPrompt(&prompt, key);
            // The room name is another player's text: shown literally.
            h.lobby->send(control::message(u"password_required"_s, {{u"room_name"_s, u"<b>A</b>"_s}}));
            QTRY_COMPARE(prompt, u"Restricted Sector|Provide access key for <b>A</b>:|masked|plain"_s);
            QCOMPARE(h.settledCount(), before + (key ? 1 : 0));
            if (key)
                QCOMPARE(h.lobby->received.last(),
                         control::message(u"join_room"_s,
                                          {{u"room_name"_s, u"<b>A</b>"_s}, {u"password"_s, *key}}));
        }
    }

    void joinOkPutsUpTheRoom()
    {
        QVERIFY(h.loggedIn(u"Alice"_s));
        P::roomChatView(*h.client)->setPlainText(u"old room's talk"_s);
        QTabWidget* tabs = P::mainTabs(*h.client);
        const std::pair<QString, QString> rooms[] = {{u"Alpha"_s, u"Sector: Alpha"_s},
                                                     {u"R&D"_s, u"Sector: R&&D"_s}};
        for (const auto& [room, title] : rooms) {
            tabs->setCurrentIndex(0);
            QVERIFY(h.joined(room, u"10.8.0.5"_s));
            QCOMPARE(tabs->count(), 2); // a join while in a room reuses the tab
            QCOMPARE(tabs->tabText(1), title);
            QCOMPARE(P::localIpLabel(*h.client)->text(), u"Local IP: 10.8.0.5"_s);
            QVERIFY(P::roomChatView(*h.client)->toPlainText().isEmpty());
            QVERIFY(!P::layer2Button(*h.client)->isEnabled() && !P::layer3Button(*h.client)->isEnabled());
        }
    }

    void joinOkStartsAndReaddressesTheAdapter()
    {
        if (!adapterUnavailable.isEmpty())
            QSKIP(qPrintable(adapterUnavailable));
        QVERIFY(h.loggedIn(u"Alice"_s));
        for (const QString& vip : {u"10.8.0.5"_s, u"10.8.1.7"_s}) {
            QVERIFY(h.joined(u"Alpha"_s, vip, true));
            QTRY_COMPARE(interfaceAddress(hostconfig::kLayer3AdapterName), vip);
        }
        P::disconnectButton(*h.client)->click();
        QVERIFY(interfaceAddress(hostconfig::kLayer3AdapterName).isEmpty());
    }

    void roomUpdateListsMembersAndHost()
    {
        QVERIFY(inRoom());
        QVERIFY(h.peersListed({{u"bob"_s, u"10.8.0.1"_s, true},
                               {u"Alice"_s, u"10.8.0.2"_s, false},
                               {u"alice"_s, u"10.8.0.3"_s, true}}));
        QListWidget* peers = P::peerList(*h.client);
        QCOMPARE(peers->item(0)->text(), u"bob 👑 - 10.8.0.1"_s);
        QCOMPARE(peers->item(1)->text(), u"Alice - 10.8.0.2"_s);
        // The last crowned member's address wins; "alice" is not us.
        QCOMPARE(P::hostVirtualIp(*h.client), u"10.8.0.3"_s);
        QVERIFY(!P::isHost(*h.client));
        QCOMPARE(P::copyIpButton(*h.client)->text(), u"COPY GAME HOST IP"_s);

        QVERIFY(h.peersListed({{u"Alice"_s, u"10.8.0.2"_s, true}}));
        QVERIFY(P::isHost(*h.client));
        QCOMPARE(P::copyIpButton(*h.client)->text(), u"COPY MY HOST IP"_s);

        // Junk members, none flagged host, and no own name: the host state stays.
        h.lobby->sendRaw(
            "{\"cmd\":\"room_update\",\"peers\":[{\"username\":\"carol\",\"vip\":\"10.8.0.4\"},7]}\n");
        QTRY_COMPARE(peers->item(0)->text(), u"carol - 10.8.0.4"_s);
        QCOMPARE(peers->item(1)->text(), u" - "_s);
        QVERIFY(P::isHost(*h.client));
        QCOMPARE(P::hostVirtualIp(*h.client), u"10.8.0.2"_s);
        h.lobby->sendRaw("{\"cmd\":\"room_update\"}\n");
        QTRY_COMPARE(peers->count(), 0);
    }

    // Disconnect, closing the room tab and a kick (once its notice closes) leave alike.
    void everyWayOutLeavesTheRoom()
    {
        QVERIFY(inRoom());
        QVERIFY(h.peersListed({{u"Alice"_s, u"10.8.0.2"_s, true}}));
        QTabWidget* tabs = P::mainTabs(*h.client);
        QCOMPARE(tabs->tabBar()->tabButton(0, QTabBar::RightSide), nullptr); // the lobby tab never closes
        emit tabs->tabCloseRequested(0);
        QCOMPARE(tabs->count(), 2);

        for (int way = 0; way < 3; ++way) {
            const int refreshes = h.lobby->count(u"get_rooms"_s);
            h.lobby->rawLines.clear();
            QString withNotice;
            if (way == 0) {
                P::disconnectButton(*h.client)->click();
            } else if (way == 1) {
                qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(1, QTabBar::RightSide))->click();
            } else {
                testenv::whenModal([&](QWidget* widget) {
                    QTest::qWait(150); // lets anything sent (wrongly) meanwhile arrive
                    const auto* box = qobject_cast<QMessageBox*>(widget);
                    withNotice = box->windowTitle() + u'|' + box->text() + u'|' +
                                 QString::number(tabs->count()) + QString::number(h.lobby->rawLines.size()) +
                                 QString::number(P::wintunRunning(*h.client));
                    qobject_cast<QDialog*>(widget)->accept();
                });
                h.lobby->send(control::message(u"kicked"_s, {{u"message"_s, u"<b>out</b>"_s}}));
                QTRY_COMPARE(withNotice, u"Connection Terminated|<b>out</b>|201"_s); // tabs, lines, adapter
            }
            QTRY_COMPARE(h.lobby->rawLines.size(), 2);
            QCOMPARE(h.lobby->rawLines.at(0), QByteArray("{\"cmd\":\"leave_room\"}\n"));
            QCOMPARE(h.lobby->count(u"get_rooms"_s), refreshes + 1);
            QCOMPARE(tabs->count(), 1);
            QCOMPARE(tabs->currentWidget(), P::lobbyPage(*h.client));
            QVERIFY(P::layer2Button(*h.client)->isEnabled() && P::layer3Button(*h.client)->isEnabled());
            QVERIFY(!P::wintunRunning(*h.client));
            QCOMPARE(P::peerList(*h.client)->count(), 1); // room state stays until the next join
            QVERIFY(h.joined(u"Alpha"_s, u"10.8.0.2"_s));
        }
    }

    void refreshOnlyWhileConnectedAndLoggedIn()
    {
        QVERIFY(h.loggedIn(u"Alice"_s));
        QVERIFY(P::refreshTimer(*h.client)->isActive());
        QCOMPARE(P::refreshTimer(*h.client)->interval(), 5000);
        const int before = h.lobby->count(u"get_rooms"_s);
        QMetaObject::invokeMethod(h.client.get(), "refreshRooms");
        QTRY_COMPARE(h.lobby->count(u"get_rooms"_s), before + 1);

        h.lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*h.client)->state() == QAbstractSocket::UnconnectedState);
        QMetaObject::invokeMethod(h.client.get(), "refreshRooms");
        QVERIFY(h.lobby->waitForClient(5000));
        QTest::qWait(150);
        QCOMPARE(h.lobby->count(u"get_rooms"_s), before + 1);
    }

    void copyHostIpConfirmsThenRestores()
    {
        QVERIFY(inRoom());
        QPushButton* button = P::copyIpButton(*h.client);
        const QString normalSheet = button->styleSheet();
        for (const bool host : {false, true}) {
            QVERIFY(h.peersListed({{u"bob"_s, u"10.8.0.1"_s, !host}, {u"Alice"_s, u"10.8.0.2"_s, host}}));
            button->click();
            QCOMPARE(QApplication::clipboard()->text(), host ? u"10.8.0.2"_s : u"10.8.0.1"_s);
            QCOMPARE(button->text(), u"✔ COPIED TO CLIPBOARD"_s);
            QVERIFY(button->styleSheet() != normalSheet);
            QTest::qWait(1700);
            QCOMPARE(button->text(), u"✔ COPIED TO CLIPBOARD"_s);
            QTRY_COMPARE_WITH_TIMEOUT(button->text(), host ? u"COPY HOST IP"_s : u"COPY GAME HOST IP"_s,
                                      1000);
            QCOMPARE(button->styleSheet(), normalSheet);
        }
    }
};

ROOMS_TEST_MAIN(TestRooms)
#include "test_rooms.moc"
