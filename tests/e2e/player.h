// pellora-server, two driven clients (driver.cpp) and a stranger, each in a
// namespace of the test's own bridged to the server's.
#pragma once

#include "tests/support/netns.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace e2e {

using namespace Qt::StringLiterals;

inline const QString kServerIp = u"10.99.0.1"_s;
constexpr int kPort = 7777;

inline bool adapterUp(const QJsonObject& s)
{
    return s.value(u"wintun"_s).toBool() || s.value(u"tap"_s).toBool();
}

class Player
{
public:
    Player(const QString& name, const QString& ns) : name(name), netns(ns) {}

    const QString name;
    const QString netns;
    QProcess process;

    bool start()
    {
        // Answers on stdout; the client's own messages pass through to ours.
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        return netns::start(process, netns,
                            {u"env"_s, u"PELLORA_SERVER=%1:%2"_s.arg(kServerIp).arg(kPort),
                             u"QT_QPA_PLATFORM=offscreen"_s, u"QT_LOGGING_RULES=qt.qpa.*=false"_s,
                             QStringLiteral(PELLORA_E2E_DRIVER)});
    }

    // One command, one JSON answer.
    QJsonObject command(const QString& line)
    {
        process.write(line.toUtf8() + '\n');
        for (const QDeadlineTimer deadline(15000); !deadline.hasExpired(); process.waitForReadyRead(100)) {
            while (process.canReadLine()) {
                const QJsonObject answer = QJsonDocument::fromJson(process.readLine()).object();
                if (answer.contains(u"ok"_s))
                    return answer;
            }
        }
        return {{u"ok"_s, false}, {u"error"_s, u"no answer to "_s + line}};
    }

    bool run(const QString& line) { return command(line).value(u"ok"_s).toBool(); }
    // Creates or joins a room and waits for the adapter.
    bool enter(const QString& line) { return run(line) && waitForStatus(adapterUp); }
    QJsonObject status() { return command(u"status"_s); }
    QString text(const char* key) { return status().value(QLatin1String(key)).toString(); }
    int count(const char* key) { return status().value(QLatin1String(key)).toInt(); }
    bool heard(const QString& text)
    {
        return command(u"udprecv"_s).value(u"datagrams"_s).toArray().contains(text);
    }

    bool waitForStatus(const std::function<bool(const QJsonObject&)>& condition, int timeoutMs = 10000)
    {
        return netns::waitUntil([&] { return condition(status()); }, timeoutMs);
    }

    bool waitForMore(const char* key, int than, int timeoutMs)
    {
        return waitForStatus([&](const QJsonObject& s) { return s.value(QLatin1String(key)).toInt() > than; },
                             timeoutMs);
    }

    // True on a clean exit (sanitizer reports fail it).
    bool stop()
    {
        if (process.state() == QProcess::Running)
            process.write("quit\n");
        process.waitForFinished(5000);
        const bool clean = process.state() == QProcess::NotRunning &&
                           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        netns::stop(process);
        return clean;
    }
};

// `to` hears `text` that `from` keeps sending to `address`.
inline bool arrives(Player& from, Player& to, const QString& address, int port, const QString& text)
{
    return to.run(u"udplisten %1"_s.arg(port)) &&
           netns::waitUntil(
               [&] {
                   from.run(u"udpsend %1 %2 %3"_s.arg(address).arg(port).arg(text));
                   return to.heard(text);
               },
               8000, 300);
}

class World
{
public:
    explicit World(const QString& tag) : lab(tag) {}

    netns::Lab lab;
    const QString nsServer = lab.name('s');
    const QString nsStranger = lab.name('x');
    QProcess server;
    Player alice{u"alice"_s, lab.name('a')};
    Player bob{u"bob"_s, lab.name('b')};

    static QString unavailable() { return netns::unavailable({u"ip"_s, u"ping"_s, u"ss"_s}); }

    // Alice at 10.99.0.2, Bob at .3, the stranger at .9; both players logged in.
    bool setUp(const QStringList& serverOptions = {})
    {
        options = serverOptions;
        if (!lab.addHub(nsServer, kServerIp + u"/24"_s) || !lab.addHost(alice.netns, u"10.99.0.2/24"_s) ||
            !lab.addHost(bob.netns, u"10.99.0.3/24"_s) || !lab.addHost(nsStranger, u"10.99.0.9/24"_s) ||
            !startServer())
            return false;
        for (Player* p : {&alice, &bob})
            if (!p->start() || !p->run(u"login "_s + p->name) || !p->waitForMore("logins", 0, 15000))
                return false;
        QTest::qWait(2500); // first heartbeats: the relay learns both tunnel ports
        return true;
    }

    bool startServer(int port = kPort, const QStringList& more = {})
    {
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        return netns::start(server, nsServer,
                            QStringList{QStringLiteral(PELLORA_E2E_SERVER), u"--listen"_s, kServerIp,
                                        u"--port"_s, QString::number(port), u"--stats-interval"_s, u"0"_s} +
                                options + more);
    }

    bool stopServer(bool kill = false)
    {
        kill ? server.kill() : server.terminate();
        return server.waitForFinished(5000);
    }

    // True when both clients ended cleanly.
    bool tearDown()
    {
        const bool clean = alice.stop() & bob.stop();
        netns::stop(server);
        return clean;
    }

private:
    QStringList options;
};

} // namespace e2e
