// pellora-server: the lobby server and UDP relay.
#include "server/lobbyserver.h"
#include "server/options.h"
#include "server/serverlog.h"
#include "server/shutdownsignals_linux.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    // Signals are blocked before any thread starts, so that only the
    // descriptor sees them.
    const int signalFd = serverSignalDescriptor();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pellora-server"));

    const ServerOptions options = parseServerOptions(QCoreApplication::arguments());
    if (options.outcome == ServerOptions::Outcome::Help) {
        std::fputs(qPrintable(options.text), stdout);
        return 0;
    }
    if (options.outcome == ServerOptions::Outcome::Error) {
        std::fprintf(stderr, "pellora-server: %s (see --help)\n", qPrintable(options.text));
        return 2;
    }
    serverlog::setLevel(options.logLevel);
    if (signalFd < 0)
        serverlog::warn(
            QStringLiteral("cannot catch SIGINT/SIGTERM/SIGHUP; they will end the process abruptly"));

    LobbyServer server(options.config);
    QString error;
    if (!server.start(&error)) {
        serverlog::error(error);
        return 1;
    }
    if (signalFd >= 0) {
        auto* notifier = new QSocketNotifier(signalFd, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [signalFd, &server] {
            const int number = takeServerSignal(signalFd);
            if (number == SIGHUP) {
                // The settings file again, with the same flags; a mistake keeps what runs.
                const ServerOptions fresh = parseServerOptions(QCoreApplication::arguments());
                if (fresh.outcome != ServerOptions::Outcome::Run)
                    serverlog::error(
                        QStringLiteral("SIGHUP: %1; keeping the running settings").arg(fresh.text));
                else
                    server.reload(fresh.config);
                return;
            }
            serverlog::info(QStringLiteral("%1 received, shutting down")
                                .arg(QLatin1String(number == SIGINT ? "SIGINT" : "SIGTERM")));
            QCoreApplication::quit();
        });
    }
    const int status = app.exec();
    server.stop();
    return status;
}
