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
ServerOptions parseServerOptions(const QStringList& arguments);
