#include "server/serverlog.h"

#include <QDateTime>

#include <atomic>
#include <cstdio>

namespace serverlog {
namespace {

std::atomic<int> g_level{static_cast<int>(Level::Info)};
thread_local Gate* t_gate = nullptr;

const char* levelName(Level level)
{
    switch (level) {
    case Level::Error:
        return "error";
    case Level::Warn:
        return "warn";
    case Level::Info:
        return "info";
    case Level::Debug:
        return "debug";
    }
    return "?";
}

} // namespace

void setLevel(Level level)
{
    g_level.store(static_cast<int>(level));
}

bool enabled(Level level)
{
    return static_cast<int>(level) <= g_level.load(std::memory_order_relaxed);
}

bool parseLevel(const QString& text, Level* level)
{
    for (Level l : {Level::Error, Level::Warn, Level::Info, Level::Debug}) {
        if (text.compare(QLatin1String(levelName(l)), Qt::CaseInsensitive) == 0) {
            *level = l;
            return true;
        }
    }
    return false;
}

Gate::Gate(std::function<bool()> admit) : admit_(std::move(admit)), outer_(t_gate)
{
    t_gate = this;
}

Gate::~Gate()
{
    t_gate = outer_;
}

void write(Level level, const QString& text)
{
    if (!enabled(level) || (level != Level::Error && t_gate && !t_gate->admit_()))
        return;
    QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    line += QLatin1Char(' ');
    line += QLatin1String(levelName(level));
    line += QLatin1Char(' ');
    // Player-chosen text ends up here; keep it on one line.
    for (QChar c : text)
        line += (c == QLatin1Char('\n') || c == QLatin1Char('\r')) ? QLatin1Char(' ') : c;
    line += QLatin1Char('\n');
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace serverlog
