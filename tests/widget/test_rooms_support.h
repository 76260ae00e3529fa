// Shared set-up of the room, chat, menu and create-room tests: a client logged
// in to a fake lobby, and helpers that answer popup menus and list clicks the
// way a player would.
//
// Joining a room starts a real adapter, so these tests move the whole process
// into a network namespace of its own first (as root): every interface a join
// makes stays there and disappears with the process. Where that is not
// possible, the tests that join a room are skipped.
#pragma once

#include "lobby/controlcodec.h"
#include "tests/support/clientprobe.h"
#include "tests/support/fakelobby.h"
#include "tests/support/testenv.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QInputDialog>
#include <QLabel>
#include <QJsonArray>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <cstring>
#include <memory>
#include <optional>

#ifdef __linux__
#include "net/netdev_linux.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using P = ClientProbe;

namespace roomtest {

inline QString& skipReason()
{
    static QString reason;
    return reason;
}

#ifdef __linux__
// Before any thread exists, so that all of them share the namespace.
inline void isolateNetwork()
{
    if (geteuid() != 0)
        skipReason() = QStringLiteral("needs root: joining a room starts a real adapter, kept in a private network namespace");
    else if (unshare(CLONE_NEWNET) != 0)
        skipReason() = QStringLiteral("cannot create a private network namespace");
    else
        netdev::setUp("lo");
}

// The IPv4 address of an interface of this namespace; empty when it has none
// or does not exist.
inline QString interfaceAddress(const char* name)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq data{};
    std::strncpy(data.ifr_name, name, IFNAMSIZ - 1);
    QString address;
    if (fd >= 0 && ioctl(fd, SIOCGIFADDR, &data) == 0)
        address = QHostAddress(reinterpret_cast<const sockaddr*>(&data.ifr_addr)).toString();
    if (fd >= 0)
        close(fd);
    return address;
}
#else
inline void isolateNetwork()
{
    skipReason() = QStringLiteral("joining a room starts a real adapter: only done in a Linux network namespace");
}

inline QString interfaceAddress(const char*)
{
    return {};
}
#endif

} // namespace roomtest

// For tests that join a room.
#define ROOMS_REQUIRE_ADAPTER()                                    \
    do {                                                           \
        if (!roomtest::skipReason().isEmpty())                     \
            QSKIP(qPrintable(roomtest::skipReason()));             \
    } while (false)

#define ROOMS_TEST_MAIN(TestClass)                   \
    int main(int argc, char** argv)                  \
    {                                                \
        roomtest::isolateNetwork();                  \
        testenv::prepare();                          \
        QApplication app(argc, argv);                \
        app.setAttribute(Qt::AA_Use96Dpi, true);     \
        TestClass tc;                                \
        return QTest::qExec(&tc, argc, argv);        \
    }

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

    // A shown client, logged in as `name`, in the lobby.
    bool loggedIn(const QString& name)
    {
        qputenv("PELLORA_SERVER", lobby->endpoint());
        client = std::make_unique<VLANClient>();
        client->show();
        if (!lobby->waitForClient())
            return false;
        P::nicknameInput(*client)->setText(name);
        P::connectButton(*client)->click();
        if (lobby->waitForCommand(QStringLiteral("login")).isEmpty())
            return false;
        lobby->send(control::message(QStringLiteral("login_ok"), {{QStringLiteral("client_id"), QStringLiteral("c1")}}));
        // The lobby is up once the first room list has been asked for.
        return !lobby->waitForCommand(QStringLiteral("get_rooms")).isEmpty() &&
               P::pageStack(*client)->currentWidget() == static_cast<QWidget*>(P::mainTabs(*client));
    }

    bool roomsListed(const QStringList& rooms)
    {
        lobby->send(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("room_list")},
                                {QStringLiteral("rooms"), QJsonArray::fromStringList(rooms)}});
        return QTest::qWaitFor([&] { return P::roomList(*client)->count() == rooms.size(); });
    }

    bool usersListed(const QStringList& users)
    {
        lobby->send(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("online_users")},
                                {QStringLiteral("users"), QJsonArray::fromStringList(users)}});
        return QTest::qWaitFor([&] { return P::onlineUserList(*client)->count() == users.size(); });
    }

    bool joined(const QString& room, const QString& vip)
    {
        lobby->send(control::message(QStringLiteral("join_ok"),
                                     {{QStringLiteral("vip"), vip}, {QStringLiteral("room_name"), room}}));
        return QTest::qWaitFor([this] { return P::mainTabs(*client)->currentWidget() == P::roomPage(*client); });
    }

    bool peersListed(const QList<Peer>& peers)
    {
        QJsonArray array;
        for (const Peer& p : peers)
            array.append(QJsonObject{{QStringLiteral("username"), p.name},
                                     {QStringLiteral("vip"), p.vip},
                                     {QStringLiteral("is_host"), p.host}});
        lobby->send(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("room_update")}, {QStringLiteral("peers"), array}});
        return QTest::qWaitFor([&] { return P::peerList(*client)->count() == peers.size(); });
    }

    // The latest line with this cmd (empty object if none).
    QJsonObject last(const QString& cmd) const
    {
        for (qsizetype i = lobby->received.size() - 1; i >= 0; --i)
            if (lobby->received.at(i).value(QStringLiteral("cmd")).toString() == cmd)
                return lobby->received.at(i);
        return {};
    }

    // Lets queued socket traffic arrive, then reports how many lines came.
    qsizetype settledCount()
    {
        QTest::qWait(150);
        return lobby->received.size();
    }
};

// Base of the test classes: a fresh fake lobby for every test function, and
// no client left over after it.
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

// A right click on a list row (or on empty space when row < 0), delivered to
// the viewport as the platform would.
inline void rightClick(QListWidget* list, int row)
{
    const QPoint pos =
        row >= 0 ? list->visualItemRect(list->item(row)).center() : QPoint(5, list->viewport()->height() - 3);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(list->viewport(), &event);
}

struct MenuSeen {
    QStringList actions;
    bool seen = false;
};

// Answers the next popup menu: records its entries, then clicks the one named
// `choose`, or dismisses the menu when `choose` is empty or absent.
inline QPointer<QTimer> answerNextMenu(MenuSeen* seen, const QString& choose, int timeoutMs = 1500)
{
    auto* poll = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, seen, choose, timeoutMs] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu && clock->elapsed() < timeoutMs)
            return;
        poll->stop();
        poll->deleteLater();
        if (!menu)
            return;
        seen->seen = true;
        QAction* wanted = nullptr;
        for (QAction* action : menu->actions()) {
            seen->actions << action->text();
            if (action->text() == choose)
                wanted = action;
        }
        if (wanted) {
            const QPoint at = menu->actionGeometry(wanted).center();
            QTest::mouseMove(menu, at);
            QTest::mouseClick(menu, Qt::LeftButton, {}, at);
        }
        if (QApplication::activePopupWidget() == menu)
            menu->close();
    });
    poll->start(10);
    return poll;
}

// Right-clicks a row and answers the menu, if one comes. The menu runs inside
// the click, so once the click returns there is nothing left to wait for.
inline MenuSeen rightClickMenu(QListWidget* list, int row, const QString& choose = {})
{
    MenuSeen seen;
    QPointer<QTimer> poll = answerNextMenu(&seen, choose);
    rightClick(list, row);
    delete poll;
    return seen;
}

struct PromptSeen {
    QString title;
    QString label;
    bool masked = false;
    bool plainLabel = false;
    bool seen = false;
};

// Answers the next key prompt with `key` as typed, or cancels it.
inline void answerNextKeyPrompt(PromptSeen* seen, std::optional<QString> key)
{
    testenv::whenModal([seen, key](QWidget* widget) {
        auto* prompt = qobject_cast<QInputDialog*>(widget);
        if (!prompt) {
            if (auto* dialog = qobject_cast<QDialog*>(widget))
                dialog->reject();
            return;
        }
        seen->seen = true;
        seen->title = prompt->windowTitle();
        seen->label = prompt->labelText();
        seen->masked = prompt->textEchoMode() == QLineEdit::Password;
        const auto* label = prompt->findChild<QLabel*>();
        seen->plainLabel = label && label->textFormat() == Qt::PlainText;
        if (key) {
            prompt->setTextValue(*key);
            prompt->accept();
        } else {
            prompt->reject();
        }
    });
}
