// The lobby over real TCP connections to an in-process server.
#include "server/lobby/names.h"
#include "server/options.h"
#include "tests/server/serverharness.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

using namespace harness;

namespace {
QByteArray compact(const QJsonObject& m)
{
    return QJsonDocument(m).toJson(QJsonDocument::Compact);
}

// A conversation, steps separated by " | " (clients are made on first use):
//   who@ADDR          `who` connects from ADDR instead of 127.0.0.1
//   who> cmd k=v ...  sends; values are percent-decoded, short keys stand for the protocol's
//   who>> {...}       sends the line as written
//   who< cmd text     the next `cmd` for `who` contains `text` (in compact JSON)
//   who<* cmd text    takes `cmd` messages until one contains `text`
//   who<! cmd         no `cmd` arrives within 150 ms
//   who~              the connection drops
struct Script
{
    quint16 port;
    std::map<QString, std::unique_ptr<ControlClient>> clients;
    ControlClient& client(const QString& who, const QString& from = "127.0.0.1")
    {
        auto& c = clients[who];
        if (!c)
            c = std::make_unique<ControlClient>(port, QHostAddress(from));
        return *c;
    }
    QString run(const char* steps)
    {
        static const QRegularExpression syntax("^(\\w+)(@|>>|>|<\\*|<!|<|~) *(\\S*) ?(.*)$",
                                               QRegularExpression::DotMatchesEverythingOption);
        static const QHash<QString, QString> keys{{"name", "username"},     {"room", "room_name"},
                                                  {"mode", "privacy_mode"}, {"key", "password"},
                                                  {"msg", "message"},       {"to", "target"}};
        for (const QString& step : QString::fromUtf8(steps).split(" | ")) {
            const auto parts = syntax.match(step.trimmed());
            const QString op = parts.captured(2), cmd = parts.captured(3), text = parts.captured(4);
            ControlClient& c = client(parts.captured(1), op == "@" ? cmd : "127.0.0.1");
            QJsonObject m{{"cmd", cmd}};
            for (const QString& field : text.split(' ', Qt::SkipEmptyParts)) {
                const QString key = field.section('=', 0, 0);
                m.insert(keys.value(key, key), QUrl::fromPercentEncoding(field.section('=', 1).toUtf8()));
            }
            const auto contains = [&](const QJsonObject& got) {
                return compact(got).contains(text.toUtf8());
            };
            if (op == ">>")
                c.sendRaw((cmd + ' ' + text).toUtf8() + '\n');
            else if (op == ">")
                c.sendRaw(compact(m) + '\n');
            else if (op == "~")
                c.socket.abort();
            const bool ok = op == "<"    ? contains(c.next(cmd))
                            : op == "<*" ? contains(c.until(cmd, contains))
                            : op == "<!" ? c.quietOn(cmd, 150)
                                         : parts.hasMatch();
            if (!ok)
                return step;
        }
        return {};
    }
};
#define RUN(steps) QCOMPARE(script->run(steps), QString()) // the failing step

struct Recorder : LobbyOutput
{
    QList<QJsonObject> lines;
    void sendLine(ConnectionId, const QByteArray& line) override { lines.append(control::decodeLine(line)); }
    void closeConnection(ConnectionId) override {}
};
} // namespace

class TestLobbyServer : public QObject
{
    Q_OBJECT
    std::unique_ptr<LobbyServer> server;
    std::unique_ptr<Script> script;
    ServerConfig config = testConfig();
    Lobby::Clock clock = monotonicMs;
    const Lobby::Clock frozen = [] { return qint64{1000}; }; // no budget refills
    void restart()
    {
        script.reset();
        QVERIFY(server = startServer(config, clock));
        script = std::make_unique<Script>(Script{server->port(), {}});
    }
    std::unique_ptr<ControlClient> connect(const char* from = "127.0.0.1")
    {
        return std::make_unique<ControlClient>(server->port(), QHostAddress(from));
    }
    std::vector<std::unique_ptr<QTcpSocket>> readers;
    void addReader(int i) // logs in, then reads nothing
    {
        auto& s = readers.emplace_back(std::make_unique<QTcpSocket>());
        s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        s->setReadBufferSize(1);
        s->connectToHost(QHostAddress(QHostAddress::LocalHost), server->port());
        QVERIFY(s->waitForConnected(3000));
        s->write(QString("{\"cmd\":\"login\",\"username\":\"slow%1\"}\n").arg(i).toUtf8());
    }
private slots:
    void init() { restart(); }
    void cleanup()
    {
        QCOMPARE(server->lobby().consistencyProblem(), QString());
        script.reset();
        readers.clear();
        server.reset();
        config = testConfig();
        clock = monotonicMs;
    }
    void loginNamesAndBadLines()
    {
        RUN("a> login name=alice | a< login_ok \"client_id\":\" | a<* online_users [\"alice\"] "
            "| b> login name=%20bob%20 | b< login_ok | a<* online_users [\"alice\",\"bob\"] "
            "| a> login name=ALICE | a< login_ok | a> login name=mallory | a< error alice | b~ "
            "| a<* online_users [\"alice\"] | c> get_rooms | c< error Log in first.");
        // Taken in any look-alike spelling, too long, control or invisible characters, marks alone.
        RUN("z> login name=Zo\u00EB | z< login_ok | n0> login name= | n0< error 1 to 32 "
            "| n2> login name=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa | n2< error | n3> login name=al%01ice "
            "| n3< error control | n5> login name=al\u202Eice | n5< error invisible "
            "| n6> login name=a%20-%20b | n6< error | n7> login name=\U0001F451 | n7< error crown "
            "| n8> login name=ALICE | n8< error already online | n9> login name=\u0410lice "
            "| n9< error already | m0> login name=Alice\u3164 | m0< error invisible "
            "| m3> login name=\u0301\u0301 | m3< error letter | m4> login name=Zoe\u0308 "
            "| m4< error already | m5> login name=\uFF41lice | m5< error already "
            "| s>> {\"cmd\":\"login\",\"username\":\"a\\ud800\"} | s< error broken "
            "| s> login name=\u0414\u043C\u0438\u0442\u0440\u0438\u0439 | s< login_ok "
            "| l> login name=nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn | l< login_ok | k> login name=Il1O0 "
            "| k< login_ok | k2> login name=lllo\u03BF | k2< error already | y> login name=Zoe "
            "| y< login_ok | v> login name=x\uFE0F | v< error | g1> login name=MNHY | g1< login_ok "
            "| g2> login name=\u039C\u039D\u0397\u03A5 | g2< error already | g3> login name=asoo "
            "| g3< login_ok | g4> login name=\uA4EE\u13DA\u0555\u2C9E | g4< error already "
            "| g5> login name=\u0394\u03B7\u03BC\u03AE\u03C4\u03C1\u03B7\u03C2 | g5< login_ok "
            "| g6> login name=\u738B\u5C0F\u660E | g6< login_ok");
        // Lengths count characters, not UTF-16 units.
        ControlClient& e = script->client("e");
        QVERIFY(!e.login(QString("\U0001F600").repeated(32)).isEmpty());
        QCOMPARE(e.createRoom(QString(64, 'r')).value("vip").toString(), "10.8.0.1");
        RUN("a>> not json\n[1,2]\n"
            "{\"cmd\":\"LOGIN\",\"username\":\"x\"}\n{\"cmd\":\"fly\"}\n{}\n\r\n{\"cmd\":42} "
            "| a> get_rooms | a< room_list | a<! error | a<! login_ok");
        auto flooder = connect(), endless = connect(), big = connect();
        flooder->sendRaw(QByteArray(64 * 1024 + 1, 'a') + '\n');
        endless->sendRaw(QByteArray(200 * 1024, '{'));
        QVERIFY(flooder->waitDisconnected() && endless->waitDisconnected());
        big->sendRaw("{\"cmd\":\"get_rooms\",\"pad\":\"" + QByteArray(64 * 1024 - 31, 'p') + "\"}\n");
        QCOMPARE(big->next("error").value("message").toString(), "Log in first.");
    }
    // Hundreds of times longer after normalisation: refused on their length alone, briefly.
    void longNamesAreRefusedBeforeAnyNameWork()
    {
        static qsizetype longest = 0;
        names::setSkeletonHook([](const QString& text) { longest = qMax(longest, text.size()); });
        RUN("a> login name=alice | a> create_room room=Den mode=private | a< join_ok");
        for (const char* field : {"login username", "join_room room_name", "private_message target",
                                  "invite target", "kick_player target", "transfer_host target"}) {
            script->client("a").send(QString(field).section(' ', 0, 0),
                                     {{QString(field).section(' ', 1), QString(20000, QChar(0xFDFA))}});
            QVERIFY2(compact(script->client("a").next("error")).size() < 1000, field);
        }
        names::setSkeletonHook(nullptr);
        QVERIFY2(longest <= lobbyrules::maxUnits(lobbyrules::kMaxRoomName),
                 qPrintable(QString::number(longest)));
    }
    void roomsAndHosts()
    {
        RUN("a> login name=alice | b> login name=bob | c> login name=carol "
            "| a> create_room room=Zulu mode=public | b> create_room room=Beta mode=locked key=k "
            "| c> create_room room=Gamma mode=private | c<* join_ok 10.8.2.1 | a> get_rooms "
            "| a< room_list [\"Beta \U0001F512\",\"Zulu\"] | c> get_rooms "
            "| c< room_list [\"Beta \U0001F512\",\"Gamma [Private]\",\"Zulu\"] "
            "| a> create_room room=ZULU mode=public | a< error already exists | d> login name=dave "
            "| d> create_room room=G\u0430MMA mode=public | d<* join_ok 10.8.3.1 | c> join_room room=gamma "
            "| c<* join_ok 10.8.2.1 | c> get_rooms | c< room_list \"Gamma [Private]\",\"G\u0430MMA\" "
            "| a> create_room room=Room mode=PUBLIC | a< error privacy mode "
            "| a> create_room room=Room mode=locked | a< error needs an access key "
            "| a> create_room room=Room%20[Private] mode=public | a< error cannot contain "
            "| a> create_room mode=public | a< error 1 to 64 | b> join_room room=zulu "
            "| b<* join_ok 10.8.0.2 | c> join_room room=Zulu | c<* join_ok 10.8.0.3 "
            "| c<* room_update \"username\":\"carol\",\"vip\":\"10.8.0.3\" | b> leave_room "
            "| c<* room_update [{\"is_host\":true,\"username\":\"alice\",\"vip\":\"10.8.0.1\"},"
            "{\"is_host\":false,\"username\":\"carol\" "
            "| b> join_room room=Zulu | b<* join_ok 10.8.0.2 | b> join_room room=Zulu "
            "| b<* join_ok 10.8.0.2 | a> create_room room=Delta mode=public | a<* join_ok 10.8.1.1 "
            "| c<* room_update [{\"is_host\":true,\"username\":\"carol\" | a> leave_room | b> leave_room "
            "| c> leave_room | a> create_room room=Again mode=public | a<* join_ok 10.8.0.1 "
            "| a> leave_room | a<! error");
        RUN("s> login name=stranger | a> create_room room=Alpha mode=public | b> join_room room=Alpha "
            "| c> join_room room=Alpha | b> kick_player to=carol | b< error Only the host "
            "| a> kick_player to=alice | a< error yourself | a> transfer_host to=stranger "
            "| a< error not in your room | s> kick_player to=bob | s< error not in a room "
            "| a> kick_player to=bob | b< kicked Alpha | b> leave_room | b<! error "
            "| c<* room_update [{\"is_host\":true,\"username\":\"alice\",\"vip\":\"10.8.0.1\"},"
            "{\"is_host\":false,\"username\":\"carol\" "
            "| a> transfer_host to=carol | a<* room_update {\"is_host\":true,\"username\":\"carol\" "
            "| c> leave_room | a<* room_update [{\"is_host\":true,\"username\":\"alice\"");
    }
    void lockedAndPrivateRooms()
    {
        config.maxRoomSize = 2;
        config.subnetPrefix = 23; // two rooms
        config.subnetBase = 0x0A0801FF; // host bits set, as an operator may write it: the plan starts at 10.8.0.0
        restart();
        // Five wrong keys from one address close the room to that address; others still get in.
        RUN("h> login name=host | g> login name=guest | t> login name=third | x@127.0.0.2 "
            "| x> login name=other | h> create_room room=Vault mode=locked key=s3cret "
            "| g> join_room room=vault | g< password_required \"room_name\":\"Vault\" "
            "| g> join_room room=Vault key=s3cre | g< error Wrong access key "
            "| g> join_room room=Vault key=wrong | g< error Wrong access key "
            "| t> join_room room=Vault key=1 | t> join_room room=Vault key=2 "
            "| t> join_room room=Vault key=3 | t< error Wrong | t< error Wrong | t< error Wrong "
            "| t> join_room room=Vault key=s3cret | t< error Too many wrong keys "
            "| x> join_room room=Vault key=s3cret | x<* join_ok 10.8.0.2 | y@127.0.0.3 | y> login name=why "
            "| y> join_room room=Vault key=s3cret | y< error \\\"Vault\\\" is full");
        // A private room answers exactly as a missing one.
        RUN("l> login name=loner | h> create_room room=Den mode=private | g> join_room room=dEN key=x "
            "| g< error {\"cmd\":\"error\",\"message\":\"There is no room named \\\"dEN\\\".\"} "
            "| g> join_room room=Nowhere "
            "| g< error {\"cmd\":\"error\",\"message\":\"There is no room named \\\"Nowhere\\\".\"} "
            "| h> invite to=GUEST | g< private_message \"sender\":\"host\" | g> join_room room=Den "
            "| g<* join_ok 10.8.1.2 | g> invite to=guest | g< error yourself | g> invite to=ghost "
            "| g< error not online | l> invite to=host | l< error not in a room | h> kick_player to=guest "
            "| g< kicked Den | g> join_room room=Den | g< error There is no room named "
            "| l> create_room room=Third mode=public | l< error No more rooms");
    }
    // An invitation lasts as long as the invited session, in the room and in the state file.
    void invitationsEndWithTheirSession()
    {
        QTemporaryDir dir;
        config.statePath = dir.filePath("lobby.db");
        config.sessionGraceMs = 200;
        restart();
        RUN("h> login name=host | g> login name=guest | g< login_ok | h> create_room room=Den mode=private "
            "| h> invite to=guest | g< private_message invited | g~");
        QVERIFY(QTest::qWaitFor([this] { return server->lobby().sessionCount() == 1; }, 5000));
        script.reset();
        server.reset();
        state::Snapshot saved;
        const bool opened = state::openSqliteStore(std::exchange(config.statePath, {}), &saved) != nullptr;
        restart();
        QVERIFY(opened && saved.rooms.size() == 1);
        QCOMPARE(saved.rooms.front().invited, QList<quint64>());
    }
    void chatReachesTheRightPlayersAsOneLine()
    {
        RUN("a> login name=alice | b> login name=bob | o> login name=outsider | o> chat msg=anyone "
            "| o< error not in a room | a> create_room room=Alpha mode=public | b> join_room room=Alpha "
            "| b< join_ok | a> chat msg=%20%20hello%20<b>room</b>\u2029bob:%20x%20 "
            "| a< chat {\"cmd\":\"chat\",\"message\":\"hello <b>room</b> bob: x\",\"sender\":\"alice\"} "
            "| b< chat \"message\":\"hello <b>room</b> bob: x\" | o<! chat "
            "| o> global_chat msg=x\u2028y\u202Ez "
            "| a< global_chat {\"cmd\":\"global_chat\",\"message\":\"x y z\",\"sender\":\"outsider\"} "
            "| b> private_message to=OUTSIDER msg=psst "
            "| o< private_message \"message\":\"psst\",\"sender\":\"bob\" | a<! private_message "
            "| b> private_message to=nobody msg=psst | b< error not online | a> chat msg=%20%20 "
            "| a< error 500 | a> global_chat msg=%20 | a< error 500");
        ControlClient& a = script->client("a");
        a.send("chat", {{"message", QString(500, 'm')}});
        a.send("chat", {{"message", QString(501, 'm')}});
        RUN("b<* chat mmmmm | a< error 500");
        // A flood is cut with one error; others are not held back.
        a.inbox.clear();
        for (int i = 0; i < 30; ++i)
            a.send(i % 2 ? "chat" : "global_chat", {{"message", QString::number(i)}});
        QTest::qWait(300);
        QVERIFY(a.inbox.size() < 20);
        QCOMPARE(std::count_if(a.inbox.cbegin(), a.inbox.cend(),
                               [](auto& m) { return m.value("cmd") == "error"; }),
                 1);
        RUN("o<* global_chat \"16\" | b> chat msg=fine | a<* chat fine");
    }
    void sessionsAreTakenBackOnlyByTheirOwnerAndEnd()
    {
        config.detachedLimitMs = 1000;
        restart();
        // A login without client_id: the same name from the same address, once the connection is gone.
        RUN("p> login name=parts | p< login_ok | p> create_room room=Alpha mode=public "
            "| q> login name=parts | q< error already online | p~ | x@127.0.0.2 | x> login name=parts "
            "| x< error already online | q> login name=parts | q< login_ok "
            "| q< room_update \"username\":\"parts\"");
        // With client_id: only the current id, from anywhere; the id changes on every take-back.
        const auto attempt = [this](const char* from, const QString& key) {
            auto c = connect(from);
            c->send("login", {{"username", "alice"}, {"client_id", key}});
            return std::make_pair(c->next("login_ok", 500).value("client_id").toString(), std::move(c));
        };
        auto first = attempt("127.0.0.1", "");
        first.second->socket.abort();
        QCOMPARE(attempt("127.0.0.1", "").first, QString());
        QCOMPARE(attempt("127.0.0.1", QString(32, '0')).first, QString());
        auto moved = attempt("127.0.0.2", first.first);
        QVERIFY(!moved.first.isEmpty() && moved.first != first.first);
        QCOMPARE(attempt("127.0.0.3", first.first).first, QString());
        // The owner gets in even while its old connection still looks alive; that one is closed.
        QVERIFY(!attempt("127.0.0.3", moved.first).first.isEmpty() && moved.second->waitDisconnected());
        // Heartbeats keep a session without connection only so long.
        const QString id = script->client("a").login("henry");
        RUN("a> create_room room=Beta mode=public | b> login name=bob | b> join_room room=Beta "
            "| b< join_ok | a~");
        // Henry's end makes Bob the host (other sessions may expire meanwhile).
        TunnelPeer tunnel(server->port());
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, [&] { tunnel.heartbeat(id); });
        beat.start(100);
        RUN("b<* room_update [{\"is_host\":true,\"username\":\"bob\"");
    }
    void repeatedLoginsCostTheirSenderOnly()
    {
        config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 1000;
        restart();
        std::vector<std::unique_ptr<ControlClient>> online;
        for (int i = 0; i < 200; ++i) {
            online.push_back(connect());
            QVERIFY(!online.back()->login(QString("player%1").arg(i)).isEmpty());
            if (i < 16)
                i ? online[i]->joinRoom("Ring") : online[i]->createRoom("Ring");
        }
        const auto drain = [&online] { // bytes received since the last call
            qint64 bytes = 0;
            for (const auto& c : online)
                for (const QJsonObject& m : std::exchange(c->inbox, {}))
                    bytes += compact(m).size() + 1;
            return bytes;
        };
        QTest::qWait(1200); // the last paced lists go out
        drain();
        const QByteArray line = QByteArray(R"({"cmd":"login","username":"player0"})") + '\n';
        for (int i = 0; i < 100; ++i)
            online.front()->sendRaw(line);
        QVERIFY(QTest::qWaitFor([&] { return online.front()->inbox.size() >= 100; }, 5000));
        QTest::qWait(1200);
        QVERIFY2(drain() < 3 * 100 * line.size(), "online list for every login");
        // Two members handing the host role back and forth: member lists are paced too.
        for (int i = 0; i < 100; ++i)
            online[i % 2]->send("transfer_host", {{"target", QString("player%1").arg(1 - i % 2)}});
        QTest::qWait(1200);
        QVERIFY2(drain() < 64000, "room_update for every transfer"); // unpaced: about 1.6 MB
    }
    void addressBudgetsLeaveRoomForOthers()
    {
        config.loginDeadlineMs = 1500;
        restart();
        std::vector<std::unique_ptr<ControlClient>> idle;
        for (int i = 0; i < 33; ++i)
            idle.push_back(connect());
        QVERIFY(idle.back()->waitDisconnected() &&
                idle.front()->socket.state() == QAbstractSocket::ConnectedState);
        RUN("o@127.0.0.2 | o> login name=other | o< login_ok");
        QVERIFY(idle.front()->waitDisconnected(3000)); // past the login deadline
        for (int i = 0; i < 17; ++i) {
            ControlClient& c = script->client(QString("s%1").arg(i), "127.0.0.3");
            c.send("login", {{"username", QString("s%1").arg(i)}});
            QVERIFY(!c.next(i < 16 ? "login_ok" : "error").isEmpty());
            c.send("create_room", {{"room_name", QString("r%1").arg(i)}, {"privacy_mode", "public"}});
            QVERIFY(!c.next(i < 4 ? "join_ok" : "error").isEmpty());
        }
        RUN("o> create_room room=Mine mode=public | o< join_ok | n@127.0.0.4 | n> login name=newcomer "
            "| n< login_ok");
    }
    void slowReadersAreClosedWithinTheOutputBudget()
    {
        config.maxPendingOutput = 64 * 1024;
        config.maxTotalPendingOutput = 1024 * 1024;
        config.outputStallMs = 1000;
        config.chatLimit = config.lineLimit = 1000000;
        config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 100;
        restart();
        for (int i = 0; i < 30; ++i)
            addReader(i);
        ControlClient& talker = script->client("t");
        talker.login("talker");
        qint64 most = 0;
        for (int i = 0; i < 400 && server->lobby().connectionCount() > 1; ++i) {
            talker.send("global_chat", {{"message", QString(500, QChar(0x20AC))}});
            QTest::qWait(5);
            most = qMax(most, server->pendingOutput());
        }
        QVERIFY2(most <= config.maxTotalPendingOutput + 2048, qPrintable(QString::number(most)));
        QVERIFY(QTest::qWaitFor([&] { return server->lobby().connectionCount() == 1; }, 5000));
        // Output that stops moving closes its connection even when nothing more is written.
        addReader(30);
        QVERIFY(QTest::qWaitFor([&] { return server->lobby().sessionCount() == 2; }, 3000));
        for (int i = 0; i < 400 && server->pendingOutput() < 8192; ++i) { // more than the talker's own
            talker.send("global_chat", {{"message", QString(500, QChar(0x20AC))}});
            QTest::qWait(5);
        }
        QVERIFY(server->pendingOutput() >= 8192);
        QVERIFY(QTest::qWaitFor([&] { return server->lobby().connectionCount() == 1; }, 5000));
        RUN("t> get_rooms | t< room_list");
    }
    // A line for many readers is held once, however far behind they are.
    void broadcastLinesAreHeldOnce()
    {
        config.chatLimit = config.lineLimit = 1000;
        config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 100;
        restart();
        for (int i = 0; i < 30; ++i)
            addReader(i);
        ControlClient& talker = script->client("t");
        talker.login("talker");
        QVERIFY(QTest::qWaitFor([&] { return server->lobby().sessionCount() == 31; }, 3000));
        const QByteArray line = control::encodeLine(control::message("global_chat", {{"message", QString(500, QChar(0x20AC))}}));
        talker.sendRaw(line.repeated(600));
        QVERIFY(QTest::qWaitFor([&] { return talker.inbox.size() >= 600; }, 5000));
        QVERIFY2(server->pendingOutput() < 4 * 600 * line.size(), qPrintable(QString::number(server->pendingOutput())));
    }
    // Each talker's burst is more than a reader's output budget, queued before any of it is written.
    void promptReadersOutlastBursts_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::newRow("lobby chat") << "global_chat";
        QTest::newRow("private") << "private_message";
    }
    void promptReadersOutlastBursts()
    {
        QFETCH(QString, cmd);
        config.maxPendingOutput = 8 * 1024;
        restart();
        ControlClient& reader = script->client("r");
        reader.login("reader");
        const QByteArray line =
            control::encodeLine(control::message(cmd, {{"target", "reader"}, {"message", QString("\U0001F600").repeated(500)}}));
        for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
            ControlClient& talker = script->client(from, from);
            talker.login(from);
            talker.sendRaw(line.repeated(20));
        }
        const auto received = [&] {
            return std::count_if(reader.inbox.cbegin(), reader.inbox.cend(), [&](auto& m) { return m.value("cmd") == cmd; });
        };
        QVERIFY(QTest::qWaitFor([&] { return received() == 40; }, 5000));
        QCOMPARE(reader.socket.state(), QAbstractSocket::ConnectedState);
    }
    void chatBudgetIsSharedByAnAddress()
    {
        config.chatLimit = 2; // an address: 4
        clock = frozen;
        restart();
        RUN("a@127.0.0.5 | b@127.0.0.5 | c@127.0.0.5 | a> login name=a | b> login name=b | c> login name=c "
            "| a> global_chat msg=1 | a> global_chat msg=2 | a> global_chat msg=3 | a< error too fast "
            "| b> global_chat msg=4 | b> global_chat msg=5 | a<* global_chat \"5\" | c> private_message to=b msg=6 | c< error too fast "
            "| d> login name=d | d> global_chat msg=7 | b<* global_chat \"7\"");
    }
    void lineBudgetFollowsTheSession()
    {
        config.lineLimit = 3;
        clock = frozen;
        restart();
        const QString id = script->client("a").login("alice");
        RUN("a> chat | a> chat | a> chat | a> chat | a<* error Too many messages | a~");
        QVERIFY(!script->client("b").login("alice", id).isEmpty());
        RUN("b> chat | b< error Too many messages");
    }
    void lineBudgetIsSharedByAnAddress()
    {
        config.lineLimit = 3; // an address: 12
        clock = frozen;
        restart();
        QString steps = "o@127.0.0.8"; // four connections spend it before logging in
        for (const char* p : {"p", "q", "r", "s"})
            steps += QString(" | %1@127.0.0.7 | %1> chat | %1> chat | %1> chat | %1< error Log in | %1< error Log in "
                             "| %1< error Log in").arg(p);
        steps += " | l@127.0.0.7 | l> login name=late | l< error Too many messages | o> login name=other | o< login_ok";
        QCOMPARE(script->run(steps.toUtf8()), QString());
    }
    void takeBackStaysWithinTheAddressBudget()
    {
        config.maxSessionsPerAddress = 1;
        restart();
        const QString id = script->client("a", "127.0.0.2").login("alice");
        RUN("b@127.0.0.3 | b> login name=bob | b< login_ok");
        QCOMPARE(script->run(qPrintable("t@127.0.0.3 | t> login name=alice client_id=" + id +
                                        " | t< error Too many players are online from your address | a> get_rooms "
                                        "| a< room_list")),
                 QString());
    }
    void parsesFlags()
    {
        const auto parse = [](const QString& line) {
            return parseServerOptions(("s " + line).split(' ', Qt::SkipEmptyParts));
        };
        const ServerOptions set =
            parse("--listen :: --port=0 --subnet 172.20.9.9/20 --session-grace 0.5 --rate-window=2 "
                  "--max-room-size=4 --log-level=DEBUG --stats-interval=0 "
                  "--max-connections-per-address=3 --max-sessions-per-address=2 "
                  "--max-rooms-per-address=1 --login-deadline=9 --max-pending-output=64 "
                  "--max-total-output=8 --output-stall=2");
        const ServerConfig& c = set.config;
        QCOMPARE(std::make_tuple(c.listen, c.port, c.subnetBase, c.subnetPrefix, c.sessionGraceMs,
                                 c.rateWindowMs, c.maxRoomSize, c.statsIntervalMs,
                                 c.maxConnectionsPerAddress),
                 std::make_tuple(QHostAddress(QHostAddress::AnyIPv6), quint16(0), 0xAC140000u, 20,
                                 qint64(500), qint64(2000), 4, qint64(0), 3));
        QCOMPARE(std::make_tuple(c.maxSessionsPerAddress, c.maxRoomsPerAddress, c.loginDeadlineMs,
                                 c.maxPendingOutput, c.maxTotalPendingOutput, c.outputStallMs, set.logLevel),
                 std::make_tuple(2, 1, qint64(9000), qint64(64 << 10), qint64(8) << 20, qint64(2000),
                                 serverlog::Level::Debug));
        QCOMPARE(parse("--help").outcome, ServerOptions::Outcome::Help);
        for (const char* bad :
             {"--port 65536", "--port x", "--listen example.org", "--subnet 10.8.0.0/25",
              "--subnet 10.0.0.0/7", "--subnet fd00::/64", "--max-room-size 255", "--session-grace -1",
              "--session-grace nan", "--log-level loud", "--bogus", "extra", "--max-sessions-per-address 0",
              "--login-deadline 0.5", "--max-pending-output 8"})
            QVERIFY2(parse(bad).outcome == ServerOptions::Outcome::Error, bad);
    }
    // On a clock of its own: the lockout doubles each time, even past a full table of guessers;
    // one connection per address, where a mapped address is its IPv4 address and a /64 is one address.
    void wrongKeysLockOutForLongerEachTime()
    {
        Recorder out;
        qint64 now = 1;
        ServerConfig oneEach;
        oneEach.maxConnectionsPerAddress = 1;
        oneEach.maxClients = 5000;
        Lobby lobby(oneEach, out, nullptr, [&now] { return now; });
        const auto say = [&](ConnectionId c, const QByteArray& line) {
            lobby.handleLine(c, line);
            while (out.lines.last().value("cmd") == "online_users")
                out.lines.removeLast();
            return out.lines.last().value("message").toString() + out.lines.last().value("cmd").toString();
        };
        const std::tuple<int, const char*, bool> opened[] = {
            {1, "10.0.0.1", true},    {2, "::ffff:10.0.0.2", true}, {3, "10.0.0.2", false},
            {4, "2001:db8::1", true}, {5, "2001:db8::2:1", false},  {6, "2001:db8:0:1::1", true}};
        for (const auto& [id, address, opens] : opened)
            QCOMPARE(lobby.connectionOpened(id, QHostAddress(address)), opens);
        say(1, R"({"cmd":"login","username":"owner"})");
        say(1, R"({"cmd":"create_room","room_name":"V","privacy_mode":"locked","password":"k"})");
        say(2, R"({"cmd":"login","username":"guesser"})");
        for (qint64 block : {30000, 60000, 120000}) {
            for (int i = 0; i < 5; ++i)
                QVERIFY(say(2, R"({"cmd":"join_room","room_name":"V","password":"x"})").startsWith("Wrong"));
            now += block - 1;
            QVERIFY(say(2, R"({"cmd":"join_room","room_name":"V","password":"k"})")
                        .startsWith("Too many wrong keys"));
            now += 1;
        }
        QCOMPARE(say(2, R"({"cmd":"join_room","room_name":"V","password":"k"})"), "room_update");
        // A table full of blocked addresses does not forget newcomers: they share one count.
        int refused = 0;
        for (int i = 0; i < 4096 + 20; ++i) {
            lobby.connectionOpened(10 + i, QHostAddress(QString("2001:db8:1:%1::1").arg(i, 0, 16)));
            say(10 + i, QString(R"({"cmd":"login","username":"g%1"})").arg(i).toUtf8());
            for (int k = 0; k < (i < 4096 ? 5 : 1); ++k)
                refused += say(10 + i, R"({"cmd":"join_room","room_name":"V","password":"x"})")
                               .startsWith("Too many");
            lobby.connectionClosed(10 + i);
        }
        QCOMPARE(refused, 20 - 5);
        QCOMPARE(lobby.consistencyProblem(), QString());
    }
};

QTEST_GUILESS_MAIN(TestLobbyServer)
#include "test_lobbyserver.moc"
