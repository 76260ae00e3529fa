// The lobby over real TCP connections to an in-process server.
#include "tests/server/serverharness.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>

using namespace harness;

namespace {

const QString kCmd = QStringLiteral("cmd");

QStringList strings(const QJsonObject& message, const QString& key)
{
    QStringList out;
    for (const QJsonValue& v : message.value(key).toArray())
        out << v.toString();
    return out;
}

// "name:vip:host" per peer of a room_update, in order.
QStringList peers(const QJsonObject& update)
{
    QStringList out;
    for (const QJsonValue& v : update.value(QStringLiteral("peers")).toArray()) {
        const QJsonObject p = v.toObject();
        out << QStringLiteral("%1:%2:%3")
                   .arg(p.value(QStringLiteral("username")).toString(), p.value(QStringLiteral("vip")).toString(),
                        p.value(QStringLiteral("is_host")).toBool() ? QStringLiteral("host") : QStringLiteral("-"));
    }
    return out;
}

// The first room_update with exactly these peers (or the last one seen).
QStringList peersUntil(ControlClient& client, const QStringList& expected, int timeoutMs = 3000)
{
    return peers(client.until(
        QStringLiteral("room_update"), [&](const QJsonObject& m) { return peers(m) == expected; }, timeoutMs));
}

QStringList usersUntil(ControlClient& client, const QStringList& expected)
{
    const QString key = QStringLiteral("users");
    return strings(client.until(QStringLiteral("online_users"), [&](const QJsonObject& m) { return strings(m, key) == expected; }),
                   key);
}

QString errorText(ControlClient& client)
{
    return client.next(QStringLiteral("error")).value(QStringLiteral("message")).toString();
}

// A join_room whose answer the test reads itself.
void askJoin(ControlClient& client, const QString& room, const QString& password = QString())
{
    client.send(command(QStringLiteral("join_room"), {{QStringLiteral("room_name"), room}, {QStringLiteral("password"), password}}));
}

QJsonObject chat(const QString& cmd, const QString& text)
{
    return command(cmd, {{QStringLiteral("message"), text}});
}

QJsonObject targeted(const QString& cmd, const QString& target)
{
    return command(cmd, {{QStringLiteral("target"), target}});
}

// Three players logged in; with `inAlpha`, alice hosts Alpha and bob
// (10.8.0.2) and carol (10.8.0.3) joined it in that order.
struct Trio {
    ControlClient alice;
    ControlClient bob;
    ControlClient carol;
    Trio(quint16 port, bool inAlpha) : alice(port), bob(port), carol(port)
    {
        alice.login(QStringLiteral("alice"));
        bob.login(QStringLiteral("bob"));
        carol.login(QStringLiteral("carol"));
        if (!inAlpha)
            return;
        alice.createRoom(QStringLiteral("Alpha"));
        bob.joinRoom(QStringLiteral("Alpha"));
        carol.joinRoom(QStringLiteral("Alpha"));
    }
};

} // namespace

class TestLobbyServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<LobbyServer> server;
    quint16 port() const { return server->port(); }

private slots:
    void init()
    {
        server = startServer(testConfig());
        QVERIFY(server);
    }
    void cleanup()
    {
        if (server)
            QCOMPARE(server->lobby().consistencyProblem(), QString());
        server.reset();
    }

    void loginGivesRandomIdsAndPushesOnlineUsers()
    {
        ControlClient alice(port());
        const QString aliceId = alice.login(QStringLiteral("alice"));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(aliceId).hasMatch());
        QCOMPARE(usersUntil(alice, {"alice"}), QStringList{"alice"});

        ControlClient bob(port());
        const QString bobId = bob.login(QStringLiteral("  bob  "));
        QVERIFY(!bobId.isEmpty());
        QVERIFY(bobId != aliceId);
        const QStringList both{"alice", "bob"};
        QCOMPARE(usersUntil(alice, both), both);
        QCOMPARE(usersUntil(bob, both), both);

        // The client logs in again on every click and reconnection.
        QCOMPARE(alice.login(QStringLiteral("alice")), aliceId);
        alice.send(command(QStringLiteral("login"), {{QStringLiteral("username"), QStringLiteral("mallory")}}));
        QVERIFY(errorText(alice).contains(QStringLiteral("alice")));

        // A dropped connection is pushed too; the session itself waits out its grace time.
        bob.socket.abort();
        QCOMPARE(usersUntil(alice, {"alice"}), QStringList{"alice"});
    }

    void loginRefusesBadAndTakenNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("blanks") << QStringLiteral("   ");
        QTest::newRow("33 characters") << QString(33, QLatin1Char('a'));
        QTest::newRow("control character") << QStringLiteral("al\x01ice");
        QTest::newRow("line break") << QStringLiteral("al\nice");
        QTest::newRow("bidi override") << QStringLiteral("al\u202Eice");
        QTest::newRow("list separator") << QStringLiteral("a - b");
        QTest::newRow("crown") << QStringLiteral("king \U0001F451");
        QTest::newRow("taken, other case") << QStringLiteral("ALICE");
    }
    void loginRefusesBadAndTakenNames()
    {
        QFETCH(QString, name);
        ControlClient alice(port());
        QVERIFY(!alice.login(QStringLiteral("alice")).isEmpty());
        ControlClient other(port());
        other.send(command(QStringLiteral("login"), {{QStringLiteral("username"), name}}));
        QVERIFY(!errorText(other).isEmpty());
        QVERIFY(other.quietOn(QStringLiteral("login_ok"), 100));
        QVERIFY(other.isConnected());
    }

    void longestAcceptedNamesAndCountingByCharacters()
    {
        ControlClient a(port());
        QVERIFY(!a.login(QString(32, QLatin1Char('n'))).isEmpty());
        // 32 characters outside the basic plane are 64 UTF-16 units.
        QString emoji;
        for (int i = 0; i < 32; ++i)
            emoji += QStringLiteral("\U0001F600");
        ControlClient b(port());
        QVERIFY(!b.login(emoji).isEmpty());
        b.createRoom(QString(64, QLatin1Char('r')));
        QVERIFY(b.next(QStringLiteral("room_update")).contains(QStringLiteral("peers")));
    }

    void commandsBeforeLoginAreRefused()
    {
        ControlClient c(port());
        c.send(command(QStringLiteral("get_rooms")));
        QCOMPARE(errorText(c), QStringLiteral("Log in first."));
        c.send(chat(QStringLiteral("global_chat"), QStringLiteral("hi")));
        QCOMPARE(errorText(c), QStringLiteral("Log in first."));
    }

    void badLinesAreIgnoredAndHugeLinesCloseOnlyTheirConnection()
    {
        ControlClient alice(port());
        ControlClient bob(port());
        alice.login(QStringLiteral("alice"));
        bob.login(QStringLiteral("bob"));
        alice.sendRaw("not json\n[1,2]\n{\"cmd\":\"LOGIN\",\"username\":\"x\"}\n{\"cmd\":\"fly\"}\n\"str\"\n{}\n\r\n"
                      "{\"cmd\":42}\n{\"cmd\":\"chat\",\"message\":7}\n");
        alice.send(command(QStringLiteral("get_rooms")));
        QVERIFY(alice.next(QStringLiteral("room_list")).contains(QStringLiteral("rooms")));
        // Only the mistyped chat (not in a room) earns an error; nothing else answers.
        alice.next(QStringLiteral("error"));
        QVERIFY(alice.quietOn(QStringLiteral("error"), 100));
        QVERIFY(alice.quietOn(QStringLiteral("login_ok"), 0));

        // A line over 64 KiB, sent with and without its line feed.
        ControlClient flooder(port());
        flooder.sendRaw(QByteArray(64 * 1024 + 1, 'a') + '\n');
        QVERIFY(flooder.waitDisconnected());
        ControlClient endless(port());
        endless.sendRaw(QByteArray(200 * 1024, '{'));
        QVERIFY(endless.waitDisconnected());

        bob.send(chat(QStringLiteral("global_chat"), QStringLiteral("still here")));
        QCOMPARE(alice.next(QStringLiteral("global_chat")).value(QStringLiteral("message")).toString(), QStringLiteral("still here"));
        // A line of exactly 64 KiB is still a line.
        ControlClient big(port());
        big.sendRaw(QByteArray("{\"cmd\":\"get_rooms\",\"pad\":\"") + QByteArray(64 * 1024 - 31, 'p') + "\"}\n");
        QCOMPARE(errorText(big), QStringLiteral("Log in first."));
        QVERIFY(big.isConnected());
    }

    void roomListShowsPrivacy()
    {
        Trio trio(port(), false);
        auto& [alice, bob, carol] = trio;
        alice.createRoom(QStringLiteral("Zulu"));
        bob.createRoom(QStringLiteral("Beta"), QStringLiteral("locked"), QStringLiteral("k"));
        carol.createRoom(QStringLiteral("Gamma"), QStringLiteral("private"));

        alice.send(command(QStringLiteral("get_rooms")));
        QCOMPARE(strings(alice.next(QStringLiteral("room_list")), QStringLiteral("rooms")),
                 (QStringList{QStringLiteral("Beta \U0001F512"), QStringLiteral("Zulu")}));
        carol.send(command(QStringLiteral("get_rooms")));
        QCOMPARE(strings(carol.next(QStringLiteral("room_list")), QStringLiteral("rooms")),
                 (QStringList{QStringLiteral("Beta \U0001F512"), QStringLiteral("Gamma [Private]"), QStringLiteral("Zulu")}));
        carol.send(targeted(QStringLiteral("invite"), QStringLiteral("alice")));
        alice.next(QStringLiteral("private_message"));
        alice.send(command(QStringLiteral("get_rooms")));
        QVERIFY(strings(alice.next(QStringLiteral("room_list")), QStringLiteral("rooms")).contains(QStringLiteral("Gamma [Private]")));
    }

    void createRoomChecksItsFields_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("password");
        QTest::newRow("empty name") << QString() << "public" << QString();
        QTest::newRow("65 characters") << QString(65, QLatin1Char('r')) << "public" << QString();
        QTest::newRow("taken, other case") << QStringLiteral("TAKEN") << "public" << QString();
        QTest::newRow("unknown mode") << QStringLiteral("Room") << "secret" << QString();
        QTest::newRow("mode in capitals") << QStringLiteral("Room") << "PUBLIC" << QString();
        QTest::newRow("locked without key") << QStringLiteral("Room") << "locked" << QString();
        QTest::newRow("marker in name") << QStringLiteral("Room [Private]") << "public" << QString();
        QTest::newRow("lock in name") << QStringLiteral("Room \U0001F512") << "public" << QString();
    }
    void createRoomChecksItsFields()
    {
        QFETCH(QString, name);
        QFETCH(QString, mode);
        QFETCH(QString, password);
        ControlClient owner(port());
        owner.login(QStringLiteral("owner"));
        owner.createRoom(QStringLiteral("taken"));
        ControlClient c(port());
        c.login(QStringLiteral("creator"));
        c.send(command(QStringLiteral("create_room"), {{QStringLiteral("room_name"), name},
                                                       {QStringLiteral("privacy_mode"), mode},
                                                       {QStringLiteral("password"), password}}));
        QVERIFY(!errorText(c).isEmpty());
        QVERIFY(c.quietOn(QStringLiteral("join_ok"), 50));
    }

    void creatingMovesTheCreatorAndAddressesFollowRooms()
    {
        Trio trio(port(), false);
        auto& [alice, bob, carol] = trio;

        const QJsonObject created = alice.createRoom(QStringLiteral("Alpha"));
        QCOMPARE(created.value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.1"));
        QCOMPARE(created.value(QStringLiteral("room_name")).toString(), QStringLiteral("Alpha"));
        QCOMPARE(peers(alice.next(QStringLiteral("room_update"))), QStringList{"alice:10.8.0.1:host"});

        QCOMPARE(bob.joinRoom(QStringLiteral("Alpha")).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.2"));
        QCOMPARE(carol.joinRoom(QStringLiteral("alpha")).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.3"));
        const QStringList three{"alice:10.8.0.1:host", "bob:10.8.0.2:-", "carol:10.8.0.3:-"};
        QCOMPARE(peersUntil(carol, three), three);

        // Bob's address is free again once he leaves, and the lowest goes first.
        bob.send(command(QStringLiteral("leave_room")));
        const QStringList two{"alice:10.8.0.1:host", "carol:10.8.0.3:-"};
        QCOMPARE(peersUntil(carol, two), two);
        QCOMPARE(bob.joinRoom(QStringLiteral("Alpha")).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.2"));

        // Creating another room leaves this one; the new room has its own /24.
        const QJsonObject beta = alice.createRoom(QStringLiteral("Beta"));
        QCOMPARE(beta.value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.1.1"));
        QCOMPARE(peersUntil(alice, {"alice:10.8.1.1:host"}), QStringList{"alice:10.8.1.1:host"});
        const QStringList passedOn{"carol:10.8.0.3:host", "bob:10.8.0.2:-"};
        QCOMPARE(peersUntil(carol, passedOn), passedOn);

        // Joining a room moves the player out of the old one as well.
        QCOMPARE(bob.joinRoom(QStringLiteral("Beta")).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.1.2"));
        QCOMPARE(peersUntil(carol, {"carol:10.8.0.3:host"}), QStringList{"carol:10.8.0.3:host"});
        // A second join of the room one is in changes nothing.
        QCOMPARE(bob.joinRoom(QStringLiteral("Beta")).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.1.2"));
    }

    void joinRoomRefusals()
    {
        ServerConfig config = testConfig();
        config.maxRoomSize = 2;
        server = startServer(config);
        ControlClient host(port());
        ControlClient guest(port());
        ControlClient third(port());
        host.login(QStringLiteral("host"));
        guest.login(QStringLiteral("guest"));
        third.login(QStringLiteral("third"));

        askJoin(guest, QStringLiteral("Nowhere"));
        QVERIFY(errorText(guest).contains(QStringLiteral("Nowhere")));

        host.createRoom(QStringLiteral("Vault"), QStringLiteral("locked"), QStringLiteral("s3cret"));
        guest.send(command(QStringLiteral("join_room"), {{QStringLiteral("room_name"), QStringLiteral("Vault")}}));
        QCOMPARE(guest.next(QStringLiteral("password_required")).value(QStringLiteral("room_name")).toString(), QStringLiteral("Vault"));
        askJoin(guest, QStringLiteral("Vault"), QStringLiteral("wrong"));
        QVERIFY(errorText(guest).contains(QStringLiteral("Wrong access key")));
        askJoin(guest, QStringLiteral("Vault"), QStringLiteral("s3cre"));
        QVERIFY(errorText(guest).contains(QStringLiteral("Wrong access key")));
        QCOMPARE(guest.joinRoom(QStringLiteral("Vault"), QStringLiteral("s3cret")).value(QStringLiteral("vip")).toString(),
                 QStringLiteral("10.8.0.2"));

        askJoin(third, QStringLiteral("Vault"), QStringLiteral("s3cret"));
        QVERIFY(errorText(third).contains(QStringLiteral("full")));
    }

    void privateRoomNeedsAnInvitation()
    {
        ControlClient host(port());
        ControlClient guest(port());
        host.login(QStringLiteral("host"));
        guest.login(QStringLiteral("guest"));
        host.createRoom(QStringLiteral("Den"), QStringLiteral("private"));
        askJoin(guest, QStringLiteral("Den"), QStringLiteral("anything"));
        QVERIFY(errorText(guest).contains(QStringLiteral("invitation")));

        host.send(targeted(QStringLiteral("invite"), QStringLiteral("GUEST")));
        const QJsonObject invitation = guest.next(QStringLiteral("private_message"));
        QCOMPARE(invitation.value(QStringLiteral("sender")).toString(), QStringLiteral("host"));
        QVERIFY(invitation.value(QStringLiteral("message")).toString().contains(QStringLiteral("Den")));
        QCOMPARE(guest.joinRoom(QStringLiteral("Den"), QString()).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.2"));

        // Inviting needs a room, an online target and someone else.
        guest.send(targeted(QStringLiteral("invite"), QStringLiteral("guest")));
        QVERIFY(errorText(guest).contains(QStringLiteral("yourself")));
        guest.send(targeted(QStringLiteral("invite"), QStringLiteral("ghost")));
        QVERIFY(errorText(guest).contains(QStringLiteral("not online")));
        ControlClient loner(port());
        loner.login(QStringLiteral("loner"));
        loner.send(targeted(QStringLiteral("invite"), QStringLiteral("host")));
        QVERIFY(errorText(loner).contains(QStringLiteral("not in a room")));

        // A kick withdraws the invitation.
        host.send(targeted(QStringLiteral("kick_player"), QStringLiteral("guest")));
        guest.next(QStringLiteral("kicked"));
        askJoin(guest, QStringLiteral("Den"));
        QVERIFY(errorText(guest).contains(QStringLiteral("invitation")));
    }

    void hostLeavesAndTheLongestPresentTakesOver()
    {
        Trio trio(port(), true);
        auto& [alice, bob, carol] = trio;
        alice.send(command(QStringLiteral("leave_room")));
        const QStringList bobHosts{"bob:10.8.0.2:host", "carol:10.8.0.3:-"};
        QCOMPARE(peersUntil(carol, bobHosts), bobHosts);
        QCOMPARE(peersUntil(bob, bobHosts), bobHosts);
        // Leaving while in no room is silent (the client does it after a kick).
        alice.send(command(QStringLiteral("leave_room")));
        QVERIFY(alice.quietOn(QStringLiteral("error"), 100));

        bob.send(command(QStringLiteral("leave_room")));
        carol.send(command(QStringLiteral("leave_room")));
        QTest::qWait(100);
        alice.send(command(QStringLiteral("get_rooms")));
        QCOMPARE(strings(alice.next(QStringLiteral("room_list")), QStringLiteral("rooms")), QStringList());
        // The emptied room's network is handed out again.
        QCOMPARE(alice.createRoom(QStringLiteral("Again")).value(QStringLiteral("vip")).toString(), QStringLiteral("10.8.0.1"));
    }

    void chatReachesTheRightPlayers()
    {
        ControlClient alice(port());
        ControlClient bob(port());
        ControlClient outsider(port());
        alice.login(QStringLiteral("alice"));
        bob.login(QStringLiteral("bob"));
        outsider.login(QStringLiteral("outsider"));
        outsider.send(chat(QStringLiteral("chat"), QStringLiteral("anyone?")));
        QVERIFY(errorText(outsider).contains(QStringLiteral("not in a room")));
        alice.createRoom(QStringLiteral("Alpha"));
        bob.joinRoom(QStringLiteral("Alpha"));

        alice.send(chat(QStringLiteral("chat"), QStringLiteral("  hello <b>room</b>  ")));
        for (ControlClient* member : {&alice, &bob}) {
            const QJsonObject line = member->next(QStringLiteral("chat"));
            QCOMPARE(line.value(QStringLiteral("sender")).toString(), QStringLiteral("alice"));
            QCOMPARE(line.value(QStringLiteral("message")).toString(), QStringLiteral("hello <b>room</b>"));
        }
        bob.send(chat(QStringLiteral("chat"), QStringLiteral("hi alice")));
        QCOMPARE(alice.next(QStringLiteral("chat")).value(QStringLiteral("sender")).toString(), QStringLiteral("bob"));
        QVERIFY(outsider.quietOn(QStringLiteral("chat"), 100));

        outsider.send(chat(QStringLiteral("global_chat"), QStringLiteral("hello all")));
        for (ControlClient* c : {&alice, &bob, &outsider})
            QCOMPARE(c->next(QStringLiteral("global_chat")).value(QStringLiteral("sender")).toString(), QStringLiteral("outsider"));

        bob.send(command(QStringLiteral("private_message"),
                         {{QStringLiteral("target"), QStringLiteral("outsider")}, {QStringLiteral("message"), QStringLiteral("psst")}}));
        const QJsonObject whisper = outsider.next(QStringLiteral("private_message"));
        QCOMPARE(whisper.value(QStringLiteral("sender")).toString(), QStringLiteral("bob"));
        QCOMPARE(whisper.value(QStringLiteral("message")).toString(), QStringLiteral("psst"));
        QVERIFY(alice.quietOn(QStringLiteral("private_message"), 50));
        bob.send(command(QStringLiteral("private_message"),
                         {{QStringLiteral("target"), QStringLiteral("nobody")}, {QStringLiteral("message"), QStringLiteral("psst")}}));
        QVERIFY(errorText(bob).contains(QStringLiteral("not online")));

        // Lengths: 500 characters pass, 501 and blank do not.
        alice.send(chat(QStringLiteral("chat"), QString(500, QLatin1Char('m'))));
        const auto text = [](const QJsonObject& m) { return m.value(QStringLiteral("message")).toString(); };
        QCOMPARE(text(bob.until(QStringLiteral("chat"), [&](const QJsonObject& m) { return text(m).size() == 500; })).size(), 500);
        for (const QString& bad : {QString(501, QLatin1Char('m')), QStringLiteral("   ")}) {
            for (const char* cmd : {"chat", "global_chat"}) {
                alice.send(chat(QLatin1String(cmd), bad));
                QVERIFY(errorText(alice).contains(QStringLiteral("500")));
            }
        }
        QVERIFY(bob.quietOn(QStringLiteral("chat"), 50));
    }

    void chatFloodIsCutWithOneError()
    {
        ControlClient alice(port());
        ControlClient bob(port());
        alice.login(QStringLiteral("alice"));
        bob.login(QStringLiteral("bob"));
        alice.createRoom(QStringLiteral("Alpha"));
        bob.joinRoom(QStringLiteral("Alpha"));
        alice.forget();
        for (int i = 0; i < 30; ++i)
            alice.send(chat(i % 2 ? QStringLiteral("chat") : QStringLiteral("global_chat"), QString::number(i)));
        QTest::qWait(300);
        int received = 0;
        for (const QJsonObject& m : bob.inbox)
            received += m.value(kCmd).toString().endsWith(QStringLiteral("chat"));
        QCOMPARE(received, 20);
        int errors = 0;
        for (const QJsonObject& m : alice.inbox)
            errors += m.value(kCmd).toString() == QStringLiteral("error");
        QCOMPARE(errors, 1);
        // Others are not held back.
        bob.send(chat(QStringLiteral("chat"), QStringLiteral("fine")));
        const auto text = [](const QJsonObject& m) { return m.value(QStringLiteral("message")).toString(); };
        QCOMPARE(text(alice.until(QStringLiteral("chat"), [&](const QJsonObject& m) { return text(m) == QStringLiteral("fine"); })),
                 QStringLiteral("fine"));
    }

    void kickAndTransferAreForTheHost()
    {
        Trio trio(port(), true);
        auto& [alice, bob, carol] = trio;
        ControlClient stranger(port());
        stranger.login(QStringLiteral("stranger"));

        bob.send(targeted(QStringLiteral("kick_player"), QStringLiteral("carol")));
        QVERIFY(errorText(bob).contains(QStringLiteral("Only the host")));
        alice.send(targeted(QStringLiteral("kick_player"), QStringLiteral("alice")));
        QVERIFY(errorText(alice).contains(QStringLiteral("yourself")));
        alice.send(targeted(QStringLiteral("transfer_host"), QStringLiteral("stranger")));
        QVERIFY(errorText(alice).contains(QStringLiteral("not in your room")));
        stranger.send(targeted(QStringLiteral("kick_player"), QStringLiteral("bob")));
        QVERIFY(errorText(stranger).contains(QStringLiteral("not in a room")));

        alice.send(targeted(QStringLiteral("kick_player"), QStringLiteral("bob")));
        QVERIFY(bob.next(QStringLiteral("kicked")).value(QStringLiteral("message")).toString().contains(QStringLiteral("Alpha")));
        const QStringList withoutBob{"alice:10.8.0.1:host", "carol:10.8.0.3:-"};
        QCOMPARE(peersUntil(carol, withoutBob), withoutBob);
        QCOMPARE(peersUntil(alice, withoutBob), withoutBob);
        // The kicked client answers with leave_room; that is silent.
        bob.send(command(QStringLiteral("leave_room")));
        QVERIFY(bob.quietOn(QStringLiteral("error"), 100));

        alice.send(targeted(QStringLiteral("transfer_host"), QStringLiteral("carol")));
        const QStringList carolHosts{"alice:10.8.0.1:-", "carol:10.8.0.3:host"};
        QCOMPARE(peersUntil(carol, carolHosts), carolHosts);
        QCOMPARE(peersUntil(alice, carolHosts), carolHosts);
        alice.send(targeted(QStringLiteral("kick_player"), QStringLiteral("carol")));
        QVERIFY(errorText(alice).contains(QStringLiteral("Only the host")));
    }

    void reconnectionTakesTheSessionBack()
    {
        ControlClient alice(port());
        ControlClient bob(port());
        const QString id = alice.login(QStringLiteral("alice"));
        bob.login(QStringLiteral("bob"));
        alice.createRoom(QStringLiteral("Alpha"));
        bob.joinRoom(QStringLiteral("Alpha"));

        alice.socket.abort();
        QCOMPARE(usersUntil(bob, {"bob"}), QStringList{"bob"});
        // While alice is away the room keeps her, with her address.
        bob.send(chat(QStringLiteral("chat"), QStringLiteral("where is she")));
        bob.next(QStringLiteral("chat"));

        ControlClient again(port());
        QCOMPARE(again.login(QStringLiteral("alice")), id);
        QCOMPARE(peers(again.next(QStringLiteral("room_update"))), (QStringList{"alice:10.8.0.1:host", "bob:10.8.0.2:-"}));
        QCOMPARE(usersUntil(bob, {"alice", "bob"}), (QStringList{"alice", "bob"}));
        bob.send(chat(QStringLiteral("chat"), QStringLiteral("welcome back")));
        QCOMPARE(again.next(QStringLiteral("chat")).value(QStringLiteral("message")).toString(), QStringLiteral("welcome back"));

        // Past the grace time without connection or heartbeat, the session ends.
        again.socket.abort();
        QCOMPARE(peersUntil(bob, {"bob:10.8.0.2:host"}), QStringList{"bob:10.8.0.2:host"});
        ControlClient late(port());
        const QString newId = late.login(QStringLiteral("alice"));
        QVERIFY(!newId.isEmpty());
        QVERIFY(newId != id);
        QVERIFY(late.quietOn(QStringLiteral("room_update"), 100));
    }

    void takeOverIsRefusedFromAnotherAddress()
    {
        ControlClient alice(port());
        const QString id = alice.login(QStringLiteral("alice"));
        alice.createRoom(QStringLiteral("Alpha"));
        alice.socket.abort();
        QTest::qWait(50);

        ControlClient impostor(port(), QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(impostor.isConnected());
        impostor.send(command(QStringLiteral("login"), {{QStringLiteral("username"), QStringLiteral("alice")}}));
        QVERIFY(errorText(impostor).contains(QStringLiteral("already online")));
        // A live connection cannot be taken over even from the same address.
        ControlClient back(port());
        QCOMPARE(back.login(QStringLiteral("Alice")), id);
        ControlClient twin(port());
        twin.send(command(QStringLiteral("login"), {{QStringLiteral("username"), QStringLiteral("alice")}}));
        QVERIFY(errorText(twin).contains(QStringLiteral("already online")));
    }
};

QTEST_GUILESS_MAIN(TestLobbyServer)
#include "test_lobbyserver.moc"
