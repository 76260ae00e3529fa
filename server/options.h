// Command line of pellora-server.
#pragma once

#include "server/config.h"
#include "server/serverlog.h"

#include <QStringList>

struct ServerOptions {
    enum class Outcome { Run, Help, Error };
    Outcome outcome = Outcome::Run;
    QString text; // help text or error message
    ServerConfig config;
    serverlog::Level logLevel = serverlog::Level::Info;
};

// `arguments` includes the program name first, as QCoreApplication gives them.
// With --config FILE the file is read first; flags given override it.
ServerOptions parseServerOptions(const QStringList& arguments);
// As above, with `configText` standing in for the file's contents when `haveText`.
ServerOptions parseServerOptions(const QStringList& arguments, const QByteArray& configText, bool haveText);
