// pellora-server and two driven clients (tests/e2e/driver.cpp), each in a
// network namespace of the test's own, joined by veth links to a bridge in the
// server's; a stranger in a fourth. Addresses exist only inside them.
#pragma once

#include "net/scramble.h"
#include "tests/e2e/ipv4packet.h"
#include "tests/support/netns.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace e2e {

inline const QString kServerIp = QStringLiteral("10.99.0.1");
constexpr int kPort = 7777;

inline bool ok(const QJsonObject& answer)
{
    return answer.value(QStringLiteral("ok")).toBool();
}

inline bool adapterUp(const QJsonObject& s)
{
    return s.value(QStringLiteral("wintun")).toBool() || s.value(QStringLiteral("tap")).toBool();
}

inline bool datagramSeen(const QJsonObject& answer, const QString& text)
{
    for (const QJsonValue& d : answer.value(QStringLiteral("datagrams")).toArray())
        if (d.toString() == text)
            return true;
    return false;
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
        return netns::start(
            process, netns,
            {QStringLiteral("env"), QStringLiteral("PELLORA_SERVER=%1:%2").arg(kServerIp).arg(kPort),
             QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("QT_LOGGING_RULES=qt.qpa.*=false"),
             QStringLiteral(PELLORA_E2E_DRIVER)});
    }

    // One command, one JSON answer.
    QJsonObject command(const QString& line)
    {
        process.write(line.toUtf8() + '\n');
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 15000) {
            while (process.canReadLine()) {
                const QJsonObject answer = QJsonDocument::fromJson(process.readLine()).object();
                if (answer.contains(QStringLiteral("ok")))
                    return answer;
            }
            process.waitForReadyRead(100);
        }
        return {{QStringLiteral("ok"), false},
                {QStringLiteral("error"), QStringLiteral("no answer to ") + line}};
    }

    bool run(const QString& line) { return ok(command(line)); }
    QJsonObject status() { return command(QStringLiteral("status")); }
    QString text(const char* key) { return status().value(QLatin1String(key)).toString(); }
    int count(const char* key) { return status().value(QLatin1String(key)).toInt(); }

    bool waitForStatus(const std::function<bool(const QJsonObject&)>& condition, int timeoutMs = 10000)
    {
        return netns::waitUntil([&] { return condition(status()); }, timeoutMs);
    }

    bool waitForMore(const char* key, int than, int timeoutMs)
    {
        return waitForStatus([&](const QJsonObject& s) { return s.value(QLatin1String(key)).toInt() > than; },
                             timeoutMs);
    }

    // True when the client ended by itself and cleanly (sanitizer reports fail it).
    bool stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.write("quit\n");
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(3000);
                return false;
            }
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
};

class World
{
public:
    explicit World(const QString& tag) : lab(tag) {}

    netns::Lab lab;
    const QString nsServer = lab.name('s');
    const QString nsStranger = lab.name('x');
    QProcess server;
    Player alice{QStringLiteral("alice"), lab.name('a')};
    Player bob{QStringLiteral("bob"), lab.name('b')};

    static QString unavailable()
    {
        return netns::unavailable({QStringLiteral("ip"), QStringLiteral("ping"), QStringLiteral("ss")});
    }

    // Alice at 10.99.0.2, Bob at .3, the stranger at .9; both players logged in.
    bool setUp(const QStringList& serverOptions = {})
    {
        options = serverOptions;
        if (!lab.addBridge(nsServer, QStringLiteral("br0"), kServerIp + QStringLiteral("/24")))
            return false;
        for (const auto& [ns, host] : {std::pair{alice.netns, 2}, {bob.netns, 3}, {nsStranger, 9}})
            if (!lab.addHost(ns, QStringLiteral("10.99.0.%1/24").arg(host), nsServer, QStringLiteral("br0"),
                             QStringLiteral("p%1").arg(host)))
                return false;
        if (!startServer())
            return false;
        for (Player* p : {&alice, &bob})
            if (!p->start() || !p->run(QStringLiteral("login ") + p->name) ||
                !p->waitForMore("logins", 0, 15000))
                return false;
        QTest::qWait(2500); // first heartbeats: the relay learns both tunnel ports
        return true;
    }

    bool startServer(int port = kPort, const QStringList& more = {})
    {
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        return netns::start(server, nsServer,
                            QStringList{QStringLiteral(PELLORA_E2E_SERVER), QStringLiteral("--listen"),
                                        kServerIp, QStringLiteral("--port"), QString::number(port),
                                        QStringLiteral("--stats-interval"), QStringLiteral("0")} +
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

    // `to` hears `text` that `from` keeps sending to `address`.
    static bool arrives(Player& from, Player& to, const QString& address, int port, const QString& text)
    {
        return to.run(QStringLiteral("udplisten %1").arg(port)) &&
               netns::waitUntil(
                   [&] {
                       from.run(QStringLiteral("udpsend %1 %2 %3").arg(address).arg(port).arg(text));
                       return datagramSeen(to.command(QStringLiteral("udprecv")), text);
                   },
                   8000, 300);
    }

    // A packet from Alice to Bob's `port` sent straight to his tunnel port from
    // the stranger and from the relay's host, but not by the relay, never
    // reaches his adapter.
    bool forgedNeverArrives(int port, const QString& macB = {})
    {
        QByteArray forged =
            testpackets::udpPacket(alice.text("vip").toLatin1().constData(),
                                   bob.text("vip").toLatin1().constData(), 5555, port, "forged");
        if (!macB.isEmpty())
            forged = testpackets::ethernetFrame(
                QByteArray::fromHex(QString(macB).remove(QLatin1Char(':')).toLatin1()), forged);
        const QString hex = QString::fromLatin1(tunnel::scramblePayload(forged).toHex());
        const QString tunnelPort = QString::number(bob.count("udpPort"));
        for (const QString& from : {nsStranger, nsServer})
            if (netns::exec(from, {QStringLiteral(PELLORA_E2E_DRIVER), QStringLiteral("--send"),
                                   QStringLiteral("10.99.0.3"), tunnelPort, hex})
                    .code != 0)
                return false;
        QTest::qWait(1500);
        return !datagramSeen(bob.command(QStringLiteral("udprecv")), QStringLiteral("forged"));
    }

private:
    QStringList options;
};

inline QString broadcastOf(const QString& vip)
{
    return vip.section(QLatin1Char('.'), 0, 2) + QStringLiteral(".255");
}

} // namespace e2e
