// One line per event on stderr: time, level, text.
#pragma once

#include <QString>

#include <functional>

namespace serverlog {

enum class Level { Error = 0, Warn = 1, Info = 2, Debug = 3 };

void setLevel(Level level);
bool enabled(Level level);
bool parseLevel(const QString& text, Level* level);
// Thread-safe; a line is written with one call.
void write(Level level, const QString& text);

// What one client causes is held to a budget: while a Gate lives on this
// thread, info and warn lines are written only when `admit` says so (the
// innermost gate decides). Errors always pass.
class Gate
{
public:
    explicit Gate(std::function<bool()> admit);
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

private:
    friend void write(Level, const QString&);
    std::function<bool()> admit_;
    Gate* outer_;
};

inline void error(const QString& text) { write(Level::Error, text); }
inline void warn(const QString& text) { write(Level::Warn, text); }
inline void info(const QString& text) { write(Level::Info, text); }
inline void debug(const QString& text)
{
    if (enabled(Level::Debug))
        write(Level::Debug, text);
}

} // namespace serverlog
