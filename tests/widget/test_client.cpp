// The client's window against a fake lobby, one behaviour per test.
#include "lobby/serveraddress.h"
#include "tests/support/fakelobby.h"
#include "tests/support/fakerouter.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QInputDialog>
#include <QLayout>
#include <QListWidget>
#include <QMenu>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTextEdit>
#include <optional>

namespace {

// On Windows the system moves and sizes the frameless window from its
// hit-test answers (test_win32 checks those); synthetic mouse events only
// reach the window's own frame handling elsewhere.
#ifdef Q_OS_WIN
constexpr bool kOnWindows = true;
#else
constexpr bool kOnWindows = false;
#endif
#define SKIP_WHERE_THE_SYSTEM_DRIVES_THE_FRAME()                                                             \
    if (kOnWindows)                                                                               \
    QSKIP("the system drives the frame here")

QJsonObject member(const QString& name, const QString& vip, bool host = false)
{
    return {{u"username"_s, name}, {u"vip"_s, vip}, {u"is_host"_s, host}};
}
// Alice (us) first; each target is the member's whole name, " - " or a crown in it.
QJsonArray fourMembers(bool weHost)
{
    return {member(u"Alice"_s, u"10.8.0.2"_s, weHost), member(u"carol"_s, u"10.8.0.3"_s),
            member(u"dave - x"_s, u"10.8.0.4"_s), member(u"👑eve"_s, u"10.8.0.5"_s)};
}
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
const QString kMasked = u"masked, literal"_s; // how a key prompt shows: the key hidden, the label as given
// Answers the next key prompt with `key` or cancels; `seen` gets its title, label and how it shows them.
void answerNextKeyPrompt(QStringList* seen, std::optional<QString> key)
{
    static int latest = 0;
    testenv::whenModal([seen, key, mine = ++latest](QWidget* widget) {
        auto* prompt = qobject_cast<QInputDialog*>(widget);
        if (mine != latest)
            return;
        if (!prompt)
            return qobject_cast<QDialog*>(widget)->reject();
        const bool literal = prompt->findChild<QLabel*>()->textFormat() == Qt::PlainText;
        const bool masked = prompt->textEchoMode() == QLineEdit::Password;
        *seen = {prompt->windowTitle(), prompt->labelText(), masked && literal ? kMasked : QString()};
        prompt->setTextValue(key.value_or(QString()));
        key ? prompt->accept() : prompt->reject();
    });
}
void clickTabClose(QTabWidget* tabs, QWidget* page)
{
    qobject_cast<QAbstractButton*>(tabs->tabBar()->tabButton(tabs->indexOf(page), QTabBar::RightSide))
        ->click();
}
QStringList texts(const QListWidget* list)
{
    QStringList all;
    for (int i = 0; i < list->count(); ++i)
        all << list->item(i)->text();
    return all;
}
bool inLayout(const QLayout* layout, const QWidget* widget)
{
    for (int i = 0; layout && i < layout->count(); ++i)
        if (layout->itemAt(i)->widget() == widget || inLayout(layout->itemAt(i)->layout(), widget))
            return true;
    return false;
}
// The first label of the window whose text holds `text` (an exact section title when `header`).
QWidget* labelWith(VLANClient& c, const QString& text, bool header = false)
{
    for (QLabel* label : c.findChildren<QLabel*>())
        if (header ? label->objectName() == u"sectionHeader"_s && label->text() == text
                   : label->text().contains(text))
            return label;
    return nullptr;
}

} // namespace

class TestClient : public QObject, ClientFixture
{
    Q_OBJECT
    const QStringList kSenders = {u"Bob"_s, u"bob"_s, u"COM: R&D"_s}; // like a tab title or a shortcut

    // Enters `entry` in the dialog behind the server line's "change"; returns what the dialog then showed.
    QString changeServer(const QString& entry)
    {
        QString seen;
        testenv::whenModal([&](QWidget* dialog) {
            auto* field = dialog->findChild<QLineEdit*>();
            field->setText(entry);
            QTest::keyClick(field, Qt::Key_Return);
            for (QLabel* label : dialog->findChildren<QLabel*>())
                seen += label->isVisible() ? label->text() : QString();
            if (dialog->isVisible())
                qobject_cast<QDialog*>(dialog)->reject();
        });
        emit P::serverLabel(*client)->linkActivated(u"change"_s);
        return seen;
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
    // Logged in, no room list requests to blur the line counts; in room Alpha at 10.8.0.2 if `enter`.
    bool quietLobby(bool enter = false)
    {
        if (!loggedIn())
            return false;
        P::refreshTimer(*client)->stop();
        return !enter || joined();
    }
    // True once `list` shows `entries`, sent under `key`.
    bool listed(const QString& cmd, const QString& key, QListWidget* list, const QJsonArray& entries)
    {
        list->clear(); // so that a list of the same length is told apart
        lobby->send({{u"cmd"_s, cmd}, {key, entries}});
        return testwait::until([&] { return list->count() == entries.size(); });
    }
    bool peersListed(const QJsonArray& peers)
    {
        return listed(u"room_update"_s, u"peers"_s, P::peerList(*client), peers);
    }
    void privateFrom(const QString& sender, const QString& text)
    {
        lobby->send(control::message(u"private_message"_s, {{u"sender"_s, sender}, {u"message"_s, text}}));
    }
    bool privateTabsFrom(const QStringList& senders)
    {
        for (const QString& sender : senders)
            privateFrom(sender, u"<u>one</u>"_s);
        return testwait::until([&] { return P::mainTabs(*client)->count() == senders.size() + 1; });
    }
    // The input, send button and view of the row's chat: 0 the room's, 1 the lobby's, 2 Bob's private one.
    std::tuple<QLineEdit*, QPushButton*, QTextEdit*> chat()
    {
        QFETCH(int, kind);
        VLANClient& c = *client;
        if (kind < 2)
            return kind ? std::tuple(P::globalChatInput(c), P::globalSendButton(c), P::globalChatView(c))
                        : std::tuple(P::roomChatInput(c), P::roomSendButton(c), P::roomChatView(c));
        P::openPrivateChat(c, u"Bob"_s);
        QWidget* bob = P::privateChatTabs(c).value(u"Bob"_s);
        return {bob->findChild<QLineEdit*>(), bob->findChild<QPushButton*>(), bob->findChild<QTextEdit*>()};
    }
    void chats()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("echo"); // public lines show only once the server sends them back
        QTest::newRow("room") << 0 << u"chat"_s << QString() << QString();
        QTest::newRow("lobby") << 1 << u"global_chat"_s << QString() << QString();
        QTest::newRow("private") << 2 << u"private_message"_s << u"Bob"_s << u"Me: "_s;
    }

private slots:
    void init() { reset(); }
    // Each widget a page places sits in its parent's layout, shows with its page and lies within its
    // parent: one dropped from its layout is still found by name, but not seen.
    void placedWidgetsAreLaidOutAndShown()
    {
        QVERIFY(quietLobby(true));
        VLANClient& c = *client;
        const auto title = [&](const QString& text) { return labelWith(c, text, true); };
        const auto text = [&](const QString& part) { return labelWith(c, part); };
        QWidget* titleBar = P::titleBarLabel(c)->parentWidget();
        QWidget* showcase = P::loginPage(c)->findChild<QScrollArea*>();
        QList<QWidget*> login = {titleBar, P::titleBarLabel(c), P::nicknameInput(c), P::connectButton(c),
                                 P::serverLabel(c), text(u"PLAYER NICKNAME"_s), text(u"PLAY LAN GAMES."_s),
                                 text(u"BETA 0.4.1  •  SECURE CONNECTION"_s), showcase,
                                 text(u"WORKS WITH ANY LAN TITLE, INCLUDING:"_s)};
        for (QPushButton* button : titleBar->findChildren<QPushButton*>()) // minimise, maximise, close
            login << button;
        const QList<std::pair<QWidget*, QList<QWidget*>>> pages = {
            {P::loginPage(c), login},
            {P::lobbyPage(c),
             {title(u"AVAILABLE GAME ROOMS"_s), P::roomList(c), P::joinRoomButton(c), P::createRoomButton(c),
              title(u"GLOBAL LOBBY CHAT"_s), P::globalChatView(c), P::globalChatInput(c),
              P::globalSendButton(c), title(u"NETWORK ADAPTER MODE"_s), P::layer2Button(c),
              P::layer3Button(c), P::adapterModeLabel(c), P::privateAddressBox(c), P::portMapBox(c),
              title(u"ONLINE PLAYERS"_s), P::onlineUserList(c)}},
            {P::roomPage(c),
             {title(u"ROOM DIAGNOSTICS"_s), P::localIpLabel(c), P::copyIpButton(c), P::copyInviteButton(c),
              title(u"CONNECTED PLAYERS"_s), P::peerList(c), P::disconnectButton(c), title(u"ROOM CHAT"_s),
              P::roomChatView(c), P::roomChatInput(c), P::roomSendButton(c)}},
        };
        for (qsizetype p = 0; p < pages.size(); ++p) {
            const auto& [page, placed] = pages.at(p);
            P::pageStack(c)->setCurrentWidget(page == P::loginPage(c) ? page : P::mainTabs(c));
            P::mainTabs(c)->setCurrentWidget(page == P::roomPage(c) ? page : P::lobbyPage(c));
            QCoreApplication::sendPostedEvents(); // the page shown lays itself out
            for (qsizetype i = 0; i < placed.size(); ++i) {
                QWidget* w = placed.at(i);
                QWidget* parent = w ? w->parentWidget() : nullptr;
                QVERIFY2(parent && inLayout(parent->layout(), w) && w->isVisible() &&
                             !w->geometry().isEmpty() && parent->rect().contains(w->geometry()),
                         qPrintable(u"page %1, widget %2"_s.arg(p).arg(i)));
            }
        }
    }
    // The login page's strip of game icons moves only while that page is shown: no idle wake-ups.
    void showcaseMovesOnlyOnTheLoginPage()
    {
        QVERIFY(loggedIn());
        QVERIFY(!P::iconScrollTimer(*client)->isActive());
        P::pageStack(*client)->setCurrentWidget(P::loginPage(*client));
        QVERIFY(P::iconScrollTimer(*client)->isActive());
    }
    void modeButtonChoosesTheMode_data()
    {
        QTest::addColumn<QString>("clicks"); // the mode buttons clicked in turn, the last by key if byKey
        QTest::addColumn<bool>("byKey");
        QTest::addColumn<bool>("layer2");
        QTest::addColumn<QString>("label");
        const QString l2 =
            u"Host will automatically show up in the in-game LAN list. Best for older games."_s;
        const QString l3 = u"Maximum speed and lowest ping. You will need to manually type the Host's IP to "
                           u"connect. (10.8.x.x) "_s;
        QTest::newRow("at start")
            << QString() << false << false
            << u"Maximum speed and lowest ping. Enter the Host's IP manually inside your "
               u"game to connect."_s;
        QTest::newRow("layer 2") << u"2"_s << false << true << l2;
        // A click on the checked button flips it off first; the slot turns it back on.
        QTest::newRow("layer 2 again") << u"22"_s << false << true << l2;
        QTest::newRow("layer 3") << u"23"_s << false << false << l3;
        QTest::newRow("layer 3 again") << u"233"_s << false << false << l3;
        QTest::newRow("layer 2 by key") << u"32"_s << true << true << l2;
    }
    void modeButtonChoosesTheMode()
    {
        QFETCH(QString, clicks);
        QFETCH(bool, byKey);
        QFETCH(bool, layer2);
        shown();
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        for (qsizetype i = 0; i < clicks.size(); ++i) {
            QPushButton* button = clicks.at(i) == u'2' ? P::layer2Button(*client) : P::layer3Button(*client);
            P::adapterModeLabel(*client)->setText(u"scribble"_s);
            byKey&& i == clicks.size() - 1 ? QTest::keyClick(button, Qt::Key_Space)
                                           : QTest::mouseClick(button, Qt::LeftButton);
        }
        QCOMPARE(P::layer2Mode(*client), layer2);
        QCOMPARE(P::layer2Button(*client)->isChecked(), layer2);
        QCOMPARE(P::layer3Button(*client)->isChecked(), !layer2);
        QTEST(P::adapterModeLabel(*client)->text(), "label");
    }
    // What is no address nor name is refused; an address is kept and used at once.
    void serverChangeIsCheckedAndKept()
    {
        shown();
        const QString refusal = changeServer(u"lobby_example:7777"_s);
        QVERIFY2(refusal.contains(u"is neither an IPv4 or IPv6 address nor a host name"_s),
                 qPrintable(refusal));
        const QString server = QString::fromLatin1(lobby->endpoint());
        changeServer(server);
        QCOMPARE(settings.value(u"server"_s).toString(), server);
        // The whole address stands in the tooltip; the line itself may be elided where fonts run wide.
        QVERIFY(P::serverLabel(*client)->toolTip().contains(server) && lobby->waitForClient());
        // Heartbeats go to the new server too.
        QVERIFY(udp::samePeer(P::tunnel(*client)->relay(), udp::parsePeer("127.0.0.1", lobby->port())));
        qunsetenv("PELLORA_SERVER");
        VLANClient next;
        QTRY_COMPARE(lobby->connections, 2);
    }
    void longServerNameGivesWayToTheLink_data()
    {
        QTest::addColumn<QString>("reached");
        QTest::newRow("name") << QString();
        QTest::newRow("name reached at a long IPv6 address") << u"2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff"_s;
    }
    // At the default size a long name gives way (whole in the tooltip), not the link after "· sealed ·".
    void longServerNameGivesWayToTheLink()
    {
        QFETCH(QString, reached);
        const QString name = u"a-rather-long-lobby-name.games.example.invalid"_s;
        shown(name.toLatin1() + ":7777");
        P::seemSealed(*client, reached);
        P::showServerLine(*client);
        QLabel* line = P::serverLabel(*client);
        QVERIFY2(line->sizeHint().width() <= line->contentsRect().width(),
                 qPrintable(u"%1 > %2"_s.arg(line->sizeHint().width()).arg(line->contentsRect().width())));
        QVERIFY2(line->text().contains(u"…"_s) && line->text().contains(u" · sealed · <a href"_s),
                 qPrintable(line->text()));
        QCOMPARE(line->toolTip(), ::lobby::describeEndpoint({name, 7777}, reached));
    }
    void settingsAreRemembered_data()
    {
        QTest::addColumn<QString>("words");
        QTest::addColumn<bool>("atFirst");
        QTest::newRow("private address, off at first")
            << u"Keep my address private (play through the server only)"_s << false;
        QTest::newRow("a port on the router, on at first") << u"Open a port on my router"_s << true;
    }
    // Its words toggle it too.
    void settingsAreRemembered()
    {
        QFETCH(QString, words);
        QFETCH(bool, atFirst);
        const auto router = std::make_shared<fakerouter::Router>(); // the box is off without one
        portmap::replaceSystemRouter(
            [router] { return std::make_unique<fakerouter::FakeRouter>(router); });
        const auto box = [&] {
            return atFirst ? P::portMapBox(*client) : P::privateAddressBox(*client);
        };
        shown();
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client)); // where it lives
        QCOMPARE(box()->isChecked(), atFirst);
        const QList<QLabel*> labels = P::lobbyPage(*client)->findChildren<QLabel*>();
        const auto label =
            std::find_if(labels.begin(), labels.end(), [&](QLabel* l) { return l->text() == words; });
        QVERIFY(label != labels.end());
        QTest::mouseClick(*label, Qt::LeftButton);
        client.reset();
        shown();
        QCOMPARE(box()->isChecked(), !atFirst);
        portmap::replaceSystemRouter([] { return nullptr; });
    }
    void dragOnTheFrame_data()
    {
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QRect>("geometry"); // from (100, 100, 1080, 720)
        const QRect start(100, 100, 1080, 720);
        QTest::newRow("on the title, moves")
            << QPoint(600, 20) << QPoint(660, 60) << start.translated(60, 40);
        QTest::newRow("within the drag distance, a click") << QPoint(600, 20) << QPoint(602, 21) << start;
        // The left edge cannot push the window below its minimum width.
        QTest::newRow("on the left edge, to the minimum width")
            << QPoint(3, 300) << QPoint(603, 330) << start.adjusted(180, 0, 0, 0);
    }
    void dragOnTheFrame()
    {
        SKIP_WHERE_THE_SYSTEM_DRIVES_THE_FRAME();
        QFETCH(QPoint, press);
        QFETCH(QPoint, to);
        QFETCH(QRect, geometry);
        shown();
        QTest::mousePress(client->windowHandle(), Qt::LeftButton, {}, press);
        QTest::mouseMove(client->windowHandle(), to);
        QTRY_COMPARE(client->geometry(), geometry);
        QTest::mouseRelease(client->windowHandle(), Qt::LeftButton, {}, to);
    }
    void doubleClickOnTheTitleTogglesMaximised()
    {
        SKIP_WHERE_THE_SYSTEM_DRIVES_THE_FRAME();
        shown();
        const QRect normal = client->geometry();
        const QPoint title = P::titleBarLabel(*client)->geometry().center();
        for (const auto& [at, maximized] : // the title toggles, the pages do nothing
             {std::pair(title, true), {title, false}, {QPoint(600, 300), false}}) {
            QTest::mouseDClick(client->windowHandle(), Qt::LeftButton, {}, at);
            QTRY_VERIFY(client->isMaximized() == maximized && (maximized || client->geometry() == normal));
        }
    }
    // A resize cursor over the edges only, and none left behind.
    void resizeCursorsShowAtTheEdges()
    {
        SKIP_WHERE_THE_SYSTEM_DRIVES_THE_FRAME();
        shown();
        QWindow* window = client->windowHandle();
        auto cursorAt = [window](QPoint p) {
            QTest::mouseMove(window, p);
            return QGuiApplication::overrideCursor() ? QGuiApplication::overrideCursor()->shape()
                                                     : Qt::ArrowCursor;
        };
        QCOMPARE(cursorAt(QPoint(client->width() - 2, client->height() - 2)), Qt::SizeFDiagCursor);
        QCOMPARE(cursorAt(QPoint(500, 300)), Qt::ArrowCursor);
        QVERIFY(!QGuiApplication::overrideCursor()); // nothing left on the stack
        QCOMPARE(cursorAt(QPoint(3, 300)), Qt::SizeHorCursor);
        QEvent leave(QEvent::Leave);
        QGuiApplication::sendEvent(window, &leave);
        QVERIFY(!QGuiApplication::overrideCursor());
    }
    // The top band over the close button resizes; below it the button closes.
    void closeButtonClosesBelowTheResizeBand()
    {
        SKIP_WHERE_THE_SYSTEM_DRIVES_THE_FRAME();
        shown();
        const QPoint close = P::closeButton(*client)->mapTo(client.get(), QPoint(20, 20));
        QTest::mouseClick(client->windowHandle(), Qt::LeftButton, {}, QPoint(close.x(), 4));
        QVERIFY(client->isVisible());
        QTest::mouseClick(client->windowHandle(), Qt::LeftButton, {}, close);
        QTRY_VERIFY(!client->isVisible());
    }
    void hoveredTitleButtonLightsUp_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QColor>("background");
        QTest::newRow("minimise") << u"Minimize"_s << QColor(0x1f1f23);
        QTest::newRow("maximise") << u"Maximize"_s << QColor(0x1f1f23);
        QTest::newRow("close") << u"Close"_s << QColor(0xd32f2f);
    }
    // Its glyph shows grey; hovered, its background takes its colour and the glyph turns white, grey
    // again once left.
    void hoveredTitleButtonLightsUp()
    {
        QFETCH(QString, button);
        shown();
        QPushButton* target = nullptr;
        for (QPushButton* b : client->findChildren<QPushButton*>())
            target = b->toolTip() == button ? b : target;
        const auto lightest = [target] {
            const QImage face = target->grab().toImage();
            int most = 0;
            for (int y = 0; y < face.height(); ++y)
                for (int x = 0; x < face.width(); ++x)
                    most = std::max(most, face.pixelColor(x, y).lightness());
            return most;
        };
        QVERIFY2(lightest() > 100, qPrintable(QString::number(lightest()))); // before any hover
        // The pointer comes from elsewhere (a move to where it already is counts for nothing).
        for (const QPoint p :
             {QPoint(500, 300), QPoint(501, 300), target->mapTo(client.get(), QPoint(22, 20))})
            QTest::mouseMove(client->windowHandle(), p);
        QVERIFY(target->underMouse());
        QTEST(target->grab().toImage().pixelColor(2, 2), "background");
        QVERIFY2(lightest() > 180, qPrintable(QString::number(lightest())));
        QTest::mouseMove(client->windowHandle(), QPoint(500, 300));
        QVERIFY(!target->underMouse());
        QVERIFY2(lightest() < 160, qPrintable(QString::number(lightest())));
    }
    // Crown and lock show gold even without an emoji font (ctest runs this once so).
    void crownAndLockAreDrawn()
    {
        if (kOnWindows) // which font draws a symbol, and in what colour, is the system's there
            QSKIP("Windows fonts decide; under wine a text font claims the crown and draws it in one colour");
        shown();
        P::pageStack(*client)->setCurrentWidget(P::mainTabs(*client));
        P::mainTabs(*client)->addTab(P::roomPage(*client), u"room"_s);
        for (QListWidget* list : {P::roomList(*client), P::peerList(*client)}) {
            P::mainTabs(*client)->setCurrentIndex(list == P::peerList(*client));
            list->addItems({u"bob 👑 - 10.8.0.1"_s, u"Alpha 🔒"_s, u"plain"_s});
            list->doItemsLayout(); // the view would lay its items out late
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
        const QString server = QString::fromLatin1(lobby->endpoint());
        lobby->server.close();
        shown(lobby->endpoint());
        QVERIFY(loginPageShows(u"Cannot reach %1 — retrying every 3 s"_s.arg(server)));
        P::nicknameInput(*client)->setText(u"   "_s);
        P::connectButton(*client)->click();
        QVERIFY(!settings.contains(u"username"_s));
        P::nicknameInput(*client)->setText(u"  Bob "_s);
        QTest::keyClick(P::nicknameInput(*client), Qt::Key_Return);
        QVERIFY(settings.value(u"username"_s) == u"Bob"_s && !P::reconnectDialog(*client)->isVisible());
        QVERIFY(lobby->server.listen(QHostAddress::LocalHost, lobby->port()) && lobby->waitForClient());
        QCOMPARE(lobby->waitForCommand(u"login"_s).value(u"username"_s).toString(), u"Bob"_s);
        QVERIFY(loginPageShows(u"Connected to %1"_s.arg(server)));
        P::connectButton(*client)->click(); // each press logs in again
        QTRY_COMPARE(lobby->count(u"login"_s), 2);
        QCOMPARE(P::pageStack(*client)->currentWidget(), P::loginPage(*client));
    }
    void loginStartsHeartbeatsAndRoomRefresh()
    {
        QVERIFY(loggedIn());
        QCOMPARE(P::clientId(*client), u"c1"_s);
        QVERIFY(P::tunnel(*client)->heartbeatTimer()->isActive() && P::refreshTimer(*client)->isActive());
        QCOMPARE(P::tunnel(*client)->heartbeatTimer()->interval(), 2000);
        QCOMPARE(P::refreshTimer(*client)->interval(), 5000);
    }
    void controlLinesAreReadWhole_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("rest"); // sent once the client has read the first part
        QTest::addColumn<QStringList>("rooms");
        const QByteArray x = "{\"cmd\":\"room_list\",\"rooms\":[\"X\"]}";
        QTest::newRow("two in one segment, in order")
            << QByteArray("{\"cmd\":\"room_list\",\"rooms\":[\"A\",\"B\",\"C\"]}\n"
                          "{\"cmd\":\"room_list\",\"rooms\":[\"D\",\"E 🔒\"]}\r")
            << QByteArray() << QStringList{u"D"_s, u"E 🔒"_s};
        QTest::newRow("junk and a mis-cased command")
            << x + "\ngarbage\n[1]\n{\"cmd\":\"ROOM_LIST\",\"rooms\":[]}" << QByteArray()
            << QStringList{u"X"_s};
        QTest::newRow("half a line") << x.left(22) << x.mid(22) << QStringList{u"X"_s};
    }
    void controlLinesAreReadWhole()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, rest);
        QVERIFY(loggedIn());
        QSignalSpy read(P::tcpSocket(*client), &QIODevice::readyRead);
        lobby->sendRaw(first);
        QVERIFY(read.wait());
        // A last line of another kind: what came before it has been handled.
        lobby->sendRaw(rest + "\n\n{\"cmd\":\"online_users\",\"users\":[\"end\"]}\n");
        QTRY_COMPARE(P::onlineUserList(*client)->count(), 1);
        QTEST(texts(P::roomList(*client)), "rooms");
    }
    // Lists are replaced wholesale; what is no text shows blank.
    void listsAreReplacedWholesale()
    {
        QListWidget* rooms = nullptr;
        QVERIFY(loggedIn() &&
                listed(u"room_list"_s, u"rooms"_s, rooms = P::roomList(*client), {u"A"_s, u"B"_s}));
        rooms->setCurrentRow(1);
        lobby->sendRaw("{\"cmd\":\"room_list\",\"rooms\":[\"X\"]}\n"
                       "{\"cmd\":\"online_users\",\"users\":[\"Alice\",7,\"Bob\"]}\n");
        QTRY_COMPARE(texts(P::onlineUserList(*client)), QStringList({u"Alice"_s, QString(), u"Bob"_s}));
        QCOMPARE(texts(rooms), QStringList{u"X"_s});
        QVERIFY(!rooms->currentItem());
    }
    void errorBoxHoldsBackTheLinesBehindIt()
    {
        QListWidget* rooms = nullptr;
        QVERIFY(loggedIn() && listed(u"room_list"_s, u"rooms"_s, rooms = P::roomList(*client), {u"A"_s}));
        int listedWhileOpen = -1;
        testenv::whenModal([&](QWidget* box) {
            // A later line reaching the socket shows that the client could have read on.
            QTcpSocket* socket = P::tcpSocket(*client);
            const qint64 queued = socket->bytesAvailable();
            lobby->sendRaw("{\"cmd\":\"online_users\",\"users\":[]}\n");
            (void)testwait::until([&] { return socket->bytesAvailable() > queued; });
            listedWhileOpen = rooms->count();
            qobject_cast<QMessageBox*>(box)->accept();
        });
        lobby->sendRaw("{\"cmd\":\"error\",\"message\":\"first\"}\n{\"cmd\":\"room_list\"}\n");
        QTRY_COMPARE(rooms->count(), 0);
        QCOMPARE(listedWhileOpen, 1);
    }
    void endlessLineIsCutOff()
    {
        QVERIFY(loggedIn());
        lobby->sendRaw(QByteArray(control::kClientMaxPendingLine + 64 * 1024, 'a'));
        QTRY_COMPARE(lobby->count(u"login"_s), 2);
    }
    // Names that look like a tab title or a shortcut still map back to their sender.
    void privateTabsMapBackToTheirSender()
    {
        QVERIFY(loggedIn() && privateTabsFrom(kSenders));
        QCOMPARE(P::mainTabs(*client)->tabText(3), u"COM: COM: R&&D"_s);
        QCOMPARE(P::privateChatTabs(*client).value(u"Bob"_s)->findChild<QLineEdit*>()->placeholderText(),
                 u"Direct message to Bob..."_s);
        for (const QString& user : kSenders)
            QCOMPARE(P::privateChatViews(*client).value(user)->toPlainText(), user + u": <u>one</u>"_s);
    }
    // A new line reuses the sender's tab and brings it to the front; so does opening it from the lobby.
    void privateTabIsReusedAndBroughtForward()
    {
        QVERIFY(loggedIn() && privateTabsFrom(kSenders));
        QTabWidget* tabs = P::mainTabs(*client);
        privateFrom(u"Bob"_s, u"two"_s);
        QTRY_COMPARE(tabs->currentIndex(), 1);
        QCOMPARE(P::privateChatViews(*client).value(u"Bob"_s)->toPlainText(), u"Bob: <u>one</u>\nBob: two"_s);
        P::openPrivateChat(*client, u"COM: R&D"_s);
        QVERIFY(tabs->currentIndex() == 3 && tabs->count() == 4);
    }
    // Closing a tab forgets it at once; the sender's next line opens it afresh.
    void closedPrivateTabComesBackEmpty()
    {
        QVERIFY(loggedIn() && privateTabsFrom(kSenders));
        QTabWidget* tabs = P::mainTabs(*client);
        for (const QString& user : kSenders) {
            QPointer<QWidget> page = P::privateChatTabs(*client).value(user);
            clickTabClose(tabs, page);
            QCOMPARE(tabs->indexOf(page), -1); // at once, not only when the page goes
            QVERIFY(!P::privateChatTabs(*client).contains(user) &&
                    !P::privateChatViews(*client).contains(user));
            QTRY_VERIFY(page.isNull());
        }
        privateFrom(u"bob"_s, u"new"_s);
        QTRY_COMPARE(tabs->count(), 2);
        QCOMPARE(P::privateChatViews(*client).value(u"bob"_s)->toPlainText(), u"bob: new"_s);
    }
    // Others get "Send Message" (a tab, nothing sent) and "Invite to Room" (their whole name); we get none.
    void onlineUserMenu()
    {
        QListWidget* online = nullptr;
        QVERIFY(quietLobby() && listed(u"online_users"_s, u"users"_s, online = P::onlineUserList(*client),
                                       {u"Alice"_s, u"alice"_s, u"Bob - 2"_s}));
        const qsizetype before = lobby->settledCount(*client);
        QVERIFY(rightClickMenu(online, 0).isEmpty());
        QCOMPARE(rightClickMenu(online, 1), QStringList({u"Send Message"_s, u"Invite to Room"_s}));
        QCOMPARE(lobby->settledCount(*client), before);
        QVERIFY(!rightClickMenu(online, 2, u"Invite to Room"_s).isEmpty());
        QCOMPARE(lobby->waitForCommand(u"invite"_s).value(u"target"_s).toString(), u"Bob - 2"_s);
        QVERIFY(!rightClickMenu(online, 1, u"Send Message"_s).isEmpty());
        QCOMPARE(P::mainTabs(*client)->currentWidget(), P::privateChatTabs(*client).value(u"alice"_s));
        QCOMPARE(lobby->settledCount(*client), before + 1);
    }
    // Enter deploys; every opening starts afresh; a key typed while "Locked" was chosen is still sent.
    void createRoomSendsTheChoices()
    {
        QVERIFY(loggedIn());
        for (const auto& [name, game, access, sent] :
             {std::tuple(u"  100%1 "_s, u"Minecraft"_s, u"Public"_s, u"[Minecraft] 100%1"_s),
              {u"Alpha"_s, u"Any / Custom Game"_s, u"Private"_s, u"Alpha"_s}}) {
            withDialog([&](QDialog* dialog, QLineEdit* nameField, QComboBox* games, QComboBox* accessBox) {
                QVERIFY(nameField->text().isEmpty() && games->currentIndex() == 0 && games->count() == 14);
                QLineEdit* key = dialog->findChildren<QLineEdit*>().value(1);
                accessBox->setCurrentText(u"Locked"_s);
                QVERIFY(key->isVisible());
                key->setText(u" k "_s);
                accessBox->setCurrentText(access);
                QVERIFY(!key->isVisible());
                games->setCurrentText(game);
                QTest::keyClicks(nameField, name);
                QTest::keyClick(nameField, Qt::Key_Return);
            });
            QTRY_COMPARE(lobby->last(u"create_room"_s),
                         layer(3, control::message(u"create_room"_s, {{u"room_name"_s, sent},
                                                                      {u"privacy_mode"_s, access.toLower()},
                                                                      {u"password"_s, u" k "_s}})));
        }
    }
    void joinFromTheList_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<QString>("key");      // the prompt's answer, when it asks
        QTest::addColumn<QString>("sentName"); // empty: the prompt was cancelled, nothing sent
        QTest::newRow("open") << u"Bravo"_s << false << QString() << u"Bravo"_s;
        QTest::newRow("locked") << u"A [Locked]"_s << false << u" k 1 "_s << u"A"_s;
        QTest::newRow("lock sign, empty key") << u"A 🔒"_s << true << QString() << u"A"_s;
        QTest::newRow("private, cancelled") << u"A [Private]"_s << false << QString() << QString();
    }
    void joinFromTheList()
    {
        QFETCH(QString, entry);
        QFETCH(bool, doubleClick);
        QFETCH(QString, key);
        QFETCH(QString, sentName);
        QListWidget* list = nullptr;
        QVERIFY(quietLobby() &&
                listed(u"room_list"_s, u"rooms"_s, list = P::roomList(*client), {u"Zulu"_s, entry}));
        P::joinRoomButton(*client)->click(); // nothing selected: nothing sent
        const qsizetype before = lobby->settledCount(*client);
        QStringList prompt;
        answerNextKeyPrompt(&prompt, sentName.isEmpty() ? std::nullopt : std::optional(key));
        const QPoint at = list->visualItemRect(list->item(1)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        doubleClick ? QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at)
                    : P::joinRoomButton(*client)->click();
        QCOMPARE(prompt, sentName == entry ? QStringList()
                                           : QStringList({u"Restricted Room"_s,
                                                          u"Provide access key for deployment:"_s, kMasked}));
        QCOMPARE(lobby->settledCount(*client), before + !sentName.isEmpty());
        if (!sentName.isEmpty())
            QCOMPARE(lobby->received.last(), layer(3, joinRoom(sentName, key)));
        QCOMPARE(P::mainTabs(*client)->count(), 1); // nothing changes until the server answers
    }
    // The server asks for the key; it goes in the mode chosen by then.
    void keyAskedForByTheServerIsSent()
    {
        QVERIFY(loggedIn());
        QStringList prompt;
        answerNextKeyPrompt(&prompt, u"  secret "_s);
        P::layer2Button(*client)->click();
        lobby->send(control::message(u"password_required"_s, {{u"room_name"_s, u"<b>A</b>"_s}}));
        QTRY_COMPARE(lobby->last(u"join_room"_s), layer(2, joinRoom(u"<b>A</b>"_s, u"  secret "_s)));
        QCOMPARE(prompt,
                 QStringList({u"Restricted Sector"_s, u"Provide access key for <b>A</b>:"_s, kMasked}));
    }
    // A fresh room page, titled without shortcuts; a join while in a room reuses the tab; modes locked.
    void joinOpensTheRoomTab()
    {
        QVERIFY(loggedIn());
        QTabWidget* tabs = P::mainTabs(*client);
        P::roomChatView(*client)->setPlainText(u"old room's talk"_s);
        for (const auto& [room, title] :
             {std::pair(u"Alpha"_s, u"Sector: Alpha"_s), {u"R&D"_s, u"Sector: R&&D"_s}}) {
            tabs->setCurrentIndex(0);
            QVERIFY(joined(room, u"10.8.0.5"_s));
            QCOMPARE(tabs->count(), 2);
            QCOMPARE(tabs->tabText(1), title);
            QCOMPARE(P::localIpLabel(*client)->text(), u"Local IP: 10.8.0.5"_s);
            QVERIFY(P::roomChatView(*client)->toPlainText().isEmpty());
            QVERIFY(!P::layer2Button(*client)->isEnabled() && !P::layer3Button(*client)->isEnabled());
        }
    }
    // Only the host gets a menu, on another member's row; an action targets the member's whole name.
    void peerMenu_data()
    {
        QTest::addColumn<bool>("weHost");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("choose");
        QTest::addColumn<QStringList>("entries");
        const QStringList both = {u"Kick Entity"_s, u"Transfer Host"_s};
        QTest::newRow("not the host") << false << 1 << QString() << QStringList();
        QTest::newRow("own row") << true << 0 << QString() << QStringList();
        QTest::newRow("empty space") << true << -1 << QString() << QStringList();
        QTest::newRow("kick") << true << 1 << both.at(0) << both;
        QTest::newRow("kick, dash in the name") << true << 2 << both.at(0) << both;
        QTest::newRow("transfer, crown in the name") << true << 3 << both.at(1) << both;
    }
    void peerMenu()
    {
        QFETCH(bool, weHost);
        QFETCH(int, row);
        QFETCH(QString, choose);
        QVERIFY(quietLobby(true) && peersListed(fourMembers(weHost)));
        QCOMPARE(P::roomState(*client).isHost(), weHost);
        const qsizetype before = lobby->settledCount(*client);
        QTEST(rightClickMenu(P::peerList(*client), row, choose), "entries");
        QCOMPARE(lobby->settledCount(*client), before + !choose.isEmpty());
        const QString cmd = choose.startsWith(u"Kick"_s) ? u"kick_player"_s : u"transfer_host"_s;
        if (!choose.isEmpty())
            QCOMPARE(
                lobby->received.last(),
                control::message(cmd, {{u"target"_s, fourMembers(true).at(row)[u"username"].toString()}}));
        QCOMPARE(P::peerList(*client)->count(), 4); // nothing changes until the server says so
    }
    // The crown marks every flagged member; the last one's address is the host's; "alice" is not us.
    void peerListShowsTheHost()
    {
        QVERIFY(quietLobby(true) &&
                peersListed({member(u"bob"_s, u"10.8.0.1"_s, true), member(u"Alice"_s, u"10.8.0.2"_s),
                             member(u"alice"_s, u"10.8.0.3"_s, true)}));
        QCOMPARE(P::peerList(*client)->item(0)->text(), u"bob 👑 - 10.8.0.1"_s);
        QCOMPARE(P::peerList(*client)->item(1)->text(), u"Alice - 10.8.0.2"_s);
        QCOMPARE(P::roomState(*client).hostVirtualIp(), u"10.8.0.3"_s);
        QVERIFY(!P::roomState(*client).isHost());
    }
    void copyIpCopiesTheHostsAddress_data()
    {
        QTest::addColumn<bool>("weHost");
        QTest::addColumn<QString>("caption"); // before the click
        QTest::addColumn<QString>("after");   // two seconds after it
        QTest::newRow("a member") << false << u"COPY GAME HOST IP"_s << u"COPY GAME HOST IP"_s;
        QTest::newRow("the host") << true << u"COPY MY HOST IP"_s << u"COPY HOST IP"_s;
    }
    // It copies the host's address and says so on the button for a moment.
    void copyIpCopiesTheHostsAddress()
    {
        QFETCH(bool, weHost);
        QVERIFY(quietLobby(true) && peersListed({member(u"bob"_s, u"10.8.0.3"_s, !weHost),
                                                 member(u"Alice"_s, u"10.8.0.2"_s, weHost)}));
        QPushButton* copy = P::copyIpButton(*client);
        QTEST(copy->text(), "caption");
        const QString normalSheet = copy->styleSheet();
        copy->click();
        QCOMPARE(QApplication::clipboard()->text(), weHost ? u"10.8.0.2"_s : u"10.8.0.3"_s);
        QVERIFY(copy->text() == u"✔ COPIED TO CLIPBOARD"_s && copy->styleSheet() != normalSheet);
        QTRY_VERIFY_WITH_TIMEOUT(copy->text() != u"✔ COPIED TO CLIPBOARD"_s, 3000);
        QTEST(copy->text(), "after");
        QCOMPARE(copy->styleSheet(), normalSheet);
    }
    // Junk members, none flagged host, and no own name: the host state stays; no members empties the list.
    void junkMembersLeaveTheHostState()
    {
        QVERIFY(quietLobby(true) && peersListed({member(u"Alice"_s, u"10.8.0.2"_s, true)}));
        lobby->sendRaw("{\"cmd\":\"room_update\",\"peers\":"
                       "[{\"username\":\"carol\",\"vip\":\"10.8.0.4\"},7]}\n");
        QTRY_COMPARE(texts(P::peerList(*client)), QStringList({u"carol - 10.8.0.4"_s, u" - "_s}));
        QVERIFY(P::roomState(*client).isHost() && P::roomState(*client).hostVirtualIp() == u"10.8.0.2"_s);
        lobby->sendRaw("{\"cmd\":\"room_update\"}\n");
        QTRY_COMPARE(P::peerList(*client)->count(), 0);
    }
    void leavingEndsTheRoom_data()
    {
        QTest::addColumn<bool>("kicked");
        QTest::newRow("room tab closed") << false;
        QTest::newRow("kicked, once the notice closes") << true;
    }
    // A kick's notice shows the server's text while the room, its adapter and the connection stay.
    void leavingEndsTheRoom()
    {
        QFETCH(bool, kicked);
        QVERIFY(quietLobby(true));
        lobby->received.clear();
        QVariantList whileOpen; // tabs, adapter running, lines sent
        const NextBox notice(QMessageBox::Ok, [&] {
            whileOpen = {P::mainTabs(*client)->count(), P::tunnel(*client)->adapterRunning(),
                         int(lobby->settledCount(*client))};
        });
        kicked ? lobby->send(control::message(u"kicked"_s, {{u"message"_s, u"<b>out</b>"_s}}))
               : clickTabClose(P::mainTabs(*client), P::roomPage(*client));
        QTRY_COMPARE(lobby->received.size(), 2);
        QCOMPARE(notice.title, kicked ? u"Connection Terminated"_s : QString());
        QCOMPARE(notice.text, kicked ? u"<b>out</b>"_s : QString());
        QCOMPARE(whileOpen, kicked ? QVariantList({2, true, 0}) : QVariantList());
        QVERIFY(lobby->received.at(0) == control::message(u"leave_room"_s) &&
                lobby->count(u"get_rooms"_s) == 1);
        QCOMPARE(P::mainTabs(*client)->count(), 1);
        QCOMPARE(P::mainTabs(*client)->currentWidget(), P::lobbyPage(*client));
        QVERIFY(P::layer2Button(*client)->isEnabled() && P::layer3Button(*client)->isEnabled());
        QVERIFY(!P::tunnel(*client)->adapterRunning());
        QVERIFY(joined()); // and a room can be entered again
    }
    void chatSendsTrimmedLines_data() { chats(); }
    // Blank lines stay; Enter or the button send the line trimmed, to the chat's target.
    void chatSendsTrimmedLines()
    {
        QFETCH(QString, cmd);
        QFETCH(QString, echo);
        QVERIFY(quietLobby(true));
        const auto [input, send, view] = chat();
        const qsizetype before = lobby->settledCount(*client);
        input->setText(u"   "_s);
        QTest::keyClick(input, Qt::Key_Return);
        send->click();
        QCOMPARE(lobby->settledCount(*client), before);
        input->setText(u"  hello <b>x</b> "_s);
        QTest::keyClick(input, Qt::Key_Return);
        QTRY_COMPARE(lobby->count(cmd), 1);
        QCOMPARE(lobby->last(cmd).value(u"message"_s).toString(), u"hello <b>x</b>"_s);
        QTEST(lobby->last(cmd).value(u"target"_s).toString(), "target");
        QVERIFY(input->text().isEmpty());
        QCOMPARE(view->toPlainText(), echo.isEmpty() ? echo : echo + u"hello <b>x</b>"_s);
        input->setText(u"again"_s);
        send->click();
        QTRY_COMPARE(lobby->count(cmd), 2);
    }
    void chatTypedWhileDownGoesOnceBack_data() { chats(); }
    // While the connection is down a notice shows, nothing goes out and the typed text stays, to go once
    // the connection is back (one 3 s retry) and logged in again.
    void chatTypedWhileDownGoesOnceBack()
    {
        QFETCH(QString, cmd);
        QFETCH(QString, echo);
        QVERIFY(quietLobby(true));
        const auto [input, send, view] = chat();
        lobby->dropClient();
        QTRY_VERIFY(P::tcpSocket(*client)->state() == QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(P::reconnectDialog(*client)->isVisible());
        input->setText(u"while down"_s);
        QTest::keyClick(input, Qt::Key_Return);
        QCOMPARE(input->text(), u"while down"_s);
        QTRY_COMPARE_WITH_TIMEOUT(lobby->count(u"login"_s), 2, 4500);
        QTRY_VERIFY(!P::reconnectDialog(*client)->isVisible());
        send->click();
        QTRY_COMPARE(lobby->last(cmd).value(u"message"_s).toString(), u"while down"_s);
        QCOMPARE(lobby->count(cmd), 1);
        QCOMPARE(view->toPlainText(), echo.isEmpty() ? echo : echo + u"while down"_s);
    }
    // Other players' text shows literally; a paragraph separator cannot forge another player's line.
    void otherPlayersTextShowsLiterally()
    {
        QVERIFY(quietLobby(true));
        lobby->send(
            control::message(u"chat"_s, {{u"sender"_s, u"<i>Eve</i>"_s},
                                         {u"message"_s, u"<img src=x.png> & <b>hi</b>\u2029bob: forged"_s}}));
        lobby->sendRaw("{\"cmd\":\"chat\",\"sender\":\"bob\",\"message\":\"second\"}\n");
        QTRY_COMPARE(P::roomChatView(*client)->toPlainText(),
                     u"<i>Eve</i>: <img src=x.png> & <b>hi</b> bob: forged\nbob: second"_s);
    }
};

PELLORA_TEST_MAIN(TestClient)
#include "test_client.moc"
