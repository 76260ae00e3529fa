#include "tests/support/netns.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace netns {

Result run(const QStringList& command, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(timeoutMs)) {
        stop(process);
        return {-1, u"timed out: "_s + command.join(u' ')};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}
Result exec(const QString& ns, const QStringList& command, int timeoutMs)
{
    return run(QStringList{u"ip"_s, u"netns"_s, u"exec"_s, ns} + command, timeoutMs);
}
// `ip -n <ns> <args>`; true on success.
static bool ip(const QString& ns, const QString& args)
{
    return run(QStringList{u"ip"_s, u"-n"_s, ns} + args.split(u' ')).code == 0;
}
bool start(QProcess& process, const QString& ns, const QStringList& command)
{
    process.start(u"ip"_s, QStringList{u"netns"_s, u"exec"_s, ns} + command);
    return process.waitForStarted(5000);
}
void stop(QProcess& process)
{
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished(3000);
}
QString unavailable(const QStringList& tools)
{
    if (geteuid() != 0)
        return u"needs root: creates network namespaces and TUN/TAP devices"_s;
    if (!QFileInfo::exists(u"/dev/net/tun"_s))
        return u"/dev/net/tun is missing: no TUN/TAP driver on this machine"_s;
    for (const QString& tool : tools)
        if (run({u"sh"_s, u"-c"_s, u"command -v "_s + tool}).code != 0)
            return u"%1 is not installed (scripts/setup.sh installs it)"_s.arg(tool);
    return {};
}
QStringList pingCommand(const QString& to, int count, const QString& interval)
{
    return {u"ping"_s, u"-n"_s, u"-c"_s, QString::number(count), u"-i"_s, interval, u"-W"_s, u"1"_s, to};
}
int received(const QString& pingOutput)
{
    static const QRegularExpression replies(u"(\\d+) received"_s);
    return replies.match(pingOutput).captured(1).toInt();
}
int ping(const QString& ns, const QString& to, int count)
{
    return received(exec(ns, pingCommand(to, count, u"0.3"_s), 30000).output);
}
Lab::Lab(const QString& tag) : m_tag(tag)
{
    // Left by an earlier run that was killed; its pid is in the name.
    const QString list = run({u"ip"_s, u"netns"_s, u"list"_s}).output;
    const QRegularExpression stale(u"^(%1-(\\d+)-[a-z])"_s.arg(QRegularExpression::escape(tag)),
                                   QRegularExpression::MultilineOption);
    for (auto it = stale.globalMatch(list); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        if (kill(m.captured(2).toInt(), 0) != 0)
            run({u"ip"_s, u"netns"_s, u"del"_s, m.captured(1)});
    }
}
Lab::~Lab()
{
    for (const QString& ns : std::as_const(m_made))
        run({u"ip"_s, u"netns"_s, u"del"_s, ns});
}
QString Lab::name(char letter) const
{
    return u"%1-%2-%3"_s.arg(m_tag).arg(getpid()).arg(QLatin1Char(letter));
}
bool Lab::add(const QString& ns)
{
    if (run({u"ip"_s, u"netns"_s, u"add"_s, ns}).code != 0)
        return false;
    m_made << ns;
    return ip(ns, u"link set lo up"_s);
}
bool Lab::addHub(const QString& ns, const QString& cidr)
{
    m_hub = ns;
    return add(ns) && ip(ns, u"link add br0 type bridge"_s) && ip(ns, u"addr add %1 dev br0"_s.arg(cidr)) &&
           ip(ns, u"link set br0 up"_s);
}
bool Lab::addHost(const QString& ns, const QString& cidr)
{
    const QString port = u"p%1"_s.arg(m_made.size());
    return add(ns) && ip(ns, u"link add v0 type veth peer name %1 netns %2"_s.arg(port, m_hub)) &&
           ip(ns, u"addr add %1 dev v0"_s.arg(cidr)) && ip(ns, u"link set v0 up"_s) &&
           ip(m_hub, u"link set %1 master br0"_s.arg(port)) && ip(m_hub, u"link set %1 up"_s.arg(port));
}
Inside::Inside(const QString& ns)
{
    m_home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(qPrintable(u"/run/netns/"_s + ns), O_RDONLY | O_CLOEXEC);
    m_entered = m_home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}
Inside::~Inside()
{
    if (m_entered && setns(m_home, CLONE_NEWNET) != 0)
        qFatal("cannot return to the test's own network namespace");
    if (m_home >= 0)
        close(m_home);
}

} // namespace netns
