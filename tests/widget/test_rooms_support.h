// Shared set-up of the room, chat, menu and create-room tests: a client logged
// in to the fake lobby, and helpers that answer menus and key prompts the way
// a player would.
//
// A join starts an adapter. Tests of what a join shows keep the client's
// layer-3 back-end marked as running, so the join leaves it alone and no root
// is needed; the one test that starts a real adapter does so as root in a
// network namespace the whole process moves into at start.
#pragma once

#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/netns.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QNetworkInterface>
#include <QPointer>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTest>
#include <optional>

using P = ClientProbe;
using namespace Qt::StringLiterals;

struct Peer
{
    QString name;
    QString vip;
    bool host = false;
};

class RoomHarness
{
public:
    std::unique_ptr<FakeLobby> lobby;
    std::unique_ptr<VLANClient> client;

    void reset()
    {
        client.reset();
        lobby.reset();
        QSettings(u"Zentho"_s, u"Launcher"_s).clear();
        lobby = std::make_unique<FakeLobby>();
    }

    bool loggedIn(const QString& name) { return (client = lobby->loggedInClient(name)) != nullptr; }
    qsizetype settledCount() { return lobby->settledCount(); }

    // Sends `cmd` with `entries` under `key`; true once `list` shows them.
    bool listed(const QString& cmd, const QString& key, QListWidget* list, const QJsonArray& entries)
    {
        list->clear(); // so that a list of the same length is told apart
        lobby->send({{u"cmd"_s, cmd}, {key, entries}});
        return QTest::qWaitFor([&] { return list->count() == entries.size(); });
    }
    bool roomsListed(const QStringList& r)
    {
        return listed(u"room_list"_s, u"rooms"_s, P::roomList(*client), QJsonArray::fromStringList(r));
    }
    bool usersListed(const QStringList& u)
    {
        return listed(u"online_users"_s, u"users"_s, P::onlineUserList(*client),
                      QJsonArray::fromStringList(u));
    }
    bool peersListed(const QList<Peer>& peers)
    {
        QJsonArray array;
        for (const Peer& p : peers)
            array.append(QJsonObject{{u"username"_s, p.name}, {u"vip"_s, p.vip}, {u"is_host"_s, p.host}});
        return listed(u"room_update"_s, u"peers"_s, P::peerList(*client), array);
    }

    // join_ok; unless `realAdapter`, the back-end counts as running already.
    bool joined(const QString& room, const QString& vip, bool realAdapter = false)
    {
        if (!realAdapter)
            P::wintunRunning(*client) = true;
        lobby->send(control::message(u"join_ok"_s, {{u"vip"_s, vip}, {u"room_name"_s, room}}));
        return QTest::qWaitFor(
            [this] { return P::mainTabs(*client)->currentWidget() == P::roomPage(*client); });
    }
};

// A fresh fake lobby for every test function, no client left after it.
class RoomTest : public QObject
{
    Q_OBJECT

protected:
    RoomHarness h;

private slots:
    void init() { h.reset(); }
    void cleanup()
    {
        h.client.reset();
        h.lobby.reset();
    }
};

// The IPv4 address of an interface of this namespace; empty when none.
inline QString interfaceAddress(const char* name)
{
    for (const QNetworkAddressEntry& e :
         QNetworkInterface::interfaceFromName(QString::fromLatin1(name)).addressEntries())
        if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return e.ip().toString();
    return {};
}

// Right-clicks a row (empty space when row < 0) and answers the menu, if one
// comes: clicks `choose`, or dismisses it. Returns the menu's entries (none:
// no menu). The menu runs inside the click, so nothing is left to wait for.
inline QStringList rightClickMenu(QListWidget* list, int row, const QString& choose = {})
{
    QStringList seen;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu && clock.elapsed() < 1500)
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

// Answers the next key prompt with `key` as typed, or cancels it, and writes
// what it showed to `seen`: "title|label", then "|masked" and "|plain" when
// the key is hidden and the label is not read as markup. A later call takes
// over from an earlier one whose prompt never came.
inline void answerNextKeyPrompt(QString* seen, std::optional<QString> key)
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

// Why the adapter test cannot run here (empty when it can). main() moves the
// process into a namespace of its own before any thread exists, so that every
// interface a join makes goes with the process.
inline QString adapterUnavailable;

#define ROOMS_TEST_MAIN(TestClass)                                                                           \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        adapterUnavailable = netns::isolate();                                                               \
        testenv::prepare();                                                                                  \
        QApplication app(argc, argv);                                                                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestClass tc;                                                                                        \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
