// Rooms, chat and player menus against the fake lobby, answered as a player
// would. Joins mark the layer-3 back-end as running so that no root is needed.
#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <optional>

using P = ClientProbe;
using namespace Qt::StringLiterals;
using Key = std::optional<QString>;

namespace {

struct Peer
{
    QString name;
    QString vip;
    bool host = false;
};

// Right-clicks a row (empty space when row < 0) and clicks `choose` in the
// menu, or dismisses it. Returns the menu's entries (none: no menu).
QStringList rightClickMenu(QListWidget* list, int row, const QString& choose = {})
{
    QStringList seen;
    QTimer poll;
    QDeadlineTimer deadline(1500);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu && !deadline.hasExpired())
            return;
        poll.stop();
        for (QAction* action : menu ? menu->actions() : QList<QAction*>()) {
            if ((seen << action->text()).last() != choose)
                continue;
            QTest::mouseMove(menu, menu->actionGeometry(action).center());
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        }
        if (menu && QApplication::activePopupWidget() == menu)
            menu->close();
    });
    poll.start(10);
    const QPoint pos =
        row >= 0 ? list->visualItemRect(list->item(row)).center() : QPoint(5, list->viewport()->height() - 3);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(list->viewport(), &event);
    return seen;
}

// Answers the next key prompt with `key` or cancels it; writes what it showed
// to `seen`: "title|label", then "|masked" and "|plain" when the key is hidden
// and the label is not markup. A later call takes over from an earlier one.
void answerNextKeyPrompt(QString* seen, Key key)
{
    static int latest = 0;
    testenv::whenModal([seen, key, mine = ++latest](QWidget* widget) {
        auto* prompt = qobject_cast<QInputDialog*>(widget);
        if (mine != latest)
            return;
        if (!prompt)
            return qobject_cast<QDialog*>(widget)->reject();
        *seen = prompt->windowTitle() + u'|' + prompt->labelText() +
                (prompt->textEchoMode() == QLineEdit::Password ? u"|masked"_s : QString()) +
                (prompt->findChild<QLabel*>()->textFormat() == Qt::PlainText ? u"|plain"_s : QString());
        prompt->setTextValue(key.value_or(QString()));
        key ? prompt->accept() : prompt->reject();
    });
}

} // namespace

class TestRooms : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;

    bool loggedIn(bool inRoom = false)
    {
        client = lobby->loggedInClient(u"Alice"_s);
        return client && (!inRoom || joined(u"Alpha"_s, u"10.8.0.2"_s));
    }

    // Sends `cmd` with `entries` under `key`; true once `list` shows them.
    bool listed(const QString& cmd, const QString& key, QListWidget* list, const QJsonArray& entries)
    {
        list->clear(); // so that a list of the same length is told apart
        lobby->send({{u"cmd"_s, cmd}, {key, entries}});
        return QTest::qWaitFor([&] { return list->count() == entries.size(); });
    }
    bool peersListed(const QList<Peer>& peers)
    {
        QJsonArray array;
        for (const Peer& p : peers)
            array.append(QJsonObject{{u"username"_s, p.name}, {u"vip"_s, p.vip}, {u"is_host"_s, p.host}});
        return listed(u"room_update"_s, u"peers"_s, P::peerList(*client), array);
    }

    bool joined(const QString& room, const QString& vip)
    {
        P::wintunRunning(*client) = true;
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, vip}, {u"room_name"_s, room}}));
        return QTest::qWaitFor(
            [this] { return P::mainTabs(*client)->currentWidget() == P::roomPage(*client); });
    }

    void privateFrom(const QString& sender, const QString& text)
    {
        lobby->send(control::message(u"private_message"_s, {{u"sender"_s, sender}, {u"message"_s, text}}));
    }
    template <typename W> W* privateWidget(const QString& user)
    {
        return P::privateChatTabs(*client).value(user)->findChild<W*>();
    }

private slots:
    void init()
    {
        QSettings(u"Zentho"_s, u"Launcher"_s).clear();
        lobby = std::make_unique<FakeLobby>();
    }
    void cleanup()
    {
        client.reset();
        lobby.reset();
    }

    void joinSendsRoomNameAndKey_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<Key>("key");          // answer to the prompt; none: cancelled
        QTest::addColumn<QString>("sentName"); // empty: nothing sent
        QTest::newRow("open") << u"Bravo"_s << false << Key() << u"Bravo"_s;
        QTest::newRow("locked") << u"A [Locked]"_s << false << Key(u" k 1 "_s) << u"A"_s;
        QTest::newRow("double click") << u"A 🔒"_s << true << Key(QString()) << u"A"_s;
        QTest::newRow("cancelled") << u"A [Private]"_s << false << Key() << QString();
    }
    void joinSendsRoomNameAndKey()
    {
        QFETCH(QString, entry);
        QFETCH(bool, doubleClick);
        QFETCH(Key, key);
        QFETCH(QString, sentName);
        QVERIFY(loggedIn());
        QListWidget* list = P::roomList(*client);
        QVERIFY(listed(u"room_list"_s, u"rooms"_s, list, QJsonArray::fromStringList({u"Zulu"_s, entry})));
        P::joinRoomButton(*client)->click(); // nothing selected: nothing sent
        const qsizetype before = lobby->settledCount();
        QString prompt;
        answerNextKeyPrompt(&prompt, key);
        const QPoint at = list->visualItemRect(list->item(1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        doubleClick ? QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at)
                    : P::joinRoomButton(*client)->click();
        QCOMPARE(prompt, sentName == entry
                             ? QString()
                             : u"Restricted Room|Provide access key for deployment:|masked|plain"_s);
        QCOMPARE(lobby->settledCount(), before + !sentName.isEmpty());
        if (!sentName.isEmpty())
            QCOMPARE(lobby->received.last(),
                     control::message(u"join_room"_s, {{u"room_name"_s, sentName},
                                                       {u"password"_s, key.value_or(QString())}}));
        QCOMPARE(P::mainTabs(*client)->count(), 1); // nothing changes until the server answers
    }

    void passwordRequiredAsksAgain()
    {
        QVERIFY(loggedIn());
        for (const Key& key : {Key(u"  secret "_s), Key()}) {
            const qsizetype before = lobby->settledCount();
            QString prompt;
            answerNextKeyPrompt(&prompt, key);
            // The room name is another player's text: shown literally.
            lobby->send(control::message(u"password_required"_s, {{u"room_name"_s, u"<b>A</b>"_s}}));
            QTRY_COMPARE(prompt, u"Restricted Sector|Provide access key for <b>A</b>:|masked|plain"_s);
            QCOMPARE(lobby->settledCount(), before + (key ? 1 : 0));
            if (key)
                QCOMPARE(lobby->received.last(),
                         control::message(u"join_room"_s,
                                          {{u"room_name"_s, u"<b>A</b>"_s}, {u"password"_s, *key}}));
        }
    }

    void joinOkPutsUpTheRoom()
    {
        QVERIFY(loggedIn());
        P::roomChatView(*client)->setPlainText(u"old room's talk"_s);
        QTabWidget* tabs = P::mainTabs(*client);
        for (const auto& [room, title] :
             {std::pair(u"Alpha"_s, u"Sector: Alpha"_s), {u"R&D"_s, u"Sector: R&&D"_s}}) {
            tabs->setCurrentIndex(0);
            QVERIFY(joined(room, u"10.8.0.5"_s));
            QCOMPARE(tabs->count(), 2); // a join while in a room reuses the tab
            QCOMPARE(tabs->tabText(1), title);
            QCOMPARE(P::localIpLabel(*client)->text(), u"Local IP: 10.8.0.5"_s);
            QVERIFY(P::roomChatView(*client)->toPlainText().isEmpty());
            QVERIFY(!P::layer2Button(*client)->isEnabled() && !P::layer3Button(*client)->isEnabled());
        }
    }

    void roomUpdateListsMembersAndHost()
    {
        QVERIFY(loggedIn(true));
        QVERIFY(peersListed({{u"bob"_s, u"10.8.0.1"_s, true},
                             {u"Alice"_s, u"10.8.0.2"_s, false},
                             {u"alice"_s, u"10.8.0.3"_s, true}}));
        QListWidget* peers = P::peerList(*client);
        QCOMPARE(peers->item(0)->text(), u"bob 👑 - 10.8.0.1"_s);
        QCOMPARE(peers->item(1)->text(), u"Alice - 10.8.0.2"_s);
        // The last crowned member's address wins; "alice" is not us.
        QCOMPARE(P::hostVirtualIp(*client), u"10.8.0.3"_s);
        QVERIFY(!P::isHost(*client));
        QCOMPARE(P::copyIpButton(*client)->text(), u"COPY GAME HOST IP"_s);

        QVERIFY(peersListed({{u"Alice"_s, u"10.8.0.2"_s, true}}));
        QVERIFY(P::isHost(*client));
        QCOMPARE(P::copyIpButton(*client)->text(), u"COPY MY HOST IP"_s);

        // Junk members, none flagged host, and no own name: the host state stays.
        lobby->sendRaw(
            "{\"cmd\":\"room_update\",\"peers\":[{\"username\":\"carol\",\"vip\":\"10.8.0.4\"},7]}\n");
        QTRY_COMPARE(peers->item(0)->text(), u"carol - 10.8.0.4"_s);
        QCOMPARE(peers->item(1)->text(), u" - "_s);
        QVERIFY(P::isHost(*client));
        QCOMPARE(P::hostVirtualIp(*client), u"10.8.0.2"_s);
        lobby->sendRaw("{\"cmd\":\"room_update\"}\n");
        QTRY_COMPARE(peers->count(), 0);
    }

    // Disconnect, closing the room tab and a kick (once its notice closes) leave alike.
    void everyWayOutLeavesTheRoom()
    {
        QVERIFY(loggedIn(true) && peersListed({{u"Alice"_s, u"10.8.0.2"_s, true}}));
        QTabWidget* tabs = P::mainTabs(*client);
        QCOMPARE(tabs->tabBar()->tabButton(0, QTabBar::RightSide), nullptr); // the lobby tab never closes
        emit tabs->tabCloseRequested(0);
        QCOMPARE(tabs->count(), 2);

        for (int way = 0; way < 3; ++way) {
            const int refreshes = lobby->count(u"get_rooms"_s);
            lobby->rawLines.clear();
            QString withNotice;
            if (way == 0) {
                P::disconnectButton(*client)->click();
            } else if (way == 1) {
                qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(1, QTabBar::RightSide))->click();
            } else {
                testenv::whenModal([&](QWidget* widget) {
                    QTest::qWait(150); // lets anything sent (wrongly) meanwhile arrive
                    const auto* box = qobject_cast<QMessageBox*>(widget);
                    withNotice = box->windowTitle() + u'|' + box->text() + u'|' +
                                 QString::number(tabs->count()) + QString::number(lobby->rawLines.size()) +
                                 QString::number(P::wintunRunning(*client));
                    qobject_cast<QDialog*>(widget)->accept();
                });
                lobby->send(control::message(u"kicked"_s, {{u"message"_s, u"<b>out</b>"_s}}));
                QTRY_COMPARE(withNotice, u"Connection Terminated|<b>out</b>|201"_s); // tabs, lines, adapter
            }
            QTRY_COMPARE(lobby->rawLines.size(), 2);
            QCOMPARE(lobby->rawLines.at(0), QByteArray("{\"cmd\":\"leave_room\"}\n"));
            QCOMPARE(lobby->count(u"get_rooms"_s), refreshes + 1);
            QCOMPARE(tabs->count(), 1);
            QCOMPARE(tabs->currentWidget(), P::lobbyPage(*client));
            QVERIFY(P::layer2Button(*client)->isEnabled() && P::layer3Button(*client)->isEnabled());
            QVERIFY(!P::wintunRunning(*client));
            QCOMPARE(P::peerList(*client)->count(), 1); // room state stays until the next join
            QVERIFY(joined(u"Alpha"_s, u"10.8.0.2"_s));
        }
    }

    void copyHostIpConfirmsThenRestores()
    {
        QVERIFY(loggedIn(true));
        QPushButton* button = P::copyIpButton(*client);
        const QString normalSheet = button->styleSheet();
        for (const bool host : {false, true}) {
            QVERIFY(peersListed({{u"bob"_s, u"10.8.0.1"_s, !host}, {u"Alice"_s, u"10.8.0.2"_s, host}}));
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

    void everyChatSendsTrimmedLines()
    {
        QVERIFY(loggedIn(true));
        P::openPrivateChat(*client, u"Bob"_s);
        VLANClient& c = *client;
        const struct
        {
            QString cmd, target, shown; // public lines show once the server sends them back
            QLineEdit* input;
            QPushButton* send;
            QTextEdit* view;
        } chats[] = {
            {u"chat"_s, {}, {}, P::roomChatInput(c), P::roomSendButton(c), P::roomChatView(c)},
            {u"global_chat"_s, {}, {}, P::globalChatInput(c), P::globalSendButton(c), P::globalChatView(c)},
            {u"private_message"_s, u"Bob"_s, u"Me: hello <b>x</b>"_s, privateWidget<QLineEdit>(u"Bob"_s),
             privateWidget<QPushButton>(u"Bob"_s), privateWidget<QTextEdit>(u"Bob"_s)},
        };
        for (const auto& chat : chats) {
            const qsizetype before = lobby->settledCount();
            chat.input->setText(u"   "_s);
            QTest::keyClick(chat.input, Qt::Key_Return);
            chat.send->click();
            QCOMPARE(lobby->settledCount(), before);

            chat.input->setText(u"  hello <b>x</b> "_s);
            QTest::keyClick(chat.input, Qt::Key_Return);
            QTRY_COMPARE(lobby->count(chat.cmd), 1);
            QCOMPARE(lobby->last(chat.cmd).value(u"message"_s).toString(), u"hello <b>x</b>"_s);
            QCOMPARE(lobby->last(chat.cmd).value(u"target"_s).toString(), chat.target);
            QVERIFY(chat.input->text().isEmpty());
            QCOMPARE(chat.view->toPlainText(), chat.shown);
            chat.input->setText(u"again"_s);
            chat.send->click();
            QTRY_COMPARE(lobby->count(chat.cmd), 2);
        }

        // While the connection is down nothing goes out and the typed text stays, to go once it is back.
        lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(c)->state() == QAbstractSocket::UnconnectedState);
        for (const auto& chat : chats) {
            chat.input->setText(u"while down"_s);
            QTest::keyClick(chat.input, Qt::Key_Return);
            QCOMPARE(chat.input->text(), u"while down"_s);
        }
        QTRY_COMPARE(lobby->count(u"login"_s), 2);
        for (const auto& chat : chats) {
            QTest::keyClick(chat.input, Qt::Key_Return);
            QTRY_COMPARE(lobby->last(chat.cmd).value(u"message"_s).toString(), u"while down"_s);
        }
        QCOMPARE(chats[2].view->toPlainText(), u"Me: hello <b>x</b>\nMe: again\nMe: while down"_s);

        // Other players' text shows literally; a paragraph separator must not
        // start a line that looks like another player's.
        lobby->send(
            control::message(u"chat"_s, {{u"sender"_s, u"<i>Eve</i>"_s},
                                         {u"message"_s, u"<img src=x.png> & <b>hi</b>\u2029bob: forged"_s}}));
        lobby->sendRaw("{\"cmd\":\"chat\",\"sender\":\"bob\",\"message\":\"second\"}\n");
        QTRY_COMPARE(chats[0].view->toPlainText(),
                     u"<i>Eve</i>: <img src=x.png> & <b>hi</b> bob: forged\nbob: second"_s);
    }

    void privateTabsByExactName()
    {
        QVERIFY(loggedIn());
        QTabWidget* tabs = P::mainTabs(*client);
        // Names that look like a tab title or a shortcut still map back.
        const QStringList users = {u"Bob"_s, u"bob"_s, u"COM: R&D"_s};
        for (const QString& user : users)
            privateFrom(user, u"<u>one</u>"_s);
        QTRY_COMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabText(3), u"COM: COM: R&&D"_s);
        QCOMPARE(privateWidget<QLineEdit>(u"Bob"_s)->placeholderText(), u"Direct message to Bob..."_s);
        // A new line reuses the sender's tab and brings it to the front; so does opening it from the lobby.
        privateFrom(u"Bob"_s, u"two"_s);
        QTRY_COMPARE(tabs->currentIndex(), 1);
        QCOMPARE(P::privateChatViews(*client).value(u"Bob"_s)->toPlainText(), u"Bob: <u>one</u>\nBob: two"_s);
        P::openPrivateChat(*client, u"COM: R&D"_s);
        QCOMPARE(tabs->currentIndex(), 3);
        QCOMPARE(tabs->count(), 4);

        for (const QString& user : users) {
            QPointer<QWidget> page = P::privateChatTabs(*client).value(user);
            qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(tabs->indexOf(page), QTabBar::RightSide))
                ->click();
            QCOMPARE(tabs->indexOf(page), -1); // at once, not only when the page goes
            QVERIFY(!P::privateChatTabs(*client).contains(user) &&
                    !P::privateChatViews(*client).contains(user));
            QTRY_VERIFY(page.isNull());
        }
        QCOMPARE(tabs->count(), 1);
        privateFrom(u"bob"_s, u"new"_s); // a closed tab comes back empty
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(P::privateChatViews(*client).value(u"bob"_s)->toPlainText(), u"bob: new"_s);
    }

    void onlineMenuOffersMessageAndInvite()
    {
        QVERIFY(loggedIn());
        QListWidget* users = P::onlineUserList(*client);
        QVERIFY(listed(u"online_users"_s, u"users"_s, users,
                       QJsonArray::fromStringList({u"Alice"_s, u"alice"_s, u"Bob - 2"_s})));
        const qsizetype before = lobby->settledCount();
        QVERIFY(rightClickMenu(users, 0).isEmpty());  // own name
        QVERIFY(rightClickMenu(users, -1).isEmpty()); // empty space
        QCOMPARE(rightClickMenu(users, 1), QStringList({u"Send Message"_s, u"Invite to Room"_s}));
        QCOMPARE(lobby->settledCount(), before);

        QVERIFY(!rightClickMenu(users, 2, u"Invite to Room"_s).isEmpty());
        QCOMPARE(lobby->waitForCommand(u"invite"_s).value(u"target"_s).toString(), u"Bob - 2"_s);
        QCOMPARE(P::mainTabs(*client)->count(), 1);
        QVERIFY(!rightClickMenu(users, 1, u"Send Message"_s).isEmpty());
        QCOMPARE(P::mainTabs(*client)->currentWidget(), P::privateChatTabs(*client).value(u"alice"_s));
        QCOMPARE(lobby->settledCount(), before + 1);
    }

    // Names may contain " - " or a crown: the target is the member's whole
    // name, and only the member flagged as host is spared.
    void hostActionsTargetTheMember()
    {
        QVERIFY(loggedIn(true));
        QList<Peer> peers = {{u"Alice"_s, u"10.8.0.2"_s},
                             {u"carol"_s, u"10.8.0.3"_s},
                             {u"dave - x"_s, u"10.8.0.4"_s},
                             {u"👑eve"_s, u"10.8.0.5"_s}};
        QListWidget* list = P::peerList(*client);
        QVERIFY(peersListed(peers));
        QVERIFY(rightClickMenu(list, 1).isEmpty()); // not the host: no menu
        peers[0].host = true;
        QVERIFY(peersListed(peers) && P::isHost(*client));
        const qsizetype before = lobby->settledCount();
        QVERIFY(rightClickMenu(list, 0).isEmpty()); // the crowned entry
        QVERIFY(rightClickMenu(list, -1).isEmpty());
        QCOMPARE(rightClickMenu(list, 1), QStringList({u"Kick Entity"_s, u"Transfer Host"_s}));
        QCOMPARE(lobby->settledCount(), before);
        for (const auto& [row, action, cmd] : {std::tuple(1, u"Kick Entity"_s, u"kick_player"_s),
                                               {2, u"Kick Entity"_s, u"kick_player"_s},
                                               {3, u"Transfer Host"_s, u"transfer_host"_s}}) {
            QVERIFY(!rightClickMenu(list, row, action).isEmpty());
            QTRY_COMPARE(lobby->received.last(), control::message(cmd, {{u"target"_s, peers[row].name}}));
        }
        QCOMPARE(list->count(), 4); // nothing changes until the server says so
    }
};

PELLORA_TEST_MAIN(TestRooms)
#include "test_rooms.moc"
