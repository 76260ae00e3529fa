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

struct Peer {
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
        QSettings(QStringLiteral("Zentho"), QStringLiteral("Launcher")).clear();
        lobby = std::make_unique<FakeLobby>();
    }

    bool loggedIn(const QString& name) { return (client = lobby->loggedInClient(name)) != nullptr; }
    qsizetype settledCount() { return lobby->settledCount(); }

    // Sends `cmd` with `entries` under `key`; true once `list` shows them.
    bool listed(const QString& cmd, const QString& key, QListWidget* list, const QStringList& entries)
    {
        list->clear(); // so that a list of the same length is told apart
        lobby->send({{QStringLiteral("cmd"), cmd}, {key, QJsonArray::fromStringList(entries)}});
        return QTest::qWaitFor([&] { return list->count() == entries.size(); });
    }
    bool roomsListed(const QStringList& r) { return listed(QStringLiteral("room_list"), QStringLiteral("rooms"), P::roomList(*client), r); }
    bool usersListed(const QStringList& u) { return listed(QStringLiteral("online_users"), QStringLiteral("users"), P::onlineUserList(*client), u); }

    // join_ok; unless `realAdapter`, the back-end counts as running already.
    bool joined(const QString& room, const QString& vip, bool realAdapter = false)
    {
        if (!realAdapter)
            P::wintunRunning(*client) = true;
        lobby->send(control::message(QStringLiteral("join_ok"), {{QStringLiteral("vip"), vip}, {QStringLiteral("room_name"), room}}));
        return QTest::qWaitFor([this] { return P::mainTabs(*client)->currentWidget() == P::roomPage(*client); });
    }

    bool peersListed(const QList<Peer>& peers)
    {
        QJsonArray array;
        for (const Peer& p : peers)
            array.append(QJsonObject{{QStringLiteral("username"), p.name}, {QStringLiteral("vip"), p.vip}, {QStringLiteral("is_host"), p.host}});
        P::peerList(*client)->clear();
        lobby->send({{QStringLiteral("cmd"), QStringLiteral("room_update")}, {QStringLiteral("peers"), array}});
        return QTest::qWaitFor([&] { return P::peerList(*client)->count() == peers.size(); });
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
    for (const QNetworkAddressEntry& e : QNetworkInterface::interfaceFromName(QString::fromLatin1(name)).addressEntries())
        if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return e.ip().toString();
    return {};
}

// Right-clicks a row (empty space when row < 0) and answers the menu, if one
// comes: records its entries and clicks `choose`, or dismisses it. The menu
// runs inside the click, so nothing is left to wait for afterwards.
struct MenuSeen {
    QStringList actions;
    bool seen = false;
};
inline MenuSeen rightClickMenu(QListWidget* list, int row, const QString& choose = {})
{
    MenuSeen seen;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu && clock.elapsed() < 1500)
            return;
        poll.stop();
        if (!menu)
            return;
        seen.seen = true;
        QAction* wanted = nullptr;
        for (QAction* action : menu->actions())
            if ((seen.actions << action->text()).last() == choose)
                wanted = action;
        if (wanted) {
            QTest::mouseMove(menu, menu->actionGeometry(wanted).center());
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(wanted).center());
        }
        if (QApplication::activePopupWidget() == menu)
            menu->close();
    });
    poll.start(10);
    const QPoint pos = row >= 0 ? list->visualItemRect(list->item(row)).center() : QPoint(5, list->viewport()->height() - 3);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(list->viewport(), &event);
    return seen;
}

struct PromptSeen {
    QString title;
    QString label;
    bool masked = false;
    bool plainLabel = false;
    bool seen = false;
};

// Answers the next key prompt with `key` as typed, or cancels it. A later call
// takes over from an earlier one whose prompt never came.
inline void answerNextKeyPrompt(PromptSeen* seen, std::optional<QString> key)
{
    static int latest = 0;
    testenv::whenModal([seen, key, mine = ++latest](QWidget* widget) {
        if (mine != latest)
            return;
        auto* prompt = qobject_cast<QInputDialog*>(widget);
        if (prompt) {
            *seen = {prompt->windowTitle(), prompt->labelText(), prompt->textEchoMode() == QLineEdit::Password,
                     prompt->findChild<QLabel*>()->textFormat() == Qt::PlainText, true};
            prompt->setTextValue(key.value_or(QString()));
        }
        key && prompt ? prompt->accept() : qobject_cast<QDialog*>(widget)->reject();
    });
}

// Why the adapter test cannot run here; empty when it can.
inline QString& adapterUnavailable()
{
    static QString why;
    return why;
}

// Moves into a namespace of its own before any thread exists, so that all
// threads share it and every interface a join makes goes with the process.
#define ROOMS_TEST_MAIN(TestClass)                           \
    int main(int argc, char** argv)                          \
    {                                                        \
        adapterUnavailable() = netns::isolate();             \
        testenv::prepare();                                  \
        QApplication app(argc, argv);                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);             \
        TestClass tc;                                        \
        return QTest::qExec(&tc, argc, argv);                \
    }

// For the test that starts a real adapter.
#define ROOMS_REQUIRE_ADAPTER()                              \
    do {                                                     \
        if (!adapterUnavailable().isEmpty())                 \
            QSKIP(qPrintable(adapterUnavailable()));         \
    } while (false)
