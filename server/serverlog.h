// One line per event on stderr: time, level, text.
#pragma once

#include <QString>

namespace serverlog {

enum class Level { Error = 0, Warn = 1, Info = 2, Debug = 3 };

void setLevel(Level level);
bool enabled(Level level);
bool parseLevel(const QString& text, Level* level);
// Thread-safe; a line is written with one call.
void write(Level level, const QString& text);

inline void error(const QString& text) { write(Level::Error, text); }
inline void warn(const QString& text) { write(Level::Warn, text); }
inline void info(const QString& text) { write(Level::Info, text); }
inline void debug(const QString& text)
{
    if (enabled(Level::Debug))
        write(Level::Debug, text);
}

} // namespace serverlog
