#include "tests/support/netns.h"

#include "net/netdev_linux.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <sched.h>
#include <unistd.h>

namespace netns {

Result run(const QStringList& command, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    Result result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        result.output = QStringLiteral("timed out: ") + command.join(QLatin1Char(' '));
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromLocal8Bit(process.readAll());
    return result;
}

static QStringList inside(const QString& ns, const QStringList& command)
{
    return QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), ns} + command;
}

Result exec(const QString& ns, const QStringList& command, int timeoutMs)
{
    return run(inside(ns, command), timeoutMs);
}

// `ip -n <ns> <args>`, the arguments split at spaces; true on success.
static bool ip(const QString& ns, const QString& args)
{
    return run(QStringList{QStringLiteral("ip"), QStringLiteral("-n"), ns} + args.split(QLatin1Char(' ')))
               .code == 0;
}

bool start(QProcess& process, const QString& ns, const QStringList& command)
{
    const QStringList full = inside(ns, command);
    process.start(full.first(), full.mid(1));
    return process.waitForStarted(5000);
}

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs, int stepMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(stepMs);
    }
    return true;
}

QString unavailable(const QStringList& tools)
{
    if (geteuid() != 0)
        return QStringLiteral("needs root: creates network namespaces and TUN/TAP devices");
    if (!QFileInfo::exists(QStringLiteral("/dev/net/tun")))
        return QStringLiteral("/dev/net/tun is missing: no TUN/TAP driver on this machine");
    for (const QString& tool : tools)
        if (run({QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("command -v ") + tool}).code != 0)
            return QStringLiteral("%1 is not installed (scripts/setup.sh installs it)").arg(tool);
    return {};
}

QString isolate()
{
    if (geteuid() != 0)
        return QStringLiteral("needs root: starts a real adapter, kept in a private network namespace");
    if (unshare(CLONE_NEWNET) != 0)
        return QStringLiteral("cannot create a private network namespace");
    netdev::setUp("lo");
    return {};
}

QStringList pingCommand(const QString& to, int count, const QString& interval)
{
    return {QStringLiteral("ping"), QStringLiteral("-n"), QStringLiteral("-c"),
            QString::number(count), QStringLiteral("-i"), interval,
            QStringLiteral("-W"),   QStringLiteral("1"),  to};
}

int received(const QString& pingOutput)
{
    static const QRegularExpression replies(QStringLiteral("(\\d+) received"));
    return replies.match(pingOutput).captured(1).toInt();
}

int ping(const QString& ns, const QString& to, int count)
{
    const Result r = exec(ns, pingCommand(to, count), 30000);
    const int got = received(r.output);
    if (got < count)
        qWarning("%s -> %s:\n%s", qPrintable(ns), qPrintable(to), qPrintable(r.output));
    return got;
}

QString macOf(const QString& ns, const QString& interfaceName)
{
    const QString out = run({QStringLiteral("ip"), QStringLiteral("-n"), ns, QStringLiteral("-o"),
                             QStringLiteral("link"), QStringLiteral("show"), interfaceName})
                            .output;
    static const QRegularExpression ether(QStringLiteral("link/ether ([0-9a-f:]{17})"));
    return ether.match(out).captured(1);
}

bool interfaceExists(const QString& ns, const QString& interfaceName)
{
    return ip(ns, QStringLiteral("link show ") + interfaceName);
}

Lab::Lab(const QString& tag) : m_tag(tag)
{
    // Left by an earlier run that was killed; its pid is in the name.
    if (geteuid() != 0)
        return;
    const QString list = run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("list")}).output;
    const QRegularExpression stale(QStringLiteral("^(%1-(\\d+)-[a-z])").arg(QRegularExpression::escape(tag)),
                                   QRegularExpression::MultilineOption);
    for (auto it = stale.globalMatch(list); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (kill(m.captured(2).toInt(), 0) != 0)
            run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), m.captured(1)});
    }
}

Lab::~Lab()
{
    for (const QString& ns : std::as_const(m_made))
        run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("del"), ns});
}

QString Lab::name(char letter) const
{
    return QStringLiteral("%1-%2-%3").arg(m_tag).arg(getpid()).arg(QLatin1Char(letter));
}

bool Lab::add(const QString& ns)
{
    if (run({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("add"), ns}).code != 0)
        return false;
    m_made << ns;
    return ip(ns, QStringLiteral("link set lo up"));
}

bool Lab::addBridge(const QString& ns, const QString& bridge, const QString& cidr)
{
    return add(ns) && ip(ns, QStringLiteral("link add %1 type bridge").arg(bridge)) &&
           ip(ns, QStringLiteral("addr add %1 dev %2").arg(cidr, bridge)) &&
           ip(ns, QStringLiteral("link set %1 up").arg(bridge));
}

bool Lab::addHost(const QString& ns, const QString& cidr, const QString& hub, const QString& bridge,
                  const QString& port)
{
    return add(ns) && ip(ns, QStringLiteral("link add v0 type veth peer name %1 netns %2").arg(port, hub)) &&
           ip(ns, QStringLiteral("addr add %1 dev v0").arg(cidr)) &&
           ip(ns, QStringLiteral("link set v0 up")) &&
           ip(hub, QStringLiteral("link set %1 master %2").arg(port, bridge)) &&
           ip(hub, QStringLiteral("link set %1 up").arg(port));
}

} // namespace netns
