#include "server/ops/procstats_linux.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <unistd.h>

ProcessStats processStats()
{
    ProcessStats s;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> f = statm.readAll().split(' ');
        if (f.size() > 1)
            s.residentBytes = f[1].toLongLong() * sysconf(_SC_PAGESIZE);
    }
    // The command name may hold blanks and parentheses: the fields follow the last ')'.
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12)
            s.cpuSeconds = (f[11].toDouble() + f[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
    const QDir fds(QStringLiteral("/proc/self/fd"));
    if (fds.exists())
        s.openFiles =
            static_cast<int>(fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
    return s;
}
