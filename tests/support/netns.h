// Network namespaces named "<tag>-<pid>-<letter>", so that a later run can
// remove the ones a killed run left behind.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace netns {

struct Result
{
    int code = -1;
    QString output; // stdout and stderr
};

Result run(const QStringList& command, int timeoutMs = 20000);
Result exec(const QString& ns, const QStringList& command, int timeoutMs = 20000);
// Starts `command` inside `ns` without waiting for it; true once it runs.
bool start(QProcess& process, const QString& ns, const QStringList& command);
// Asks a process to end, then kills it if it does not.
void stop(QProcess& process);
// Why namespace tests cannot run here; empty when they can.
QString unavailable(const QStringList& tools = {QStringLiteral("ip")});
// `count` echo requests to `to`, one every `interval` seconds.
QStringList pingCommand(const QString& to, int count, const QString& interval);
int received(const QString& pingOutput);
// Echo replies `ns` got back from `to` out of `count` requests.
int ping(const QString& ns, const QString& to, int count = 3);

// One test's namespaces, removed with it: a hub with a bridge, hosts linked to it.
class Lab
{
public:
    // Also removes namespaces of `tag` whose process no longer runs.
    explicit Lab(const QString& tag);
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;
    QString name(char letter) const;
    // A namespace with its loopback up and nothing else.
    bool add(const QString& ns);
    bool addHub(const QString& ns, const QString& cidr);
    bool addHost(const QString& ns, const QString& cidr);

private:
    QString m_tag, m_hub;
    QStringList m_made;
};

// While it lives, this thread is in `ns`: the sockets it opens meanwhile stay there.
class Inside
{
public:
    explicit Inside(const QString& ns);
    ~Inside();
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    bool entered() const { return m_entered; }

private:
    int m_home = -1;
    bool m_entered = false;
};

} // namespace netns
