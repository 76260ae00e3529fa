#include "app/vlanclient.h"
#include "lobby/serveraddress.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <cstdio>
#include <cstring>

namespace {

void describe(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Makes the Internet look like one local network to multiplayer games."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("server"),
                      QStringLiteral("Lobby server and relay, a numeric address with an optional port "
                                     "(default port 7777). Wins over PELLORA_SERVER and the saved server."),
                      QStringLiteral("ADDR[:PORT]")});
}

// --help and --version answer on the terminal and need no display.
bool onlyAsksForText(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char* option : {"--help", "-h", "-?", "--help-all", "--version", "-v"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("pellora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELLORA_VERSION));
    QCommandLineParser parser;
    describe(parser);
    if (onlyAsksForText(argc, argv)) {
        QCoreApplication text(argc, argv);
        parser.process(text); // prints and exits
    }

    QApplication app(argc, argv);
    parser.process(app);
    const QString server = parser.value(QStringLiteral("server"));
    QString error;
    if (!server.isEmpty() && !lobby::parseServerEndpoint(server, 7777, &error)) {
        std::fprintf(stderr, "pellora: --server: %s\n", qPrintable(error));
        return 2;
    }
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/logo.ico")));
    VLANClient client(nullptr, server);
    client.show();
    return app.exec();
}
