// The lobby over real TCP connections to an in-process server, and on its own
// where only its decisions matter. Time is the test's own unless said otherwise.
#include "server/lobby/names.h"
#include "server/options.h"
#include "tests/server/serverharness.h"
#include "tests/support/netns.h"

#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

using namespace harness;

namespace {
QByteArray compact(const QJsonObject& m)
{
    return QJsonDocument(m).toJson(QJsonDocument::Compact);
}

// Fields written `key=value` (percent-decoded) or `key='text with blanks'`; short keys stand for the
// protocol's.
QJsonObject fields(const QString& text)
{
    static const QHash<QString, QString> keys{{"name", "username"},     {"room", "room_name"},
                                              {"mode", "privacy_mode"}, {"key", "password"},
                                              {"msg", "message"},       {"to", "target"}};
    static const QRegularExpression field("(\\w+)=('([^']*)'|\\S*)");
    QJsonObject m;
    for (auto it = field.globalMatch(text); it.hasNext();) {
        const auto f = it.next();
        const QString value =
            f.captured(3).isNull() ? QUrl::fromPercentEncoding(f.captured(2).toUtf8()) : f.captured(3);
        m.insert(keys.value(f.captured(1), f.captured(1)), value);
    }
    return m;
}

// A conversation, steps separated by " | " (clients are made on first use):
//   who@ADDR          `who` connects from ADDR instead of 127.0.0.1
//   who> cmd fields   sends
//   who>> {...}       sends the line as written
//   who< cmd fields   the next `cmd` for `who` has these fields, exactly
//   who< {...}        the next message of its cmd is this one, whole
//   who<* ...         takes messages of the cmd until one matches
//   who<! cmd         no `cmd` before the answer to a line sent now (logged in)
//   who~              the connection drops
//   who<~             the server closes the connection
//   +MS               the lobby's clock moves on
// A field written `=$who` holds the client_id that `who` last received.
struct Script
{
    quint16 port;
    qint64* now;
    std::map<QString, std::unique_ptr<ControlClient>> clients;
    std::map<QString, QJsonValue> ids;
    ControlClient& client(const QString& who, const QString& from = "127.0.0.1")
    {
        auto& c = clients[who];
        if (!c)
            c = std::make_unique<ControlClient>(port, QHostAddress(from));
        return *c;
    }
    QString run(const QString& steps) // the failing step and what came instead; empty when all pass
    {
        static const QRegularExpression syntax("^(\\w+)(@|>>|>|<\\*|<!|<~|<|~) *(\\S*) ?(.*)$",
                                               QRegularExpression::DotMatchesEverythingOption);
        for (const QString& step : steps.split(" | ")) {
            if (step.startsWith('+')) {
                *now += step.mid(1).toLongLong();
                continue;
            }
            const auto parts = syntax.match(step.trimmed());
            const QString op = parts.captured(2), text = parts.captured(4);
            const QString rest = parts.captured(3) + ' ' + text;
            const bool whole = op.startsWith('<') && rest.startsWith('{');
            QJsonObject got, m = whole ? QJsonDocument::fromJson(rest.toUtf8()).object() : fields(text);
            const QString cmd = whole ? m.value("cmd").toString() : parts.captured(3);
            m.insert("cmd", cmd);
            for (auto it = m.begin(); it != m.end(); ++it)
                if (it.value().toString().startsWith('$'))
                    it.value() = ids[it.value().toString().mid(1)];
            ControlClient& c = client(parts.captured(1), op == "@" ? cmd : "127.0.0.1");
            const auto has = [&](const QJsonObject& message) {
                for (auto it = m.constBegin(); it != m.constEnd(); ++it)
                    if (message.value(it.key()) != it.value())
                        return false;
                return !whole || message.size() == m.size();
            };
            if (op == ">>")
                c.sendRaw(rest.toUtf8() + '\n');
            else if (op == ">")
                c.sendRaw(compact(m) + '\n');
            else if (op == "~")
                c.socket.abort();
            const bool ok = op == "<"    ? has(got = c.next(cmd))
                            : op == "<*" ? has(got = c.until(cmd, has))
                            : op == "<!" ? c.quietOn(cmd)
                            : op == "<~" ? c.waitDisconnected()
                                         : parts.hasMatch();
            if (!ok)
                return step + "  got: " + compact(got);
            if (got.contains("client_id"))
                ids[parts.captured(1)] = got.value("client_id");
        }
        return {};
    }
};
#define RUN(steps) QCOMPARE(script->run(steps), QString()) // the failing step

// A lobby without sockets, on a clock of the test's own.
struct BareLobby : LobbyOutput
{
    qint64 now = 1000;
    qint64 bytes = 0;
    QList<QJsonObject> lines;
    Lobby lobby;
    explicit BareLobby(const ServerConfig& config, RouteExchange* relay = nullptr)
        : lobby(config, *this, relay, [this] { return now; })
    {
    }
    void sendLine(ConnectionId, const QByteArray& line) override
    {
        lines.append(control::decodeLine(line));
        bytes += line.size();
    }
    void closeConnection(ConnectionId) override {}
    // The message (or else the cmd) of the last answer other than an online list.
    QString say(ConnectionId c, const QString& cmd, std::initializer_list<std::pair<QString, QString>> f)
    {
        lobby.handleLine(c, compact(control::message(cmd, f)));
        while (!lines.isEmpty() && lines.last().value("cmd") == "online_users")
            lines.removeLast();
        return lines.isEmpty() ? QString()
                               : lines.last().value("message").toString(lines.last().value("cmd").toString());
    }
};
} // namespace

// Breaks the lobby's invariants on purpose, one at a time.
struct LobbyTamper
{
    using Break = std::function<void(Lobby&)>;
    static void addRows()
    {
        QTest::addColumn<Break>("change");
        QTest::addColumn<QString>("problem");
        const auto session = [](Lobby& l, int i) -> Lobby::Session& {
            return *std::next(l.sessions_.begin(), i)->second;
        };
        const auto row = [](const char* tag, const char* problem, const Break& change) {
            QTest::newRow(tag) << change << QString(problem);
        };
        const char* badAlice = "bad address for alice";
        const char* miscounted = "address budget of 10.0.0.1 out of step";
        const char* over = "address 10.0.0.1 over its budget";
        row("a connection of another", "connection of alice out of step",
            [=](Lobby& l) { session(l, 0).connection = 2; });
        row("outside the room's network", badAlice, [=](Lobby& l) { session(l, 0).vip = ipv4("10.8.9.1"); });
        row("the network's own address", badAlice, [=](Lobby& l) { session(l, 0).vip = ipv4("10.8.0.0"); });
        row("the broadcast address", badAlice, [=](Lobby& l) { session(l, 0).vip = ipv4("10.8.0.255"); });
        row("an address twice", "bad address for bob",
            [=](Lobby& l) { session(l, 1).vip = session(l, 0).vip; });
        row("connections miscounted", miscounted, [](Lobby& l) { ++l.addressUse_["10.0.0.1"].connections; });
        row("sessions miscounted", miscounted, [](Lobby& l) { ++l.addressUse_["10.0.0.1"].sessions; });
        row("rooms miscounted", miscounted, [](Lobby& l) { ++l.addressUse_["10.0.0.1"].rooms; });
        row("too many connections", over, [](Lobby& l) { l.config_.maxConnectionsPerAddress = 1; });
        row("too many sessions", over, [](Lobby& l) { l.config_.maxSessionsPerAddress = 1; });
        row("too many rooms", over, [](Lobby& l) { l.config_.maxRoomsPerAddress = 0; });
        row("a host from outside", "room Alpha without members or host",
            [=](Lobby& l) { l.rooms_.begin()->second->host = &session(l, 2); });
    }
    // alice and dave from one address, bob and carol from others; alice's Alpha has bob.
    static void fourAndAlpha(BareLobby& bare)
    {
        for (const auto& [c, name, address] : {std::tuple(1, "alice", "10.0.0.1"), {2, "bob", "10.0.0.2"},
                                               {3, "carol", "10.0.0.3"}, {4, "dave", "10.0.0.1"}}) {
            bare.lobby.connectionOpened(c, QHostAddress(address));
            bare.say(c, "login", {{"username", name}});
        }
        bare.say(1, "create_room", {{"room_name", "Alpha"}, {"privacy_mode", "public"}});
        bare.say(2, "join_room", {{"room_name", "Alpha"}});
    }
    static void moveAlice(Lobby& l, quint32 vip) { l.sessions_.begin()->second->vip = vip; }
};
Q_DECLARE_METATYPE(LobbyTamper::Break)

class TestLobbyServer : public QObject
{
    Q_OBJECT
    std::unique_ptr<LobbyServer> server;
    std::unique_ptr<Script> script;
    ServerConfig config;
    qint64 now = 1000000;
    void restart(bool realClock = false) // real: for sessions kept by heartbeats, timed by the relay
    {
        script.reset();
        QVERIFY(server = startServer(config, realClock ? Lobby::Clock(monotonicMs) : [this] { return now; }));
        script = std::make_unique<Script>(Script{server->port(), &now, {}, {}});
    }
    std::vector<std::unique_ptr<QTcpSocket>> readers;
    // Restarted with no chat limits and room for `count` readers that log in and then read nothing, and
    // a talker: null unless all are logged in.
    ControlClient* withSlowReaders(int count)
    {
        config.chatLimit = config.lineLimit = 1000000;
        config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 100;
        restart();
        for (int i = 0; i < count; ++i) {
            auto& s = readers.emplace_back(std::make_unique<QTcpSocket>());
            s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            s->setReadBufferSize(1);
            s->connectToHost(QHostAddress(QHostAddress::LocalHost), server->port());
            s->write(QString("{\"cmd\":\"login\",\"username\":\"slow%1\"}\n").arg(i).toUtf8());
        }
        ControlClient& talker = script->client("t");
        talker.login("talker");
        const bool in = testwait::until([&] { return server->lobby().sessionCount() == count + 1; }, 3000);
        return in ? &talker : nullptr;
    }
    // Says a lobby chat line of 1500 bytes and waits until the server has handled it.
    bool talk(ControlClient& talker)
    {
        talker.send("global_chat", {{"message", QString(500, QChar(0x20AC))}});
        return !talker.next("global_chat").isEmpty();
    }
private slots:
    void init()
    {
        config = testConfig();
        restart();
    }
    void cleanup()
    {
        QCOMPARE(server->lobby().consistencyProblem(), QString());
        script.reset();
        readers.clear();
        server.reset();
    }
    // A conversation on a server started with these flags (and loopback, a free port, short timers).
    void conversations_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("steps");
        const auto row = [](const char* name, const QString& steps, const char* flags = "") {
            QTest::newRow(name) << QString(flags) << steps;
        };
        const QString alpha =
            "a> login name=alice | b> login name=bob | c> login name=carol | s> login name=stranger | a> "
            "create_room room=Alpha mode=public | b> join_room room=Alpha | b< join_ok vip=10.8.0.2 | c> "
            "join_room room=Alpha | c< join_ok vip=10.8.0.3 | ";
        const QString tooLong = " | a< error msg='Messages are 1 to 500 characters long.'";
        const QString tooFast = "< error msg='You are sending messages too fast; the rest were dropped.'";
        const QString tooMany = " error msg='Too many messages; some were ignored.'";
        const QString crowded =
            " error msg='Too many players are online from your address; try again later.'";
        const QString online = " error msg='The name alice is already online.'";
        const QString vault = "h> login name=host | g> login name=guest | t> login name=third | g< login_ok "
                              "| h> create_room room=Vault mode=locked key=s3cret | ";
        const char* smallPlan =
            "--max-room-size 2 --subnet 10.8.1.255/23"; // host bits set: the plan starts at 10.8.0.0
        row("the online list follows logins and drops",
            R"(a> login name=alice | a< login_ok | a<* {"cmd":"online_users","users":["alice"]} | b> login )"
            R"(name=%20bob%20 | b< login_ok | +1000 | a<* {"cmd":"online_users","users":["alice","bob"]} )"
            R"(| b~ | +1000 | a<* {"cmd":"online_users","users":["alice"]})");
        row("a logged in connection keeps its name", "a> login name=alice | a< login_ok | a> login "
            "name=ALICE | a< login_ok | a> login name=mallory | a< error msg='You are logged in as alice.'");
        row("commands before a login are refused, once", "c> get_rooms | c< error msg='Log in first.' "
            "| c> get_rooms | c> chat msg=x | c> login | c< error msg='Names are 1 to 32 characters long.'");
        row("bad lines are ignored", "a> login name=alice | a< login_ok | a>> not json\n[1,2]\n{\"cmd\":"
            "\"LOGIN\",\"username\":\"x\"}\n{\"cmd\":\"fly\"}\n{}\n\r\n{\"cmd\":42} | a> get_rooms "
            "| a< room_list | a<! error | a<! login_ok");
        row("room chat reaches the room as one trimmed line",
            alpha + "a> chat msg=%20%20hello%20<b>room</b>\u2029bob:%20x%20 | b< chat sender=alice "
                    "msg='hello <b>room</b> bob: x' | a< chat sender=alice msg='hello <b>room</b> bob: x' "
                    "| s<! chat | s> chat msg=hi | s< error msg='You are not in a room.'");
        row("lobby chat reaches everyone as one line", "a> login name=alice | o> login name=outsider "
            "| o> global_chat msg=x\u2028y\u202Ez | a< global_chat sender=outsider msg='x y z'");
        row("private messages reach their target only",
            "a> login name=alice | b> login name=bob | o> login name=outsider | o< login_ok | b> "
            "private_message to=OUTSIDER msg=psst | o< private_message sender=bob msg=psst | a<! "
            "private_message | b> private_message to=nobody msg=psst | b< error msg='nobody is not online.'");
        row("messages are 1 to 500 characters long",
            alpha + QString("a> chat msg=%20%20%2 | a> global_chat msg=%20%2 | a> chat msg=%1 "
                            "| b<* chat msg=%1 | a> chat msg=%1m%2")
                        .arg(QString(500, 'm'), tooLong));
        row("the chat budget is shared by an address",
            "a@127.0.0.5 | b@127.0.0.5 | c@127.0.0.5 | a> login name=a | b> login name=b | c> login name=c "
            "| a> global_chat msg=1 | a> global_chat msg=2 | a> global_chat msg=3 | a" + tooFast +
                " | b> global_chat msg=4 | b> global_chat msg=5 | a<* global_chat msg=5 "
                "| c> private_message to=b msg=6 | c" + tooFast +
                " | d> login name=d | d> global_chat msg=7 | b<* global_chat msg=7",
            "--chat-limit 2"); // an address: 4
        row("names and room names count characters",
            QString("a> login name=%1 | a< login_ok | a> create_room room=%2 mode=public | a< join_ok "
                    "vip=10.8.0.1").arg(QString("\U0001F600").repeated(32), QString(64, 'r')));
        row("the room list shows what each player may see",
            "a> login name=alice | b> login name=bob | c> login name=carol | a> create_room room=Zulu "
            "mode=public | b> create_room room=Beta mode=locked key=k | c> create_room room=Gamma "
            R"(mode=private | c<* join_ok | a> get_rooms | a< {"cmd":"room_list","rooms":["Beta )"
            R"(\ud83d\udd12","Zulu"]} | c> get_rooms | c< {"cmd":"room_list","rooms":["Beta \ud83d\udd12",)"
            R"("Gamma [Private]","Zulu"]})");
        row("a private room leaves its name free for others", "c> login name=carol | d> login name=dave "
            "| c> create_room room=Gamma mode=private | d> create_room room=G\u0430MMA mode=public "
            "| d<* join_ok vip=10.8.1.1 | c> join_room room=gamma | c<* join_ok vip=10.8.0.1 | c> get_rooms "
            R"(| c< {"cmd":"room_list","rooms":["Gamma [Private]","G\u0430MMA"]})");
        for (const auto& [name, request, refusal] :
             std::initializer_list<std::tuple<const char*, const char*, const char*>>{
                 {"a taken room name", "room=ZULU mode=public", R"(A room named "ZULU" already exists.)"},
                 {"an unknown mode", "room=Room mode=PUBLIC",
                  "The privacy mode must be public, private or locked."},
                 {"a locked room without a key", "room=Room mode=locked",
                  "A locked room needs an access key."},
                 {"a room name with a mark", "room=Room%20[Private] mode=public",
                  "Room names cannot contain the lock symbol, [Locked] or [Private]."},
                 {"a room without a name", "mode=public", "Room names are 1 to 64 characters long."}})
            row(name, QString("a> login name=alice | a> create_room room=Zulu mode=public | a< join_ok "
                              "| a> create_room %1 | a< error msg='%2'").arg(request, refusal));
        row("a room's network is freed with its last member",
            "a> login name=alice | b> login name=bob | a> create_room room=Zulu mode=public | b> create_room "
            "room=Delta mode=public | b<* join_ok vip=10.8.1.1 | a> leave_room | a> create_room room=Again "
            "mode=public | a<* join_ok vip=10.8.0.1 | a> leave_room | a<! error");
        const QString peer = R"({"is_host":%1,"username":"%2","vip":"10.8.0.%3"})";
        const QString update = R"({"cmd":"room_update","peers":[)";
        row("the longest present member becomes host", alpha + "a> leave_room | +1000 | c<* " + update +
            peer.arg("true", "bob", "2") + ',' + peer.arg("false", "carol", "3") + "]}");
        row("the host hands the role over", alpha + "a> transfer_host to=carol | +1000 | a<* " + update +
            peer.arg("false", "alice", "1") + ',' + peer.arg("false", "bob", "2") + ',' +
            peer.arg("true", "carol", "3") + "]}");
        row("a kicked player is told and out", alpha + "a> kick_player to=bob | b< kicked msg='You were "
            "removed from \"Alpha\" by the host.' | b> leave_room | b<! error | +1000 | c<* " + update +
            peer.arg("true", "alice", "1") + ',' + peer.arg("false", "carol", "3") + "]}");
        row("only the host kicks",
            alpha + "b> kick_player to=carol | b< error msg='Only the host can do that.'");
        row("the host does not kick itself",
            alpha + "a> kick_player to=alice | a< error msg='You cannot do that to yourself.'");
        row("the host role goes to members only",
            alpha + "a> transfer_host to=stranger | a< error msg='stranger is not in your room.'");
        row("kicking needs a room", alpha + "s> kick_player to=bob | s< error msg='You are not in a room.'");
        row("a name without id is taken back from its address once its connection is gone",
            "p> login name=parts | p< login_ok | p> create_room room=Alpha mode=public | q> login name=parts "
            "| p> get_rooms | q< error msg='The name parts is already online.' | p~ | x@127.0.0.2 "
            "| x> login name=parts | x< error msg='The name parts is already online.' | q> login name=parts "
            "| q< login_ok | q< " +
                update + peer.arg("true", "parts", "1") + "]}");
        row("a locked room asks for its key",
            vault + "g> join_room room=vault | g< password_required room=Vault | g> join_room room=Vault "
                    "key=s3cre | g< error msg='Wrong access key for \"Vault\".' | g> join_room room=Vault "
                    "key=s3cret | g< join_ok vip=10.8.0.2", smallPlan);
        // Five wrong keys from one address close the room to that address; others still get in.
        row("wrong keys close the room to their address",
            vault + "g> join_room room=Vault key=1 | g> join_room room=Vault key=2 | t> join_room room=Vault "
                    "key=3 | t> join_room room=Vault key=4 | t> join_room room=Vault key=5 | t<* error "
                    "msg='Wrong access key for \"Vault\".' | t> join_room room=Vault key=s3cret | t<* error "
                    "msg='Too many wrong keys for \"Vault\"; try again in 30 s.' | x@127.0.0.2 | x> login "
                    "name=other | x> join_room room=Vault key=s3cret | x< join_ok vip=10.8.0.2", smallPlan);
        row("a full room refuses", vault + "g> join_room room=Vault key=s3cret | g< join_ok "
            "| t> join_room room=Vault key=s3cret | t< error msg='\"Vault\" is full.'", smallPlan);
        // A private room answers exactly as a missing one.
        row("a private room is hidden from outsiders", "h> login name=host | g> login name=guest "
            "| h> create_room room=Den mode=private | g> join_room room=dEN key=x "
            "| g< error msg='There is no room named \"dEN\".' | g> join_room room=Nowhere "
            "| g< error msg='There is no room named \"Nowhere\".'");
        row("an invitation opens a private room until a kick",
            "h> login name=host | g> login name=guest | g< login_ok | h> create_room room=Den mode=private "
            "| h> invite to=GUEST | g< private_message sender=host msg='Join me in the private room \"Den\"; "
            "you are invited.' | g> join_room room=Den | g<* join_ok vip=10.8.0.2 | h> kick_player to=guest "
            "| g< kicked msg='You were removed from \"Den\" by the host.' | g> join_room room=Den "
            "| g< error msg='There is no room named \"Den\".'");
        row("invitations go to other players online",
            "h> login name=host | l> login name=loner | h> create_room room=Den mode=private | h> invite "
            "to=host | h< error msg='You cannot invite yourself.' | h> invite to=ghost | h< error msg='ghost "
            "is not online.' | l> invite to=host | l< error msg='You are not in a room.'");
        row("the subnet holds so many rooms", "a> login name=alice | a> create_room room=One mode=public "
            "| a< join_ok vip=10.8.0.1 | b> login name=bob | b> create_room room=Two mode=public "
            "| b< join_ok vip=10.8.1.1 | c> login name=carol | c> create_room room=Three mode=public "
            "| c< error msg='No more rooms can be created right now.'", smallPlan);
        QString steps = "o@127.0.0.8"; // four connections spend it before logging in
        for (const char* p : {"p", "q", "r", "s"})
            steps += (" | %1@127.0.0.7 | %1> login | %1> login | %1> login" +
                      QString(" | %1< error msg='Names are 1 to 32 characters long.'").repeated(3)).arg(p);
        row("the line budget is shared by an address",
            steps + " | l@127.0.0.7 | l> login name=late | l<" + tooMany +
                " | o> login name=other | o< {\"cmd\":\"online_users\",\"users\":[\"other\"]}",
            "--line-limit 3"); // an address: 12
        row("a session with an id is taken back with its current id only, from anywhere",
            "a> login name=alice client_id= | a< login_ok | a~ | b> login name=alice client_id= | b<" +
                online + " | b> login name=alice client_id=" + QString(32, '0') + " | b<" + online +
                " | m@127.0.0.2 | m> login name=alice client_id=$a | m< login_ok | c@127.0.0.3 "
                "| c> login name=alice client_id=$a | c<" + online +
                // The owner gets in even while its old connection still looks alive; that one is closed.
                " | c> login name=alice client_id=$m | c< login_ok | m<~");
        row("the line budget follows the session", "a> login name=alice client_id= | a< login_ok | a> chat "
            "| a> chat | a> chat | a> chat | a<*" + tooMany + " | a~ | b> login name=alice client_id=$a "
            "| b< login_ok | b> chat | b<" + tooMany, "--line-limit 3");
        row("a take-back stays within the address budget",
            "a@127.0.0.2 | a> login name=alice client_id= | a< login_ok | b@127.0.0.3 | b> login name=bob "
            "| b< login_ok | t@127.0.0.3 | t> login name=alice client_id=$a | t<" + crowded +
                " | a> get_rooms | a< room_list", "--max-sessions-per-address 1");
        QString crowd;
        for (int i = 0; i < 33; ++i)
            crowd += QString("c%1@127.0.0.4 | ").arg(i);
        row("connections per address are capped", crowd + "c32<~ | c0> login name=first | c0< login_ok "
            "| o@127.0.0.2 | o> login name=other | o< login_ok");
        QString players; // 16 sessions and 4 rooms from one address
        for (int i = 0; i < 17; ++i)
            players += QString("s%1@127.0.0.3 | s%1> login name=s%1 | s%1<%2 | s%1> create_room room=r%1 "
                               "mode=public | s%1< %3 | ").arg(i).arg(i < 16 ? " login_ok" : crowded,
                i < 4 ? "join_ok" : i < 16 ? "error msg='Your address has opened as many rooms as it may; "
                "close one first.'" : "error msg='Log in first.'");
        row("connections that do not log in are closed", "i@127.0.0.1 | o> login name=other | o< login_ok "
            "| +1500 | i<~ | o> get_rooms | o< room_list", "--login-deadline 1.5");
        QString flood; // others are not held back
        for (int i = 0; i < 30; ++i)
            flood += QString(" | a> %1 msg=%2").arg(i % 2 ? "chat" : "global_chat").arg(i);
        row("a chat flood is cut with one error",
            "a> login name=alice | b> login name=bob | o> login name=outsider | a> create_room room=Alpha "
            "mode=public | b> join_room room=Alpha | b< join_ok" + flood + " | a<*" + tooFast.mid(1) +
            " | o<* global_chat msg=18 | b<* chat msg=19 | b> chat msg=fine | a<* chat msg=fine | a<! error "
            "| o<! global_chat");
        row("sessions and rooms per address are capped",
            players +
                "o@127.0.0.2 | o> login name=other | o> create_room room=Mine mode=public | o< join_ok");
    }
    void conversations()
    {
        QFETCH(QString, flags);
        QFETCH(QString, steps);
        if (!flags.isEmpty()) {
            const ServerConfig defaults = config;
            config = parseServerOptions(("s " + flags).split(' ')).config;
            std::tie(config.listen, config.port, config.sessionGraceMs, config.statsIntervalMs) =
                std::tuple(defaults.listen, defaults.port, defaults.sessionGraceMs, defaults.statsIntervalMs);
            restart();
        }
        RUN(steps);
    }
    void namesAreChecked_data()
    {
        QTest::addColumn<QString>("name"); // as written in JSON
        QTest::addColumn<QString>("refusal");
        const char* length = "Names are 1 to 32 characters long.";
        const char* invisible = "Names cannot contain invisible characters.";
        const char* marks = "Names cannot contain \" - \" or the crown symbol.";
        for (const auto& [name, refusal] : std::initializer_list<std::pair<const char*, const char*>>{
                 {"", length}, {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", length},
                 {"al\u202Eice", invisible}, {"Alice\u3164", invisible}, {"x\uFE0F", invisible},
                 {"al\\u0001ice", "Names cannot contain control characters."},
                 {"a\\ud800", "Names cannot contain broken characters."},
                 {"a - b", marks}, {"\U0001F451", marks},
                 {"\u0301\u0301", "Names need at least one letter, digit or symbol."}})
            QTest::newRow(*name ? name : "empty") << QString(name) << QString(refusal);
        QTest::newRow("over twice the limit in units") << QString(65, u'a') << QString(length);
        // Taken in any look-alike spelling.
        for (const char* taken : {"ALICE", "\u0410lice", "\uFF41lice", "Zoe\u0308", "lllo\u03BF",
                                  "\u039C\u039D\u0397\u03A5", "\uA4EE\u13DA\u0555\u2C9E"})
            QTest::newRow(taken) << QString(taken) << QString("The name %1 is already online.").arg(taken);
        for (const char* available :
             {"Zoe", "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn", "\u0414\u043C\u0438\u0442\u0440\u0438\u0439",
              "\u0394\u03B7\u03BC\u03AE\u03C4\u03C1\u03B7\u03C2", "\u738B\u5C0F\u660E"})
            QTest::newRow(available) << QString(available) << QString();
    }
    void namesAreChecked()
    {
        QFETCH(QString, name);
        QFETCH(QString, refusal);
        RUN(QString("a> login name=alice | a< login_ok | b> login name=Zo\u00EB | b< login_ok | c> login "
                    "name=Il1O0 | c< login_ok | d> login name=MNHY | d< login_ok | e> login name=asoo "
                    "| e< login_ok | n@127.0.0.2 | n>> {\"cmd\":\"login\",\"username\":\"%1\"} | n< %2")
                .arg(name, refusal.isEmpty() ? "login_ok" : "error msg='" + refusal + "'"));
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
    void overlongLinesCloseTheirConnection()
    {
        ControlClient &over = script->client("f"), &endless = script->client("e"), &big = script->client("b");
        over.sendRaw(QByteArray(64 * 1024 + 1, 'a') + '\n');
        endless.sendRaw(QByteArray(200 * 1024, '{'));
        QVERIFY(over.waitDisconnected() && endless.waitDisconnected());
        big.sendRaw("{\"cmd\":\"get_rooms\",\"pad\":\"" + QByteArray(64 * 1024 - 31, 'p') + "\"}\n");
        QCOMPARE(big.next("error").value("message").toString(), "Log in first.");
    }
    // An invitation lasts as long as the invited session, in the room and in the state file.
    void invitationsEndWithTheirSession()
    {
        QTemporaryDir dir;
        config.statePath = dir.filePath("lobby.db");
        restart();
        RUN("h> login name=host | g> login name=guest | g< login_ok | h> create_room room=Den mode=private "
            "| h> invite to=guest | g< private_message | g~");
        QVERIFY(testwait::until([this] { return server->lobby().connectionCount() == 1; }));
        now += config.sessionGraceMs;
        QVERIFY(testwait::until([this] { return server->lobby().sessionCount() == 1; }));
        script.reset();
        server.reset();
        state::Snapshot saved;
        const bool opened = state::openSqliteStore(std::exchange(config.statePath, {}), &saved) != nullptr;
        restart();
        QVERIFY(opened && saved.rooms.size() == 1);
        QCOMPARE(saved.rooms.front().invited, QList<quint64>());
    }
    // Henry's end makes Bob the host, though Henry's tunnel still beats.
    void heartbeatsKeepASessionWithoutConnectionOnlySoLong()
    {
        config.detachedLimitMs = 1000;
        restart(true);
        const QString id = script->client("a").login("henry");
        RUN("a> create_room room=Beta mode=public | b> login name=bob | b> join_room room=Beta | b< join_ok "
            "| a~");
        TunnelPeer tunnel(server->port());
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, [&] { tunnel.heartbeat(id); });
        beat.start(100);
        RUN(R"(b<* {"cmd":"room_update","peers":[{"is_host":true,"username":"bob","vip":"10.8.0.2"}]})");
    }
    // A login repeated, or two members handing the host role back and forth: the lists are paced.
    void repeatsCostTheirSenderOnly_data()
    {
        QTest::addColumn<int>("crowd");
        QTest::addColumn<qint64>("most");
        QTest::newRow("logins") << 200 << qint64(3 * 100 * 38); // 38: the login line
        QTest::newRow("host transfers") << 16 << qint64(64000); // unpaced: about 1.6 MB
    }
    void repeatsCostTheirSenderOnly()
    {
        QFETCH(int, crowd);
        QFETCH(qint64, most);
        ServerConfig many;
        many.maxConnectionsPerAddress = many.maxSessionsPerAddress = 1000;
        BareLobby bare(many);
        for (int i = 0; i < crowd; ++i) { // player0... from 10.0.0.1, the first 16 of them in Ring
            bare.lobby.connectionOpened(i + 1, QHostAddress("10.0.0.1"));
            bare.say(i + 1, "login", {{"username", QString("player%1").arg(i)}});
            if (i < 16)
                bare.say(i + 1, i ? "join_room" : "create_room",
                         {{"room_name", "Ring"}, {"privacy_mode", "public"}});
        }
        bare.now += 1000;
        bare.lobby.tick();
        bare.bytes = 0; // what the repeats cost from here
        for (int i = 0; i < 100; ++i)
            crowd > 16 ? bare.say(1, "login", {{"username", "player0"}})
                       : bare.say(1 + i % 2, "transfer_host",
                                  {{"target", QString("player%1").arg(1 - i % 2)}});
        bare.now += 1000;
        bare.lobby.tick();
        QVERIFY2(bare.bytes < most, qPrintable(QString::number(bare.bytes)));
    }
    void slowReadersAreClosedWithinTheOutputBudget()
    {
        config.maxPendingOutput = 64 * 1024;
        config.maxTotalPendingOutput = 1024 * 1024;
        ControlClient* talker = withSlowReaders(30);
        QVERIFY(talker);
        qint64 most = 0;
        for (int i = 0; i < 400 && server->lobby().connectionCount() > 1; ++i, now += 5) {
            QVERIFY(talk(*talker));
            most = qMax(most, server->pendingOutput());
        }
        QVERIFY2(most <= config.maxTotalPendingOutput + 2048, qPrintable(QString::number(most)));
        QCOMPARE(server->lobby().connectionCount(), 1);
        // Closed for good: the socket goes, too.
        for (auto& reader : readers) {
            reader->setReadBufferSize(0);
            QVERIFY(testwait::until([&] { return reader->state() == QAbstractSocket::UnconnectedState; }));
        }
    }
    // Output that stops moving closes its connection even when nothing more is written.
    void stalledOutputClosesItsConnection()
    {
        config.outputStallMs = 1000;
        ControlClient* talker = withSlowReaders(1);
        QVERIFY(talker);
        for (int i = 0; i < 400 && server->pendingOutput() < 8192; ++i) // more than the talker's own
            QVERIFY(talk(*talker));
        QVERIFY(server->pendingOutput() >= 8192);
        now += config.outputStallMs;
        QVERIFY(testwait::until([&] { return server->lobby().connectionCount() == 1; }, 5000));
    }
    // A line for many readers is held once, however far behind they are.
    void broadcastLinesAreHeldOnce()
    {
        ControlClient* talker = withSlowReaders(30);
        QVERIFY(talker);
        const QByteArray line =
            control::encodeLine(control::message("global_chat", {{"message", QString(500, QChar(0x20AC))}}));
        talker->sendRaw(line.repeated(600));
        QVERIFY(testwait::until([&] { return talker->inbox.size() >= 600; }, 5000));
        QVERIFY2(server->pendingOutput() < 4 * 600 * line.size(),
                 qPrintable(QString::number(server->pendingOutput())));
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
        const QByteArray line = control::encodeLine(
            control::message(cmd, {{"target", "reader"}, {"message", QString("\U0001F600").repeated(500)}}));
        for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
            ControlClient& talker = script->client(from, from);
            talker.login(from);
            talker.sendRaw(line.repeated(20));
        }
        for (int i = 0; i < 40; ++i)
            QVERIFY2(!reader.next(cmd, 5000).isEmpty(), qPrintable(QString::number(i)));
        QCOMPARE(reader.socket.state(), QAbstractSocket::ConnectedState);
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
        for (const char* bad :
             {"--port 65536", "--port x", "--listen example.org", "--subnet 10.8.0.0/25",
              "--subnet 10.0.0.0/7", "--subnet fd00::/64", "--max-room-size 255", "--session-grace -1",
              "--session-grace nan", "--log-level loud", "--bogus", "extra", "--max-sessions-per-address 0",
              "--login-deadline 0.5", "--max-pending-output 8", "--metrics 0.0.0.0:9477", "--metrics 9477",
              "--metrics-allow 10.0.0.0/33"})
            QVERIFY2(parse(bad).outcome == ServerOptions::Outcome::Error, bad);
    }
    // `--config FILE`: flags win over the file; a wrong line names the file and the line.
    void readsASettingsFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("outcome"); // the error, or port/require-sealed/state as read
        QTest::newRow("good") << QByteArray("# note\n  port = 9000  # trailing\nrequire-sealed = yes\n"
                                            "state = /a#b\n\nmax-room-size=4\n")
                              << "" << "9000 1 /a#b";
        QTest::newRow("unknown key") << QByteArray("port = 9000\nprot = 1\n") << ""
                                     << "f.conf:2: unknown key \"prot\"";
        QTest::newRow("bad value") << QByteArray("\n#\nmax-room-size = 300\n") << ""
                                   << "f.conf:3: max-room-size must be 2 to 254";
        QTest::newRow("bad switch") << QByteArray("no-tls = maybe\n") << ""
                                    << "f.conf:1: no-tls must be true or false";
        QTest::newRow("twice") << QByteArray("port=1\nport=2\n") << ""
                               << "f.conf:2: port is already set on line 1";
        QTest::newRow("no equals") << QByteArray("port 1\n") << "" << "f.conf:1: expected key = value";
        QTest::newRow("flag over file") << QByteArray("port = 9000\nstate = /s\n") << "--port 9001"
                                        << "9001 0 /s";
    }
    void readsASettingsFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, flags);
        QFETCH(QString, outcome);
        const ServerOptions o =
            parseServerOptions(("s --config f.conf " + flags).split(' ', Qt::SkipEmptyParts), text, true);
        const QString got = o.outcome == ServerOptions::Outcome::Error
                                ? o.text
                                : QString("%1 %2 %3").arg(o.config.port).arg(o.config.requireSealed).arg(
                                      o.config.statePath);
        QCOMPARE(got, outcome);
    }
    // The packaged file names every flag with the default that --help gives it.
    void thePackagedSettingsFileShowsEveryDefault()
    {
        QFile file(PELLORA_SOURCE_DIR "/packaging/server.conf");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString packaged = QString::fromUtf8(file.readAll());
        const QString helpText = parseServerOptions({"s", "--help"}).text, help = helpText.simplified();
        const QRegularExpression line("^#? ?([a-z-]+) = ?(.*)$", QRegularExpression::MultilineOption);
        QStringList keys;
        for (auto it = line.globalMatch(packaged); it.hasNext();) {
            const auto m = it.next();
            keys << m.captured(1);
            const QString said = "--" + m.captured(1) + " <\\w+>((?!--\\w).)*\\[default: " +
                                 QRegularExpression::escape(m.captured(2)) + "\\]";
            if (m.captured(1) != "state" && !m.captured(2).isEmpty() && m.captured(2) != "false")
                QVERIFY2(help.contains(QRegularExpression(said)), qPrintable(m.captured(0)));
        }
        for (auto it = QRegularExpression("  --([a-z-]+)").globalMatch(helpText); it.hasNext();) {
            const QString flag = it.next().captured(1);
            QVERIFY2(keys.contains(flag) || flag == "help" || flag == "help-all" || flag == "config",
                     qPrintable(flag));
        }
    }
    // The lockout doubles each time, even past a full table of guessers; one connection
    // per address, where a mapped address is its IPv4 address and a /64 is one address.
    void wrongKeysLockOutForLongerEachTime()
    {
        ServerConfig oneEach;
        oneEach.maxConnectionsPerAddress = 1;
        oneEach.maxClients = 5000;
        BareLobby bare(oneEach);
        Lobby& lobby = bare.lobby;
        const std::tuple<int, const char*, bool> opened[] = {
            {1, "10.0.0.1", true},    {2, "::ffff:10.0.0.2", true}, {3, "10.0.0.2", false},
            {4, "2001:db8::1", true}, {5, "2001:db8::2:1", false},  {6, "2001:db8:0:1::1", true}};
        for (const auto& [id, address, opens] : opened)
            QCOMPARE(lobby.connectionOpened(id, QHostAddress(address)), opens);
        bare.say(1, "login", {{"username", "owner"}});
        bare.say(1, "create_room", {{"room_name", "V"}, {"privacy_mode", "locked"}, {"password", "k"}});
        bare.say(2, "login", {{"username", "guesser"}});
        const auto guess = [&](ConnectionId c, const char* key) {
            return bare.say(c, "join_room", {{"room_name", "V"}, {"password", key}});
        };
        for (qint64 block : {30000, 60000, 120000}) {
            for (int i = 0; i < 5; ++i)
                QCOMPARE(guess(2, "x"), "Wrong access key for \"V\".");
            bare.now += block - 1;
            QCOMPARE(guess(2, "k"), "Too many wrong keys for \"V\"; try again in 1 s.");
            bare.now += 1;
        }
        QCOMPARE(guess(2, "k"), "room_update");
        // A table full of blocked addresses does not forget newcomers: they share one count.
        int refused = 0;
        for (int i = 0; i < 4096 + 20; ++i) {
            lobby.connectionOpened(10 + i, QHostAddress(QString("2001:db8:1:%1::1").arg(i, 0, 16)));
            bare.say(10 + i, "login", {{"username", QString("g%1").arg(i)}});
            for (int k = 0; k < (i < 4096 ? 5 : 1); ++k)
                refused += guess(10 + i, "x").startsWith("Too many");
            lobby.connectionClosed(10 + i);
        }
        QCOMPARE(refused, 20 - 5);
        QCOMPARE(lobby.consistencyProblem(), QString());
    }
    // A name asked for again from its own address while the connection holding it is quiet: that
    // connection is checked. Gone (its packets dropped, as by a NAT that forgot it), the name goes to
    // the login that waited, within seconds; still there, the refusal stands.
    void aQuietHolderIsCheckedBeforeItsNameIsRefused_data()
    {
        QTest::addColumn<bool>("gone");
        QTest::newRow("gone") << true;
        QTest::newRow("still there") << false;
    }
    void aQuietHolderIsCheckedBeforeItsNameIsRefused()
    {
        QFETCH(bool, gone);
        if (const QString why = netns::unavailable({"ip", "nft"}); !why.isEmpty())
            QSKIP(qPrintable(why));
        netns::Lab lab("plogin");
        const QString ns = lab.name('a');
        QVERIFY(lab.add(ns));
        {
            const netns::Inside inside(ns); // server and clients on the namespace's loopback
            QVERIFY(inside.entered());
            restart();
            script->client("o"), script->client("n");
        }
        ControlClient &old = script->client("o"), &back = script->client("n");
        old.send("login", {{"username", "parts"}}); // as a client without ids logs in
        QVERIFY(!old.next("login_ok").isEmpty());
        const QString cut = "add table inet cut; add chain inet cut out { type filter hook output priority 0 "
                            "; }; add rule inet cut out tcp sport %1 drop";
        if (gone)
            QCOMPARE(netns::exec(ns, {"nft", cut.arg(old.socket.localPort())}).code, 0);
        now += 7000;
        back.send("login", {{"username", "parts"}});
        const QJsonObject answer = back.next(gone ? "login_ok" : "error", 8000);
        QVERIFY2(gone ? !answer.isEmpty() : answer.value("message") == "The name parts is already online.",
                 qPrintable(compact(answer)));
        QVERIFY(gone || !old.closed());
    }
    // 4096 ended sessions are remembered: of 4097, a client coming back with the id of the one
    // forgotten hears only that its room went.
    void endedSessionsAreRememberedSoMany()
    {
        ServerConfig many;
        many.maxClients = many.maxConnectionsPerAddress = many.maxSessionsPerAddress = 9000;
        BareLobby bare(many);
        QStringList ids;
        for (int i = 0; i <= 4096; ++i) {
            bare.lobby.connectionOpened(i + 1, QHostAddress("10.0.0.1"));
            bare.say(i + 1, "login", {{"username", QString("p%1").arg(i)}, {"client_id", ""}});
            ids << bare.lines.first().value("client_id").toString();
            bare.lines.clear();
            bare.lobby.connectionClosed(i + 1);
        }
        bare.now += many.sessionGraceMs;
        bare.lobby.tick();
        int forgotten = 0;
        for (int c = 9000; c < 9000 + ids.size(); ++c) {
            bare.lobby.connectionOpened(c, QHostAddress("10.0.0.2"));
            forgotten +=
                bare.say(c, "login", {{"username", QString::number(c)}, {"client_id", ids[c - 9000]}}) ==
                "Your room was closed while you were away.";
            bare.lobby.connectionClosed(c);
        }
        QCOMPARE(forgotten, 1);
    }
    // A republish costs the sessions present, not the capacity: the lowest free slots are taken.
    void routeTablesSpanTheSessionsPresent()
    {
        ServerConfig vast;
        vast.maxClients = 1 << 20;
        RouteExchange exchange(1 << 20);
        BareLobby bare(vast, &exchange);
        for (const auto& [c, name] : {std::pair(1, "a"), {2, "b"}, {3, "c"}, {4, "d"}}) {
            bare.lobby.connectionOpened(c, QHostAddress(QString("10.0.0.%1").arg(c)));
            if (c < 4)
                bare.say(c, "login", {{"username", name}});
        }
        bare.lobby.connectionClosed(1);
        bare.lobby.connectionClosed(3);
        bare.now += vast.sessionGraceMs;
        bare.lobby.tick();
        bare.say(4, "login", {{"username", "d"}});
        RouteExchange::Reader table(exchange.tables());
        QVERIFY(table.refresh());
        QCOMPARE(table->slotTable.size(), std::size_t{2});
    }
    void consistencyCheckFindsBrokenInvariants_data() { LobbyTamper::addRows(); }
    void consistencyCheckFindsBrokenInvariants()
    {
        QFETCH(LobbyTamper::Break, change);
        QFETCH(QString, problem);
        BareLobby bare(ServerConfig{});
        LobbyTamper::fourAndAlpha(bare);
        QCOMPARE(bare.lobby.consistencyProblem(), QString());
        change(bare.lobby);
        QCOMPARE(bare.lobby.consistencyProblem(), problem);
    }
    // The look after each step costs what the step touched: a broken member of
    // Alpha shows once a step touches Alpha, not before.
    void changeCheckSeesWhatAStepTouched()
    {
        BareLobby bare(ServerConfig{});
        LobbyTamper::fourAndAlpha(bare);
        QCOMPARE(bare.lobby.changeProblem(), QString());
        LobbyTamper::moveAlice(bare.lobby, ipv4("10.8.9.1"));
        bare.say(4, "create_room", {{"room_name", "Beta"}, {"privacy_mode", "public"}});
        QCOMPARE(bare.lobby.changeProblem(), QString());
        bare.say(3, "join_room", {{"room_name", "Alpha"}});
        QCOMPARE(bare.lobby.changeProblem(), QString("bad address for alice"));
    }
};

QTEST_GUILESS_MAIN(TestLobbyServer)
#include "test_lobbyserver.moc"
