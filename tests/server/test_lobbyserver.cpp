// The lobby over real TCP connections to an in-process server.
#include "tests/server/serverharness.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

using namespace harness;

namespace {

QString compact(const QJsonObject& m) { return QString::fromUtf8(QJsonDocument(m).toJson(QJsonDocument::Compact)); }

// A conversation, steps separated by " | " (clients are made on first use):
//   who@ADDR          `who` connects from ADDR instead of 127.0.0.1
//   who> cmd k=v ...  sends; values are percent-decoded (%20 is a space)
//   who>> {...}       sends the line as written
//   who< cmd text     the next `cmd` for `who` contains `text` (in compact JSON)
//   who<* cmd text    takes `cmd` messages until one contains `text`
//   who<! cmd         no `cmd` arrives within 150 ms
//   who~              the connection drops
struct Script {
    quint16 port;
    std::map<QString, std::unique_ptr<ControlClient>> clients;
    ControlClient& client(const QString& who, const QString& from = QStringLiteral("127.0.0.1"))
    {
        auto& c = clients[who];
        if (!c)
            c = std::make_unique<ControlClient>(port, QHostAddress(from));
        return *c;
    }
    QString run(const char* steps)
    {
        static const QRegularExpression syntax(QStringLiteral("^(\\w+)(@|>>|>|<\\*|<!|<|~) *(\\S*) ?(.*)$"),
                                               QRegularExpression::DotMatchesEverythingOption);
        for (const QString& step : QString::fromUtf8(steps).split(QStringLiteral(" | "))) {
            const auto parts = syntax.match(step.trimmed());
            const QString op = parts.captured(2), cmd = parts.captured(3), text = parts.captured(4);
            ControlClient& c = client(parts.captured(1), op == QLatin1String("@") ? cmd : QStringLiteral("127.0.0.1"));
            QJsonObject m{{QStringLiteral("cmd"), cmd}};
            for (const QString& field : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
                m.insert(field.section(QLatin1Char('='), 0, 0), QUrl::fromPercentEncoding(field.section(QLatin1Char('='), 1).toUtf8()));
            const auto contains = [&](const QJsonObject& got) { return compact(got).contains(text); };
            if (op == QLatin1String(">>"))
                c.sendRaw((cmd + QLatin1Char(' ') + text).toUtf8() + '\n');
            else if (op == QLatin1String(">"))
                c.send(m);
            else if (op == QLatin1String("~"))
                c.socket.abort();
            const bool ok = op == QLatin1String("<") ? contains(c.next(cmd))
                            : op == QLatin1String("<*") ? contains(c.until(cmd, contains))
                            : op == QLatin1String("<!") ? c.quietOn(cmd, 150)
                                                        : parts.hasMatch();
            if (!ok)
                return step;
        }
        return {};
    }
};

#define RUN(steps) \
    do { \
        const QString failed = script->run(steps); \
        QVERIFY2(failed.isEmpty(), qPrintable(failed)); \
    } while (false)

} // namespace

class TestLobbyServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<LobbyServer> server;
    std::unique_ptr<Script> script;
    ServerConfig config = testConfig();

    void restart()
    {
        script.reset();
        server = startServer(config);
        QVERIFY(server);
        script = std::make_unique<Script>(Script{server->port(), {}});
    }
    static QJsonObject say(const char* cmd, const QString& key, const QString& value) { return command(QLatin1String(cmd), {{key, value}}); }

private slots:
    void init() { restart(); }
    void cleanup()
    {
        QCOMPARE(server->lobby().consistencyProblem(), QString());
        script.reset();
        server.reset();
        config = testConfig();
    }

    void loginNamesAndBadLines()
    {
        RUN("a> login username=alice | a< login_ok \"client_id\":\" | a<* online_users [\"alice\"] | b> login username=%20bob%20 "
            "| b< login_ok | a<* online_users [\"alice\",\"bob\"] | b<* online_users [\"alice\",\"bob\"] | a> login username=ALICE "
            "| a< login_ok | a> login username=mallory | a< error alice | b~ | a<* online_users [\"alice\"] | c> get_rooms "
            "| c< error Log in first. | c> global_chat message=hi | c< error Log in first.");
        // Taken (in any look-alike spelling), too long, invisible, control or filler characters, marks alone.
        RUN("z> login username=Zo\u00EB | z< login_ok | n0> login username= | n0< error 1 to 32 "
            "| n1> login username=%20%20 | n1< error | n2> login username=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa | n2< error "
            "| n3> login username=al%01ice | n3< error control | n4> login username=al%0Aice | n4< error control "
            "| n5> login username=al\u202Eice | n5< error | n6> login username=a%20-%20b | n6< error | n7> login username=\U0001F451 "
            "| n7< error crown | n8> login username=ALICE | n8< error already online | n9> login username=\u0410lice | n9< error already "
            "| m0> login username=Alice\u3164 | m0< error invisible | m1> login username=al\u00ADice | m1< error | m2> login username=\u2800 "
            "| m2< error invisible | m3> login username=\u0301\u0301 | m3< error letter | m4> login username=Zoe\u0308 | m4< error already "
            "| m5> login username=\uFF41lice | m5< error already | m6> login username=\u115F | m6< error | m7> login username=a\u200Db "
            "| m7< error | s>> {\"cmd\":\"login\",\"username\":\"a\\ud800\"} | s< error broken | s> login username=\u0414\u043C\u0438\u0442\u0440\u0438\u0439 "
            "| s< login_ok | l> login username=nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn | l< login_ok");
        QString emoji;
        for (int i = 0; i < 32; ++i)
            emoji += QStringLiteral("\U0001F600"); // 32 characters, 64 UTF-16 units
        ControlClient e(server->port());
        QVERIFY(!e.login(emoji).isEmpty());
        QCOMPARE(e.createRoom(QString(64, QLatin1Char('r'))).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.1"));
        RUN("a>> not json\n[1,2]\n{\"cmd\":\"LOGIN\",\"username\":\"x\"}\n{\"cmd\":\"fly\"}\n{}\n\r\n"
            "{\"cmd\":42} | a> get_rooms | a< room_list | a<! error | a<! login_ok");
        ControlClient flooder(server->port()), endless(server->port()), big(server->port());
        flooder.sendRaw(QByteArray(64 * 1024 + 1, 'a') + '\n');
        endless.sendRaw(QByteArray(200 * 1024, '{'));
        QVERIFY(flooder.waitDisconnected() && endless.waitDisconnected());
        big.sendRaw(QByteArray("{\"cmd\":\"get_rooms\",\"pad\":\"") + QByteArray(64 * 1024 - 31, 'p') + "\"}\n");
        QCOMPARE(big.next(QStringLiteral("error")).value(QStringLiteral("message")).toString(), QStringLiteral("Log in first."));
        RUN("a> get_rooms | a< room_list");
    }

    void roomsAndHosts()
    {
        RUN("a> login username=alice | b> login username=bob | c> login username=carol | a> create_room room_name=Zulu privacy_mode=public "
            "| b> create_room room_name=Beta privacy_mode=locked password=k | c> create_room room_name=Gamma privacy_mode=private "
            "| c<* join_ok 10.8.2.1 | a> get_rooms | a< room_list [\"Beta \U0001F512\",\"Zulu\"] | c> get_rooms "
            "| c< room_list [\"Beta \U0001F512\",\"Gamma [Private]\",\"Zulu\"] | a> create_room room_name=ZULU privacy_mode=public "
            "| a< error already exists | a> create_room room_name=Room privacy_mode=PUBLIC | a< error privacy mode "
            "| a> create_room room_name=Room privacy_mode=locked | a< error needs an access key "
            "| a> create_room room_name=Room%20[Private] privacy_mode=public | a< error cannot contain | a> create_room privacy_mode=public "
            "| a< error 1 to 64 | b> join_room room_name=zulu | b<* join_ok 10.8.0.2 | c> join_room room_name=Zulu | c<* join_ok 10.8.0.3 "
            "| c<* room_update \"username\":\"carol\",\"vip\":\"10.8.0.3\" | b> leave_room "
            "| c<* room_update [{\"is_host\":true,\"username\":\"alice\",\"vip\":\"10.8.0.1\"},{\"is_host\":false,\"username\":\"carol\" "
            "| b> join_room room_name=Zulu | b<* join_ok 10.8.0.2 | b> join_room room_name=Zulu | b<* join_ok 10.8.0.2 "
            "| a> create_room room_name=Delta privacy_mode=public | a<* join_ok 10.8.1.1 | c<* room_update [{\"is_host\":true,\"username\":\"carol\" "
            "| a> leave_room | b> leave_room | c> leave_room | a> create_room room_name=Again privacy_mode=public | a<* join_ok 10.8.0.1 "
            "| a> leave_room | a<! error");
        RUN("s> login username=stranger | a> create_room room_name=Alpha privacy_mode=public | b> join_room room_name=Alpha | c> join_room room_name=Alpha "
            "| b> kick_player target=carol | b< error Only the host | a> kick_player target=alice | a< error yourself "
            "| a> transfer_host target=stranger | a< error not in your room | s> kick_player target=bob | s< error not in a room "
            "| a> kick_player target=bob | b< kicked Alpha | b> leave_room | b<! error "
            "| c<* room_update [{\"is_host\":true,\"username\":\"alice\",\"vip\":\"10.8.0.1\"},{\"is_host\":false,\"username\":\"carol\" "
            "| a> transfer_host target=carol | a<* room_update {\"is_host\":true,\"username\":\"carol\" | a> kick_player target=carol "
            "| a< error Only the host | c> leave_room | a<* room_update [{\"is_host\":true,\"username\":\"alice\"");
    }

    void lockedAndPrivateRooms()
    {
        config.maxRoomSize = 2;
        restart();
        // Five wrong keys from one address close the room to that address; others still get in.
        RUN("h> login username=host | g> login username=guest | t> login username=third | x@127.0.0.2 | x> login username=other "
            "| h> create_room room_name=Vault privacy_mode=locked password=s3cret | g> join_room room_name=vault "
            "| g< password_required \"room_name\":\"Vault\" | g> join_room room_name=Vault password=s3cre | g< error Wrong access key "
            "| g> join_room room_name=Vault password=wrong | g< error Wrong access key | t> join_room room_name=Vault password=1 "
            "| t> join_room room_name=Vault password=2 | t> join_room room_name=Vault password=3 | t< error Wrong | t< error Wrong "
            "| t< error Wrong | t> join_room room_name=Vault password=s3cret | t< error Too many wrong keys "
            "| x> join_room room_name=Vault password=s3cret | x<* join_ok 10.8.0.2 | y@127.0.0.3 | y> login username=why "
            "| y> join_room room_name=Vault password=s3cret | y< error \\\"Vault\\\" is full");
        RUN("l> login username=loner | h> create_room room_name=Den privacy_mode=private "
            "| g> join_room room_name=dEN password=x | g< error {\"cmd\":\"error\",\"message\":\"There is no room named \\\"dEN\\\".\"} "
            "| g> join_room room_name=Nowhere | g< error {\"cmd\":\"error\",\"message\":\"There is no room named \\\"Nowhere\\\".\"} "
            "| h> invite target=GUEST | g< private_message \"sender\":\"host\" | g> join_room room_name=Den | g<* join_ok 10.8.1.2 "
            "| g> invite target=guest | g< error yourself | g> invite target=ghost | g< error not online | l> invite target=host "
            "| l< error not in a room | h> kick_player target=guest | g< kicked Den | g> join_room room_name=Den "
            "| g< error There is no room named");
    }

    void chatReachesTheRightPlayersAsOneLine()
    {
        RUN("a> login username=alice | b> login username=bob | o> login username=outsider | o> chat message=anyone "
            "| o< error not in a room | a> create_room room_name=Alpha privacy_mode=public | b> join_room room_name=Alpha | b< join_ok "
            "| a> chat message=%20%20hello%20<b>room</b>\u2029bob:%20forged%20 "
            "| a< chat {\"cmd\":\"chat\",\"message\":\"hello <b>room</b> bob: forged\",\"sender\":\"alice\"} "
            "| b< chat \"message\":\"hello <b>room</b> bob: forged\" | o<! chat | o> global_chat message=x\u2028y\u202Ez "
            "| a< global_chat {\"cmd\":\"global_chat\",\"message\":\"x y z\",\"sender\":\"outsider\"} "
            "| b> private_message target=OUTSIDER message=psst | o< private_message \"message\":\"psst\",\"sender\":\"bob\" "
            "| a<! private_message | b> private_message target=nobody message=psst | b< error not online | a> chat message=%20%20 "
            "| a< error 500 | a> global_chat message=%20 | a< error 500");
        ControlClient& a = script->client(QStringLiteral("a"));
        a.send(say("chat", QStringLiteral("message"), QString(500, QLatin1Char('m'))));
        a.send(say("chat", QStringLiteral("message"), QString(501, QLatin1Char('m'))));
        RUN("b<* chat mmmmm | a< error 500");
        // A flood is cut with one error; others are not held back.
        a.forget();
        for (int i = 0; i < 30; ++i)
            a.send(say(i % 2 ? "chat" : "global_chat", QStringLiteral("message"), QString::number(i)));
        QTest::qWait(300);
        const auto count = [&a](const char* cmd) {
            return std::count_if(a.inbox.cbegin(), a.inbox.cend(), [cmd](const QJsonObject& m) { return m.value(QStringLiteral("cmd")) == QLatin1String(cmd); });
        };
        QCOMPARE(std::make_tuple(count("error"), count("chat") + count("global_chat") < 20), std::make_tuple(1, true));
        RUN("o<* global_chat \"16\" | b> chat message=fine | a<* chat fine");
    }

    void sessionsAreTakenBackOnlyByTheirOwnerAndEnd()
    {
        config.detachedLimitMs = 1000;
        restart();
        // A login without client_id: the same name from the same address, once the connection is gone.
        RUN("p> login username=parts | p< login_ok | p> create_room room_name=Alpha privacy_mode=public | q> login username=parts "
            "| q< error already online | p~ | x@127.0.0.2 | x> login username=parts | x< error already online | q> login username=parts "
            "| q< login_ok | q< room_update \"username\":\"parts\"");
        // With client_id: only the current id, from anywhere; the id changes on every take-back.
        const auto attempt = [this](const char* from, const QString& key) {
            auto c = std::make_unique<ControlClient>(server->port(), QHostAddress(QLatin1String(from)));
            c->send(command(QStringLiteral("login"), {{QStringLiteral("username"), QStringLiteral("alice")}, {QStringLiteral("client_id"), key}}));
            return std::make_pair(c->next(QStringLiteral("login_ok"), 500).value(QStringLiteral("client_id")).toString(), std::move(c));
        };
        auto first = attempt("127.0.0.1", QString());
        first.second->socket.abort();
        QCOMPARE(attempt("127.0.0.1", QString()).first, QString());
        QCOMPARE(attempt("127.0.0.1", QString(32, QLatin1Char('0'))).first, QString());
        auto moved = attempt("127.0.0.2", first.first);
        QVERIFY(!moved.first.isEmpty() && moved.first != first.first);
        QCOMPARE(attempt("127.0.0.3", first.first).first, QString());
        // The owner gets in even while its old connection still looks alive; that one is closed.
        auto again = attempt("127.0.0.3", moved.first);
        QVERIFY(!again.first.isEmpty() && moved.second->waitDisconnected());
        // Heartbeats keep a session without connection only so long.
        const QString id = script->client(QStringLiteral("a")).login(QStringLiteral("henry"));
        RUN("a> create_room room_name=Beta privacy_mode=public | b> login username=bob | b> join_room room_name=Beta | b< join_ok | a~");
        TunnelPeer tunnel(server->port());
        QVERIFY(QTest::qWaitFor([&] { return tunnel.heartbeat(id), server->lobby().sessionCount() == 3; }, 4000));
        RUN("b<* room_update [{\"is_host\":true,\"username\":\"bob\"");
    }

    void repeatedLoginsCostTheirSenderOnly()
    {
        config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 1000;
        restart();
        std::vector<std::unique_ptr<ControlClient>> online;
        for (int i = 0; i < 200; ++i) {
            online.push_back(std::make_unique<ControlClient>(server->port()));
            QVERIFY(!online.back()->login(QStringLiteral("player%1").arg(i)).isEmpty());
        }
        const auto received = [&] {
            qint64 bytes = 0;
            for (const auto& c : online)
                for (const QJsonObject& m : std::exchange(c->inbox, {}))
                    bytes += compact(m).size() + 1;
            return bytes;
        };
        QTest::qWait(1200); // the last paced lists go out
        received();
        const QByteArray line = R"({"cmd":"login","username":"player0"})" "\n";
        for (int i = 0; i < 100; ++i)
            online.front()->sendRaw(line);
        QVERIFY(QTest::qWaitFor([&] { return online.front()->inbox.size() >= 100; }, 5000));
        QTest::qWait(1200);
        const qint64 in = 100 * line.size(), out = received();
        QVERIFY2(out < 3 * in, qPrintable(QStringLiteral("%1 bytes out for %2 in").arg(out).arg(in)));
        // Two members handing the host role back and forth: member lists are paced too.
        for (int i = 0; i < 16; ++i)
            i ? online[i]->joinRoom(QStringLiteral("Ring")) : online[i]->createRoom(QStringLiteral("Ring"));
        QTest::qWait(1200);
        received();
        for (int i = 0; i < 100; ++i)
            online[i % 2]->send(say("transfer_host", QStringLiteral("target"), QStringLiteral("player%1").arg(1 - i % 2)));
        QTest::qWait(1200);
        QVERIFY2(received() < 64000, "room_update for every transfer"); // unpaced: about 1.6 MB
    }

    void addressBudgetsLeaveRoomForOthers()
    {
        config.loginDeadlineMs = 1500;
        restart();
        std::vector<std::unique_ptr<ControlClient>> idle;
        for (int i = 0; i < 33; ++i)
            idle.push_back(std::make_unique<ControlClient>(server->port()));
        QVERIFY(idle.back()->waitDisconnected() && idle.front()->isConnected());
        RUN("o@127.0.0.2 | o> login username=other | o< login_ok");
        QVERIFY(idle.front()->waitDisconnected(3000)); // past the login deadline
        for (int i = 0; i < 17; ++i) {
            ControlClient& c = script->client(QStringLiteral("s%1").arg(i), QStringLiteral("127.0.0.3"));
            c.send(say("login", QStringLiteral("username"), QStringLiteral("s%1").arg(i)));
            QVERIFY(!c.next(QLatin1String(i < 16 ? "login_ok" : "error")).isEmpty());
            c.send(command(QStringLiteral("create_room"), {{QStringLiteral("room_name"), QStringLiteral("r%1").arg(i)}, {QStringLiteral("privacy_mode"), QStringLiteral("public")}}));
            QVERIFY(!c.next(QLatin1String(i < 4 ? "join_ok" : "error")).isEmpty());
        }
        RUN("o> create_room room_name=Mine privacy_mode=public | o< join_ok | n@127.0.0.4 | n> login username=newcomer | n< login_ok");
    }

    void slowReadersAreClosedWithinTheOutputBudget()
    {
        config.maxPendingOutput = 64 * 1024;
        config.maxTotalPendingOutput = 1024 * 1024;
        config.outputStallMs = 1000;
        config.chatLimit = config.lineLimit = 1000000;
        config.maxConnectionsPerAddress = config.maxSessionsPerAddress = 100;
        restart();
        std::vector<std::unique_ptr<QTcpSocket>> readers;
        for (int i = 0; i < 30; ++i) {
            auto& s = readers.emplace_back(std::make_unique<QTcpSocket>());
            s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            s->setReadBufferSize(1);
            s->connectToHost(QHostAddress(QHostAddress::LocalHost), server->port());
            QVERIFY(s->waitForConnected(3000));
            s->write(QStringLiteral("{\"cmd\":\"login\",\"username\":\"slow%1\"}\n").arg(i).toUtf8());
        }
        ControlClient& talker = script->client(QStringLiteral("t"));
        talker.login(QStringLiteral("talker"));
        qint64 most = 0;
        for (int i = 0; i < 400 && server->lobby().connectionCount() > 1; ++i) {
            talker.send(say("global_chat", QStringLiteral("message"), QString(500, QChar(0x20AC))));
            QTest::qWait(5);
            most = qMax(most, server->pendingOutput());
        }
        QVERIFY2(most <= config.maxTotalPendingOutput + 2048, qPrintable(QString::number(most)));
        QVERIFY(QTest::qWaitFor([&] { return server->lobby().connectionCount() == 1; }, 5000));
        RUN("t> get_rooms | t< room_list");
    }
};

QTEST_GUILESS_MAIN(TestLobbyServer)
#include "test_lobbyserver.moc"
