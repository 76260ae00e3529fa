// The client's window against a fake lobby; joins mark the layer-3 back-end running (no root needed).
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"
#include "ui/theme.h"

#include <QClipboard>
#include <QComboBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QSplitter>
#include <QTextDocument>
#include <QTextEdit>
#include <optional>

using Key = std::optional<QString>;

namespace {

struct Peer
{
    QString name, vip;
    bool host = false;
};
// Right-clicks a row (empty space when row < 0), clicks `choose` or dismisses; returns the entries.
QStringList rightClickMenu(QListWidget* list, int row, const QString& choose = {})
{
    QStringList seen;
    QObject guard; // the call below can only run inside the menu's own event loop
    QTimer::singleShot(0, &guard, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        for (QAction* action : menu ? menu->actions() : QList<QAction*>()) {
            if ((seen << action->text()).last() != choose)
                continue;
            QTest::mouseMove(menu, menu->actionGeometry(action).center());
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
        }
        if (menu && QApplication::activePopupWidget() == menu)
            menu->close();
    });
    const QPoint pos =
        row >= 0 ? list->visualItemRect(list->item(row)).center() : QPoint(5, list->viewport()->height() - 3);
    // Through the window, as a real right-click comes: the frame's mouse handling sees it first.
    QTest::mouseClick(list->window()->windowHandle(), Qt::RightButton, {},
                      list->viewport()->mapTo(list->window(), pos));
    return seen;
}
// `message` as sent in adapter mode `n`.
QJsonObject layer(int n, QJsonObject message)
{
    message.insert(u"layer"_s, n);
    return message;
}
// Answers the next key prompt with `key` or cancels; `seen` gets "title|label[|masked][|plain]".
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

class TestClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;
    QSettings settings{u"Zentho"_s, u"Launcher"_s};

    void shown(const QByteArray& server = "127.0.0.1:1")
    {
        qputenv("PELLORA_SERVER", server);
        client = std::make_unique<VLANClient>();
        client->setGeometry(100, 100, 1080, 720);
        client->show();
        QVERIFY(QTest::qWaitForWindowExposed(client.get()));
    }
    bool statusReads(const QString& text)
    {
        return QTest::qWaitFor([&] {
            const QList<QLabel*> labels = P::loginPage(*client)->findChildren<QLabel*>();
            return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == text; });
        });
    }
    // Runs `fill` on the create-room dialog (name, game, access); cancels what stays open.
    void withDialog(const std::function<void(QDialog*, QLineEdit*, QComboBox*, QComboBox*)>& fill)
    {
        bool ran = false;
        testenv::whenModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QDialog*>(modal);
            const QList<QComboBox*> boxes = dialog->findChildren<QComboBox*>();
            fill(dialog, dialog->findChild<QLineEdit*>(), boxes.value(0), boxes.value(1));
            ran = true;
            if (QPointer<QDialog> still = dialog; still && still->isVisible())
                still->reject();
        });
        P::createRoomButton(*client)->click();
        QVERIFY(ran);
    }
    bool loggedIn() { return (client = lobby->loggedInClient(u"Alice"_s)) != nullptr; }
    // True once `list` shows `entries`, sent under `key`.
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

private slots:
    void init()
    {
        client.reset();
        settings.clear();
        lobby = std::make_unique<FakeLobby>();
    }
    // At start: no timers, frameless, the theme's colours on screen.
    void windowThemeModesAndServerLine()
    {
        shown();
        QVERIFY(!P::heartbeatTimer(*client)->isActive() && !P::refreshTimer(*client)->isActive());
        QCOMPARE(client->windowFlags(), Qt::Window | Qt::FramelessWindowHint);
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        const QImage shot = client->grab().toImage();
        QCOMPARE(shot.pixelColor(P::lobbyPage(*client)->mapTo(client.get(), QPoint(5, 5))), QColor(0x0b0c10));
        QWidget* card = P::roomList(*client)->parentWidget();
        QCOMPARE(shot.pixelColor(card->mapTo(client.get(), QPoint(card->width() / 2, 5))), QColor(0x121215));
        // Exactly one mode button is checked after every click or key; the label follows.
        QPushButton* layer2 = P::layer2Button(*client);
        QPushButton* layer3 = P::layer3Button(*client);
        const auto mode = [&] {
            return QString::number(P::layer2Mode(*client)) + QString::number(layer2->isChecked()) +
                   QString::number(layer3->isChecked()) + P::adapterModeLabel(*client)->text();
        };
        QCOMPARE(mode(), u"001Maximum speed and lowest ping. Enter the Host's IP manually inside your game "
                         u"to connect."_s);
        const QString layer2Text =
            u"110Host will automatically show up in the in-game LAN list. Best for older games."_s;
        const QString layer3Text =
            u"001Maximum speed and lowest ping. You will need to manually type the Host's IP to connect. "
            u"(10.8.x.x) "_s;
        // A click on the checked button flips it off first; the slot turns it back on.
        for (const auto& [button, key, text] : {std::tuple(layer2, false, layer2Text),
                                                {layer2, false, layer2Text},
                                                {layer3, false, layer3Text},
                                                {layer3, false, layer3Text},
                                                {layer2, true, layer2Text}}) {
            P::adapterModeLabel(*client)->setText(u"scribble"_s);
            key ? QTest::keyClick(button, Qt::Key_Space) : QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(mode(), text);
        }
        // "change": what is no address nor name is refused, an address is used at once and at the next start.
        QLabel* line = nullptr;
        for (QLabel* label : P::loginPage(*client)->findChildren<QLabel*>())
            line = label->text().startsWith(u"Server: 127.0.0.1:1 · <a"_s) ? label : line;
        QVERIFY(line);
        QString refusal;
        testenv::whenModal([&](QWidget* dialog) {
            auto* field = dialog->findChild<QLineEdit*>();
            field->setText(u"lobby_example:7777"_s);
            QTest::keyClick(field, Qt::Key_Return);
            for (QLabel* label : dialog->findChildren<QLabel*>())
                refusal += label->isVisible() ? label->text() : QString();
            field->setText(QString::fromLatin1(lobby->endpoint()));
            QTest::keyClick(field, Qt::Key_Return);
        });
        emit line->linkActivated(u"change"_s);
        QVERIFY2(refusal.contains(QLatin1String("is neither an IPv4 or IPv6 address nor a host name")),
                 qPrintable(refusal));
        QCOMPARE(settings.value(u"server"_s).toString(), QString::fromLatin1(lobby->endpoint()));
        QVERIFY(line->text().contains(QString::fromLatin1(lobby->endpoint())) && lobby->waitForClient());
        // Heartbeats follow the lobby to its new address.
        QVERIFY(udp::samePeer(P::relayPeer(*client), udp::parsePeer("127.0.0.1", lobby->port())));
        qunsetenv("PELLORA_SERVER");
        VLANClient next;
        QTRY_COMPARE(lobby->connections, 2);
        // Title-bar drags, edge resizes and hover cursors.
        QWindow* window = client->windowHandle();
        const QPoint start = client->pos();
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(600, 20));
        QTest::mouseMove(window, QPoint(602, 21)); // within the drag distance: still a click
        QCOMPARE(client->pos(), start);
        QTest::mouseMove(window, QPoint(660, 60));
        QTRY_COMPARE(client->pos(), start + QPoint(60, 40));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(600, 20));
        // The left edge cannot push the window below its minimum width.
        QTest::mousePress(window, Qt::LeftButton, {}, QPoint(3, 300));
        QTest::mouseMove(window, QPoint(603, 330));
        QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(603, 330));
        const QRect normal(start + QPoint(60 + 180, 40), QSize(900, 720));
        QTRY_COMPARE(client->geometry(), normal);
        const QPoint title = P::titleBarLabel(*client)->geometry().center();
        for (const auto& [at, maximized] : // the title toggles, the pages do nothing
             {std::pair(title, true), {title, false}, {QPoint(600, 300), false}}) {
            QTest::mouseDClick(window, Qt::LeftButton, {}, at);
            QTRY_VERIFY(client->isMaximized() == maximized && (maximized || client->geometry() == normal));
        }
        auto cursorAt = [window](QPoint p) {
            QTest::mouseMove(window, p);
            return QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape()
                                                     : Qt::ArrowCursor;
        };
        QCOMPARE(cursorAt(QPoint(900 - 2, 720 - 2)), Qt::SizeFDiagCursor);
        QCOMPARE(cursorAt(QPoint(500, 300)), Qt::ArrowCursor);
        QVERIFY(!QGuiApplication::overrideCursor()); // nothing left on the stack
        cursorAt(QPoint(3, 300));
        QEvent leave(QEvent::Leave);
        QGuiApplication::sendEvent(window, &leave);
        QVERIFY(!QGuiApplication::overrideCursor());
        // The top band over the close button resizes; below it the button closes.
        const QPoint close = P::closeButton(*client)->mapTo(client.get(), QPoint(20, 20));
        QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(close.x(), 4));
        QVERIFY(client->isVisible());
        QTest::mouseClick(window, Qt::LeftButton, {}, close);
        QTRY_VERIFY(!client->isVisible());
    }
    // Crown and lock show gold even without an emoji font (ctest runs this once so).
    void crownAndLockAreDrawn()
    {
        shown();
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        P::mainTabs(*client)->addTab(P::roomPage(*client), u"room"_s);
        for (QListWidget* list : {P::roomList(*client), P::peerList(*client)}) {
            P::mainTabs(*client)->setCurrentIndex(list == P::peerList(*client));
            list->addItems({u"bob 👑 - 10.8.0.1"_s, u"Alpha 🔒"_s, u"plain"_s});
            QTest::qWait(20); // the view lays its items out late
            const QImage rows = list->viewport()->grab().toImage();
            for (int row = 0; row < 3; ++row) {
                const QRect rect = list->visualItemRect(list->item(row));
                int gold = 0;
                for (int x = rect.left(); x <= rect.right(); ++x) {
                    const QColor c = rows.pixelColor(x, rect.center().y());
                    gold += c.red() > 180 && c.green() > 110 && c.blue() < 90;
                }
                QVERIFY2((gold > 2) == (row < 2), qPrintable(list->item(row)->text()));
            }
        }
    }
    // Server down: the page says so and retries; a nickname typed meanwhile logs in once it is up.
    void loginWaitsForTheServer()
    {
        const quint16 port = lobby->port();
        const QString server = u"127.0.0.1:%1"_s.arg(port);
        lobby->server.close();
        shown(server.toLatin1());
        QVERIFY(statusReads(u"Cannot reach %1 — retrying every 3 s"_s.arg(server)));
        P::nicknameInput(*client)->setText(u"   "_s);
        P::connectButton(*client)->click();
        QVERIFY(!settings.contains(u"username"_s));
        P::nicknameInput(*client)->setText(u"  Bob "_s);
        QTest::keyClick(P::nicknameInput(*client), Qt::Key_Return);
        QVERIFY(settings.value(u"username"_s) == u"Bob"_s && !P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->server.listen(QHostAddress::LocalHost, port) && lobby->waitForClient());
        QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Bob"_s);
        QVERIFY(statusReads(u"Connected to %1"_s.arg(server)));
        P::connectButton(*client)->click(); // each press logs in again
        QTRY_COMPARE(lobby->count(u"login"_s), 2);
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));
    }
    void lobbyMessagesPrivateTabsAndMenu()
    {
        QVERIFY(loggedIn());
        QListWidget* rooms = P::roomList(*client);
        QVERIFY(P::heartbeatTimer(*client)->interval() == 2000 &&
                P::refreshTimer(*client)->interval() == 5000 && P::heartbeatTimer(*client)->isActive() &&
                P::clientId(*client) == "c1"_L1);
        // Two lines in one segment, in order; junk and mis-cased commands change nothing.
        lobby->sendRaw(
            "{\"cmd\":\"room_list\",\"rooms\":[\"A\",\"B\",\"C\"]}\n{\"cmd\":\"room_list\",\"rooms\":"
            "[\"D\",\"E 🔒\"]}\r\ngarbage\n[1]\n{\"cmd\":\"ROOM_LIST\",\"rooms\":[]}\n\n");
        QTRY_COMPARE(rooms->count(), 2);
        QCOMPARE(rooms->item(1)->text(), u"E 🔒"_s);
        rooms->setCurrentRow(1);
        // Half a line waits for its line feed; lists are replaced wholesale.
        lobby->sendRaw("{\"cmd\":\"room_list\",\"ro");
        QTest::qWait(100);
        lobby->sendRaw("oms\":[\"X\"]}\n{\"cmd\":\"online_users\",\"users\":[\"Alice\",7,\"Bob\"]}\n");
        QTRY_COMPARE(P::onlineUserList(*client)->count(), 3);
        QVERIFY(rooms->count() == 1 && !rooms->currentItem());
        QCOMPARE(P::onlineUserList(*client)->item(1)->text(), QString());
        // An error box holds back the lines behind it until it is closed.
        int listedWhileOpen = -1;
        testenv::whenModal([&](QWidget* box) {
            QTest::qWait(200);
            listedWhileOpen = rooms->count();
            qobject_cast<QMessageBox*>(box)->accept();
        });
        lobby->sendRaw("{\"cmd\":\"error\",\"message\":\"first\"}\n{\"cmd\":\"room_list\"}\n");
        QTRY_COMPARE(rooms->count(), 0);
        QCOMPARE(listedWhileOpen, 1);
        // Lost connection: notice until back (one 3 s retry), login again; an endless line is cut off.
        lobby->dropClient();
        QTRY_VERIFY(P::reconnectDialog(*client)->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(lobby->count(u"login"_s), 2, 4500);
        QTRY_VERIFY(!P::reconnectDialog(*client)->isVisible());
        for (int i = 0; i < 18 && lobby->client; ++i) {
            lobby->sendRaw(QByteArray(64 * 1024, 'a'));
            QTest::qWait(5);
        }
        QTRY_VERIFY_WITH_TIMEOUT(lobby->connections > 2, 5000);
        QTRY_COMPARE(lobby->count(u"login"_s), 3);
        QTabWidget* tabs = P::mainTabs(*client);
        // Names that look like a tab title or a shortcut still map back.
        const QStringList users = {u"Bob"_s, u"bob"_s, u"COM: R&D"_s};
        for (const QString& user : users)
            privateFrom(user, u"<u>one</u>"_s);
        QTRY_COMPARE(tabs->count(), 4);
        QCOMPARE(tabs->tabText(3), u"COM: COM: R&&D"_s);
        QCOMPARE(P::privateChatTabs(*client).value(u"Bob"_s)->findChild<QLineEdit*>()->placeholderText(),
                 u"Direct message to Bob..."_s);
        // A new line reuses the sender's tab and brings it to the front; so does opening it from the lobby.
        privateFrom(u"Bob"_s, u"two"_s);
        QTRY_COMPARE(tabs->currentIndex(), 1);
        QCOMPARE(P::privateChatViews(*client).value(u"Bob"_s)->toPlainText(), u"Bob: <u>one</u>\nBob: two"_s);
        P::openPrivateChat(*client, u"COM: R&D"_s);
        QVERIFY(tabs->currentIndex() == 3 && tabs->count() == 4);
        for (const QString& user : users) {
            QPointer<QWidget> page = P::privateChatTabs(*client).value(user);
            qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(tabs->indexOf(page), QTabBar::RightSide))
                ->click();
            QCOMPARE(tabs->indexOf(page), -1); // at once, not only when the page goes
            QVERIFY(!P::privateChatTabs(*client).contains(user) &&
                    !P::privateChatViews(*client).contains(user));
            QTRY_VERIFY(page.isNull());
        }
        privateFrom(u"bob"_s, u"new"_s); // a closed tab comes back empty
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(P::privateChatViews(*client).value(u"bob"_s)->toPlainText(), u"bob: new"_s);
        QListWidget* online = P::onlineUserList(*client);
        QVERIFY(listed(u"online_users"_s, u"users"_s, online,
                       QJsonArray::fromStringList({u"Alice"_s, u"alice"_s, u"Bob - 2"_s})));
        const qsizetype before = lobby->settledCount();
        tabs->setCurrentIndex(0); // the lobby, where the list is on screen
        QVERIFY(rightClickMenu(online, 0).isEmpty()); // own name
        QCOMPARE(rightClickMenu(online, 1), QStringList({u"Send Message"_s, u"Invite to Room"_s}));
        QCOMPARE(lobby->settledCount(), before);
        QVERIFY(!rightClickMenu(online, 2, u"Invite to Room"_s).isEmpty());
        QCOMPARE(lobby->waitForCommand(u"invite"_s).value(u"target"_s).toString(), u"Bob - 2"_s);
        QVERIFY(!rightClickMenu(online, 1, u"Send Message"_s).isEmpty());
        QCOMPARE(P::mainTabs(*client)->currentWidget(), P::privateChatTabs(*client).value(u"alice"_s));
        QCOMPARE(lobby->settledCount(), before + 1);
    }
    // Enter deploys; every opening starts afresh; a key typed while "Locked" was chosen is still sent.
    void roomsFromCreationToLeaving()
    {
        QVERIFY(loggedIn());
        P::refreshTimer(*client)->stop(); // its room list requests would blur the line counts
        const char* rooms[][4] = {{"  100%1 ", "Minecraft", "Public", "[Minecraft] 100%1"},
                                  {"Alpha", "Any / Custom Game", "Private", "Alpha"}};
        QList<bool> keyShown;
        for (const auto& [rName, rGame, rAccess, rRoom] : rooms) {
            withDialog([&](QDialog* dialog, QLineEdit* name, QComboBox* game, QComboBox* access) {
                QVERIFY(name->text().isEmpty() && game->currentIndex() == 0 && game->count() == 14);
                QLineEdit* key = dialog->findChildren<QLineEdit*>().value(1);
                access->setCurrentText(u"Locked"_s);
                keyShown << key->isVisible();
                key->setText(u" k "_s);
                access->setCurrentText(QLatin1String(rAccess));
                keyShown << key->isVisible();
                game->setCurrentText(QLatin1String(rGame));
                QTest::keyClicks(name, QLatin1String(rName));
                QTest::keyClick(name, Qt::Key_Return);
            });
            QTRY_COMPARE(lobby->last(u"create_room"_s),
                         layer(3, control::message(u"create_room"_s,
                                                   {{u"room_name"_s, QLatin1String(rRoom)},
                                                    {u"privacy_mode"_s, QString::fromLatin1(rAccess).toLower()},
                                                    {u"password"_s, u" k "_s}})));
        }
        QCOMPARE(keyShown, QList<bool>({true, false, true, false}));
        // The info text starts with its star, labels sit on the dialog's surface, the drop-down is dark.
        withDialog([](QDialog* dialog, QLineEdit*, QComboBox*, QComboBox* access) {
            QTextDocument info;
            info.setHtml(dialog->findChildren<QLabel*>().value(4)->text());
            QVERIFY2(info.toPlainText().startsWith(u"★ TOTAL FREEDOM:"_s), qPrintable(info.toPlainText()));
            const QImage face = dialog->grab().toImage();
            const QColor surface(0x12, 0x12, 0x15);
            QCOMPARE(face.pixelColor(dialog->width() / 2, 8), surface);
            for (QLabel* label : dialog->findChildren<QLabel*>(u"fieldLabel"_s))
                QCOMPARE(face.pixelColor(label->mapTo(dialog, QPoint(label->width() - 3, 5))), surface);
            access->showPopup();
            QWidget* popup = access->view()->window();
            QTRY_VERIFY(popup->isVisible());
            QCOMPARE(popup->palette().color(QPalette::Window), theme::popupSurface);
            const QImage list = popup->grab().toImage();
            for (int y : {2, list.height() - 3})
                QVERIFY2(list.pixelColor(list.width() - 3, y).lightness() < 60,
                         qPrintable(QString::number(y)));
            access->hidePopup();
        });
        QListWidget* list = P::roomList(*client);
        // key: the prompt's answer (none: cancelled); sentName empty: nothing sent.
        for (const auto& [entry, doubleClick, key, sentName] :
             {std::tuple(u"Bravo"_s, false, Key(), u"Bravo"_s),
              {u"A [Locked]"_s, false, Key(u" k 1 "_s), u"A"_s},
              {u"A 🔒"_s, true, Key(QString()), u"A"_s},
              {u"A [Private]"_s, false, Key(), QString()}}) {
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
                         layer(3, control::message(u"join_room"_s, {{u"room_name"_s, sentName},
                                                                    {u"password"_s, key.value_or(QString())}})));
            QCOMPARE(P::mainTabs(*client)->count(), 1); // nothing changes until the server answers
        }
        QString prompt;
        answerNextKeyPrompt(&prompt, u"  secret "_s);
        P::layer2Button(*client)->click();
        // The room name is another player's text: shown literally.
        lobby->send(control::message(u"password_required"_s, {{u"room_name"_s, u"<b>A</b>"_s}}));
        QTRY_COMPARE(prompt, u"Restricted Sector|Provide access key for <b>A</b>:|masked|plain"_s);
        QTRY_COMPARE(lobby->last(u"join_room"_s),
                     layer(2, control::message(u"join_room"_s,
                                               {{u"room_name"_s, u"<b>A</b>"_s}, {u"password"_s, u"  secret "_s}})));
        P::layer3Button(*client)->click();
        P::roomChatView(*client)->setPlainText(u"old room's talk"_s);
        QTabWidget* tabs = P::mainTabs(*client);
        for (const auto& [room, title] :
             {std::pair(u"Alpha"_s, u"Sector: Alpha"_s), {u"R&D"_s, u"Sector: R&&D"_s}}) {
            tabs->setCurrentIndex(0);
            QVERIFY(joined(room, u"10.8.0.5"_s));
            QCOMPARE(tabs->count(), 2); // a join while in a room reuses the tab
            QCOMPARE(tabs->tabText(1), title);
            QCOMPARE(P::localIpLabel(*client)->text(), u"Local IP: 10.8.0.5"_s);
            QVERIFY(P::roomChatView(*client)->toPlainText().isEmpty() &&
                    !P::layer2Button(*client)->isEnabled() && !P::layer3Button(*client)->isEnabled());
        }
        QVERIFY(joined(u"Alpha"_s, u"10.8.0.2"_s));
        // Widening the window widens the room chat more than the diagnostics beside it.
        auto* panes = P::roomPage(*client)->findChild<QSplitter*>();
        const QList<int> narrow = panes->sizes();
        client->resize(client->width() + 500, client->height());
        QTRY_VERIFY(panes->sizes().value(1) - narrow.value(1) > 2 * (panes->sizes().value(0) - narrow.value(0)));
        // The target is the member's whole name (" - " or a crown in it); only the flagged host is spared.
        QList<Peer> peers = {{u"Alice"_s, u"10.8.0.2"_s},
                             {u"carol"_s, u"10.8.0.3"_s},
                             {u"dave - x"_s, u"10.8.0.4"_s},
                             {u"👑eve"_s, u"10.8.0.5"_s}};
        QListWidget* members = P::peerList(*client);
        QVERIFY(peersListed(peers));
        QVERIFY(rightClickMenu(members, 1).isEmpty()); // not the host: no menu
        peers[0].host = true;
        QVERIFY(peersListed(peers) && P::isHost(*client));
        const qsizetype before = lobby->settledCount();
        QVERIFY(rightClickMenu(members, 0).isEmpty() && rightClickMenu(members, -1).isEmpty()); // own; none
        QCOMPARE(rightClickMenu(members, 1), QStringList({u"Kick Entity"_s, u"Transfer Host"_s}));
        QCOMPARE(lobby->settledCount(), before);
        for (const auto& [row, action, cmd] : {std::tuple(1, u"Kick Entity"_s, u"kick_player"_s),
                                               {2, u"Kick Entity"_s, u"kick_player"_s},
                                               {3, u"Transfer Host"_s, u"transfer_host"_s}}) {
            QVERIFY(!rightClickMenu(members, row, action).isEmpty());
            QTRY_COMPARE(lobby->received.last(), control::message(cmd, {{u"target"_s, peers[row].name}}));
        }
        QCOMPARE(members->count(), 4); // nothing changes until the server says so
        QVERIFY(peersListed({{u"bob"_s, u"10.8.0.1"_s, true},
                             {u"Alice"_s, u"10.8.0.2"_s, false},
                             {u"alice"_s, u"10.8.0.3"_s, true}}));
        QCOMPARE(members->item(0)->text(), u"bob 👑 - 10.8.0.1"_s);
        QCOMPARE(members->item(1)->text(), u"Alice - 10.8.0.2"_s);
        // The last crowned member's address wins; "alice" is not us.
        QVERIFY(P::hostVirtualIp(*client) == "10.8.0.3"_L1 && !P::isHost(*client));
        QPushButton* copy = P::copyIpButton(*client);
        QCOMPARE(copy->text(), u"COPY GAME HOST IP"_s);
        // A copy confirms on the button for two seconds, then restores it.
        const QString normalSheet = copy->styleSheet();
        copy->click();
        QCOMPARE(QApplication::clipboard()->text(), u"10.8.0.3"_s);
        QVERIFY(copy->text() == u"✔ COPIED TO CLIPBOARD"_s && copy->styleSheet() != normalSheet);
        QTest::qWait(1700);
        QCOMPARE(copy->text(), u"✔ COPIED TO CLIPBOARD"_s);
        QTRY_COMPARE_WITH_TIMEOUT(copy->text(), u"COPY GAME HOST IP"_s, 1000);
        QCOMPARE(copy->styleSheet(), normalSheet);
        QVERIFY(peersListed({{u"Alice"_s, u"10.8.0.2"_s, true}}) && P::isHost(*client));
        QCOMPARE(copy->text(), u"COPY MY HOST IP"_s);
        copy->click();
        QCOMPARE(QApplication::clipboard()->text(), u"10.8.0.2"_s);
        QTRY_COMPARE_WITH_TIMEOUT(copy->text(), u"COPY HOST IP"_s, 3000);
        // Junk members, none flagged host, and no own name: the host state stays.
        lobby->sendRaw(
            "{\"cmd\":\"room_update\",\"peers\":[{\"username\":\"carol\",\"vip\":\"10.8.0.4\"},7]}\n");
        QTRY_COMPARE(members->item(0)->text(), u"carol - 10.8.0.4"_s);
        QCOMPARE(members->item(1)->text(), u" - "_s);
        QVERIFY(P::isHost(*client) && P::hostVirtualIp(*client) == "10.8.0.2"_L1);
        lobby->sendRaw("{\"cmd\":\"room_update\"}\n");
        QTRY_COMPARE(members->count(), 0);
        // Closing the room tab and a kick (once its notice closes) leave alike.
        QVERIFY(peersListed({{u"Alice"_s, u"10.8.0.2"_s, true}}));
        QCOMPARE(tabs->tabBar()->tabButton(0, QTabBar::RightSide), nullptr); // the lobby tab never closes
        emit tabs->tabCloseRequested(0);
        QCOMPARE(tabs->count(), 2);
        for (const bool kick : {false, true}) {
            lobby->received.clear();
            QString withNotice;
            if (!kick) {
                qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(1, QTabBar::RightSide))->click();
            } else {
                testenv::whenModal([&](QWidget* widget) {
                    QTest::qWait(150); // lets anything sent (wrongly) meanwhile arrive
                    const auto* box = qobject_cast<QMessageBox*>(widget);
                    withNotice = box->windowTitle() + u'|' + box->text() + u'|' +
                                 QString::number(tabs->count()) + QString::number(lobby->received.size()) +
                                 QString::number(P::wintunRunning(*client));
                    qobject_cast<QDialog*>(widget)->accept();
                });
                lobby->send(control::message(u"kicked"_s, {{u"message"_s, u"<b>out</b>"_s}}));
                QTRY_COMPARE(withNotice, u"Connection Terminated|<b>out</b>|201"_s); // tabs, lines, adapter
            }
            QTRY_COMPARE(lobby->received.size(), 2);
            QVERIFY(lobby->received.at(0) == control::message(u"leave_room"_s) &&
                    lobby->count(u"get_rooms"_s) == 1);
            QVERIFY(tabs->count() == 1 && tabs->currentWidget() == P::lobbyPage(*client));
            QVERIFY(P::layer2Button(*client)->isEnabled() && P::layer3Button(*client)->isEnabled() &&
                    !P::wintunRunning(*client));
            QVERIFY(joined(u"Alpha"_s, u"10.8.0.2"_s));
        }
        // Every chat sends trimmed lines.
        P::openPrivateChat(*client, u"Bob"_s);
        VLANClient& c = *client;
        QWidget* bob = P::privateChatTabs(c).value(u"Bob"_s);
        // cmd, target, what the view shows (public lines only once the server sends them back), widgets
        const std::tuple<QString, QString, QString, QLineEdit*, QPushButton*, QTextEdit*> chats[] = {
            {u"chat"_s, {}, {}, P::roomChatInput(c), P::roomSendButton(c), P::roomChatView(c)},
            {u"global_chat"_s, {}, {}, P::globalChatInput(c), P::globalSendButton(c), P::globalChatView(c)},
            {u"private_message"_s, u"Bob"_s, u"Me: hello <b>x</b>"_s, bob->findChild<QLineEdit*>(),
             bob->findChild<QPushButton*>(), bob->findChild<QTextEdit*>()},
        };
        for (const auto& [cmd, target, shown, input, send, view] : chats) {
            const qsizetype before = lobby->settledCount();
            input->setText(u"   "_s);
            QTest::keyClick(input, Qt::Key_Return);
            send->click();
            QCOMPARE(lobby->settledCount(), before);
            input->setText(u"  hello <b>x</b> "_s);
            QTest::keyClick(input, Qt::Key_Return);
            QTRY_COMPARE(lobby->count(cmd), 1);
            QCOMPARE(lobby->last(cmd).value(u"message"_s).toString(), u"hello <b>x</b>"_s);
            QCOMPARE(lobby->last(cmd).value(u"target"_s).toString(), target);
            QVERIFY(input->text().isEmpty());
            QCOMPARE(view->toPlainText(), shown);
            input->setText(u"again"_s);
            send->click();
            QTRY_COMPARE(lobby->count(cmd), 2);
        }
        // While the connection is down nothing goes out and the typed text stays, to go once it is back.
        lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(c)->state() == QAbstractSocket::UnconnectedState);
        for (const auto& [cmd, target, shown, input, send, view] : chats) {
            input->setText(u"while down"_s);
            QTest::keyClick(input, Qt::Key_Return);
            QCOMPARE(input->text(), u"while down"_s);
        }
        QTRY_COMPARE(lobby->count(u"login"_s), 1); // lines were cleared since the first login
        for (const auto& [cmd, target, shown, input, send, view] : chats) {
            QTest::keyClick(input, Qt::Key_Return);
            QTRY_COMPARE(lobby->last(cmd).value(u"message"_s).toString(), u"while down"_s);
        }
        QCOMPARE(std::get<5>(chats[2])->toPlainText(), u"Me: hello <b>x</b>\nMe: again\nMe: while down"_s);
        // Other players' text shows literally; a paragraph separator cannot forge another player's line.
        lobby->send(
            control::message(u"chat"_s, {{u"sender"_s, u"<i>Eve</i>"_s},
                                         {u"message"_s, u"<img src=x.png> & <b>hi</b>\u2029bob: forged"_s}}));
        lobby->sendRaw("{\"cmd\":\"chat\",\"sender\":\"bob\",\"message\":\"second\"}\n");
        QTRY_COMPARE(std::get<5>(chats[0])->toPlainText(),
                     u"<i>Eve</i>: <img src=x.png> & <b>hi</b> bob: forged\nbob: second"_s);
    }
};

PELLORA_TEST_MAIN(TestClient)
#include "test_client.moc"
