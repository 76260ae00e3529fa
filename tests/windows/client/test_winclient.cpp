// The Windows client as a player gets it: the installer run silently under
// wine, the installed pellora.exe started on an X display against our lobby
// on loopback (a fake one, or the real server with its relay), and the
// uninstaller. The slots run in order: install first, uninstall last.
#include "tests/server/serverharness.h"
#include "tests/support/fakelobby.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

namespace {

const QString kWinEnv = QStringLiteral(PELLORA_WINENV);
const QString kWinEnvDir = QStringLiteral(PELLORA_WINENV_DIR);
const QString kSetup = QStringLiteral(PELLORA_SETUP);
const QString kUser = u"HKCU\\Software\\Zentho\\Launcher"_s;
const QString kScheme = u"HKCU\\Software\\Classes\\pellora"_s;
const QString kUninstall = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pellora"_s;
constexpr int kStartMs = 30000; // a wine process's first window, TLS and all

QString prefix()
{
    return kWinEnvDir + u"/wineprefix"_s;
}

// The Windows user's profile folder in the prefix (named after the Unix user).
QString profile()
{
    const QDir users(prefix() + u"/drive_c/users"_s);
    for (const QString& name : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (name != u"Public"_s)
            return users.filePath(name);
    return {};
}

QString installDir()
{
    return profile() + u"/AppData/Local/Programs/Pellora"_s;
}

QString startMenuEntry()
{
    return profile() + u"/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Pellora.lnk"_s;
}

// A Windows program under the fixture's wine, from `directory`.
std::unique_ptr<QProcess> wine(const QString& program, const QStringList& arguments,
                               const QString& directory = QDir::tempPath(),
                               const QProcessEnvironment& extra = {})
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QT_QPA_PLATFORM"_s); // the program's own choice: the windows platform
    environment.insert(extra);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(directory);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(kWinEnv, QStringList{kWinEnvDir, u"run"_s, program} + arguments);
    return process;
}

// Runs to its end, the event loop turning meanwhile; the exit code, -1 if it did not end.
int finish(QProcess& process, int timeoutMs = kStartMs)
{
    if (!testwait::until([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int run(const QString& program, const QStringList& arguments)
{
    return finish(*wine(program, arguments));
}

// A registry value as `reg query` prints it; empty when the key or value is missing.
QString registryValue(const QString& key, const QString& name = {})
{
    const QStringList which = name.isEmpty() ? QStringList{u"/ve"_s} : QStringList{u"/v"_s, name};
    auto process = wine(u"reg"_s, QStringList{u"query"_s, key} + which);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    if (finish(*process) != 0)
        return {};
    for (const QString& line : QString::fromLocal8Bit(process->readAllStandardOutput()).split(u'\n')) {
        const QStringList parts = line.trimmed().split(u"    "_s);
        if (parts.size() >= 2 && parts.at(1).startsWith(u"REG_"_s))
            return parts.size() > 2 ? parts.at(2).trimmed() : QString();
    }
    return {};
}

// Whether the client's main window is on the fixture's X display, as wine shows a Windows window.
bool windowShown()
{
    QFile display(kWinEnvDir + u"/display"_s);
    QProcess xwininfo;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, display.open(QIODevice::ReadOnly) ? display.readAll().trimmed() : "");
    xwininfo.setProcessEnvironment(environment);
    xwininfo.start(u"xwininfo"_s, {u"-root"_s, u"-tree"_s});
    return xwininfo.waitForFinished() &&
           xwininfo.readAllStandardOutput().contains(R"("Zentho - Pellora Beta 0.4": ("pellora.exe")");
}

bool registryHas(const QString& key, const QString& value = {})
{
    return run(u"reg"_s, QStringList{u"query"_s, key} +
                             (value.isEmpty() ? QStringList{} : QStringList{u"/v"_s, value})) == 0;
}

} // namespace

class TestWinClient : public QObject
{
    Q_OBJECT
    QString error;
    const tls::Identity identity = tls::loadIdentity({}, {}, {}, &error); // fresh
    std::vector<std::unique_ptr<QProcess>> clients;

    // The installed program (or `program`) started against the lobby on `port`, opening `room`'s invite
    // link when one is named, as a click on an invite would. The server is named too: a link to another
    // server than the one saved asks before switching.
    QProcess& startClient(quint16 port, const QString& room, const QString& program = {},
                          const QString& directory = QDir::tempPath(), const QProcessEnvironment& extra = {})
    {
        QStringList arguments{u"--server"_s, u"127.0.0.1:%1"_s.arg(port)};
        if (!room.isEmpty())
            arguments.append(u"pellora://127.0.0.1:%1/%2"_s.arg(port).arg(room));
        clients.push_back(wine(program.isEmpty() ? installDir() + u"/pellora.exe"_s : program, arguments,
                               directory, extra));
        return *clients.back();
    }
    // Logged in with the saved nickname, seen by `lobby`.
    static bool loginArrives(FakeLobby& lobby, const QString& name = u"alice"_s)
    {
        return testwait::until([&] { return lobby.count(u"login"_s) > 0; }, kStartMs) &&
               lobby.last(u"login"_s).value(u"username"_s).toString() == name;
    }
    static bool joinArrives(FakeLobby& lobby, const QString& room)
    {
        return testwait::until([&] { return lobby.last(u"join_room"_s).value(u"room_name"_s) == room; },
                               kStartMs);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!identity.isNull(), qPrintable(error));
        QVERIFY2(QFile::exists(kSetup), qPrintable(kSetup));
        QVERIFY(!profile().isEmpty());
        // The recording netsh.exe and route.exe in place of the system's, where the client runs them from.
        const QString system32 = prefix() + u"/drive_c/windows/system32/"_s;
        for (const QString& command : {u"netsh.exe"_s, u"route.exe"_s}) {
            QFile::remove(system32 + command);
            QVERIFY(QFile::copy(QStringLiteral(PELLORA_FAKE_COMMANDS "/") + command, system32 + command));
        }
        QCOMPARE(run(u"reg"_s, {u"add"_s, kUser, u"/v"_s, u"username"_s, u"/d"_s, u"alice"_s, u"/f"_s}), 0);
        // Its rooms never ask this machine's real router for a port.
        QCOMPARE(run(u"reg"_s, {u"add"_s, kUser, u"/v"_s, u"openRouterPort"_s, u"/d"_s, u"false"_s, u"/f"_s}),
                 0);
    }
    void cleanup()
    {
        for (auto& client : clients) {
            client->kill();
            client->waitForFinished();
        }
        clients.clear();
    }

    void installerInstallsSilentlyForThisUser()
    {
        QCOMPARE(run(kSetup, {u"/S"_s}), 0);
        for (const QString& file : {u"pellora.exe"_s, u"Qt6Network.dll"_s, u"platforms/qwindows.dll"_s,
                                    u"tls/qschannelbackend.dll"_s, u"libwinpthread-1.dll"_s})
            QVERIFY2(QFile::exists(installDir() + u'/' + file), qPrintable(file));
        QVERIFY(QFile::exists(startMenuEntry()));
        QCOMPARE(registryValue(kScheme + u"\\shell\\open\\command"_s),
                 u"\"C:\\users\\%1\\AppData\\Local\\Programs\\Pellora\\pellora.exe\" \"%2\""_s.arg(
                     QFileInfo(profile()).fileName(), u"%1"_s));
        QVERIFY(registryHas(kScheme, u"URL Protocol"_s));
        QVERIFY(registryValue(kUninstall, u"UninstallString"_s).endsWith(u"uninstall.exe\""_s));
    }

    // On the windows platform, over Schannel: the nickname from the registry logs in, the link's room is
    // joined, the key pinned.
    void installedClientLogsInSealed()
    {
        FakeLobby lobby(identity);
        startClient(lobby.port(), u"Alpha"_s);
        QVERIFY(loginArrives(lobby));
        QVERIFY(lobby.client->isEncrypted());
        QVERIFY(testwait::until(windowShown, kStartMs));
        lobby.send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        QVERIFY(joinArrives(lobby, u"Alpha"_s));
        QCOMPARE(registryValue(kUser + u"\\pins"_s, QString::fromLatin1(lobby.endpoint())),
                 tls::fingerprint(identity.certificate));
    }

    // After a restart the pin holds: the same key logs in again, another key gets nothing.
    void pinnedKeySurvivesARestart()
    {
        quint16 port = 0;
        {
            FakeLobby first(identity);
            port = first.port();
            startClient(port, u"Alpha"_s);
            QVERIFY(loginArrives(first));
            cleanup();
            startClient(port, u"Alpha"_s);
            first.received.clear();
            QVERIFY(loginArrives(first));
            cleanup();
        }
        FakeLobby impostor(tls::loadIdentity({}, {}, {}, &error), port);
        startClient(port, u"Alpha"_s);
        QVERIFY(testwait::until([&] { return impostor.handshakes > 0; }, kStartMs));
        QVERIFY(!testwait::until([&] { return !impostor.received.isEmpty(); }, 3000));
        QCOMPARE(registryValue(kUser + u"\\pins"_s, u"127.0.0.1:%1"_s.arg(port)),
                 tls::fingerprint(identity.certificate));
    }

    // A second start hands its link to the first through the named pipe, and ends.
    void secondStartHandsItsLinkToTheFirst()
    {
        FakeLobby lobby(identity);
        startClient(lobby.port(), {});
        // Up, so that the second start finds it.
        QVERIFY(testwait::until([&] { return lobby.handshakes > 0; }, kStartMs));
        QProcess& second = startClient(lobby.port(), u"Beta"_s);
        QCOMPARE(finish(second), 0);
        QVERIFY(loginArrives(lobby));
        lobby.send(control::message(u"login_ok"_s, {{u"client_id"_s, u"c1"_s}}));
        QVERIFY(joinArrives(lobby, u"Beta"_s));
        QCOMPARE(lobby.connections, 1);
    }

    // A package that lost its TLS plugin still connects to a server it never saw sealed: plain.
    void withoutTheTlsPluginTheClientConnectsPlain()
    {
        QTemporaryDir package(prefix() + u"/drive_c/stripped-XXXXXX"_s);
        QDirIterator files(installDir(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString relative = QDir(installDir()).relativeFilePath(files.next());
            if (relative.startsWith(u"tls/"_s))
                continue;
            QDir().mkpath(QFileInfo(package.filePath(relative)).path());
            QVERIFY(QFile::copy(files.filePath(), package.filePath(relative)));
        }
        FakeLobby lobby(identity);
        startClient(lobby.port(), u"Alpha"_s, package.filePath(u"pellora.exe"_s));
        QVERIFY(loginArrives(lobby));
        QCOMPARE(lobby.handshakes, 0);
        QVERIFY(!lobby.client->isEncrypted());
    }

    // In a room on our server: the adapter comes up through the stand-in wintun.dll and the recorded
    // netsh and route runs, and a packet crosses the relay each way between this client and bob.
    void roomCarriesAPacketEachWayThroughTheRelay()
    {
        serverlog::setLevel(serverlog::Level::Error);
        const std::unique_ptr<LobbyServer> server = harness::startServer();
        QVERIFY(server);
        harness::ControlClient bob(server->port());
        const QString bobId = bob.login(u"bob"_s);
        const QString bobVip = bob.createRoom(u"Alpha"_s).value(u"vip"_s).toString();
        QVERIFY(!bobId.isEmpty() && !bobVip.isEmpty());
        harness::TunnelPeer bobTunnel(server->port());
        bobTunnel.heartbeat(bobId);

        // The driver library a player drops beside the program.
        const QString wintun = installDir() + u"/wintun.dll"_s;
        QVERIFY(QFile::copy(QStringLiteral(PELLORA_FAKE_WINTUN), wintun));
        const auto removeWintun = qScopeGuard([&] { QFile::remove(wintun); });
        QTemporaryDir work;
        QProcessEnvironment echo;
        echo.insert(u"PELLORA_FAKE_WINTUN_ECHO"_s, u"1"_s);
        startClient(server->port(), u"Alpha"_s, {}, work.path(), echo);

        QString aliceVip; // as bob's room list shows her
        QVERIFY(testwait::until(
            [&] {
                for (const QJsonObject& update : bob.inbox)
                    for (const QJsonValue peer : update.value(u"peers"_s).toArray())
                        if (update.value(u"cmd"_s) == u"room_update"_s && peer[u"username"_s] == u"alice"_s)
                            aliceVip = peer[u"vip"_s].toString();
                return !aliceVip.isEmpty();
            },
            kStartMs));
        QCOMPARE(registryValue(kUser + u"\\pins"_s, u"127.0.0.1:%1"_s.arg(server->port())).isEmpty(), false);

        // Sent until the adapter is up: the stand-in answers from the client's address.
        const QByteArray toAlice = harness::ipv4Packet(qPrintable(bobVip), qPrintable(aliceVip));
        const QByteArray answer = harness::ipv4Packet(qPrintable(aliceVip), qPrintable(bobVip));
        QByteArray received;
        for (int attempt = 0; attempt < 120 && received != answer; ++attempt) {
            bobTunnel.heartbeat(bobId);
            bobTunnel.sendPlain(toAlice);
            received = bobTunnel.receive(250);
        }
        QCOMPARE(received.toHex(), answer.toHex());

        QFile log(work.filePath(u"commands.log"_s));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString commands = QString::fromUtf8(log.readAll());
        QVERIFY2(commands.contains(u"|interface|ipv4|set|address|name=RIRODedo|static|%1|255.255.255.0"_s.arg(
                     aliceVip)),
                 qPrintable(commands));
        QVERIFY2(commands.contains(u"route.exe|add|255.255.255.255|mask|255.255.255.255|%1"_s.arg(aliceVip)),
                 qPrintable(commands));
    }

    // Files, Start-menu entry, scheme and listing go; the player's settings stay.
    void uninstallerRemovesAllButTheSettings()
    {
        QCOMPARE(run(installDir() + u"/uninstall.exe"_s, {u"/S"_s}), 0);
        // The uninstaller runs on from a copy of itself, which removes the folder last.
        QVERIFY(testwait::until([] { return !QFile::exists(installDir()); }, kStartMs));
        QVERIFY(!QFile::exists(startMenuEntry()));
        QVERIFY(!registryHas(kScheme));
        QVERIFY(!registryHas(kUninstall));
        QCOMPARE(registryValue(kUser, u"username"_s), u"alice"_s);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestWinClient test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_winclient.moc"
