#include "app/singleinstance.h"
#include "app/vlanclient.h"
#include "features/invitelink.h"
#include "lobby/serveraddress.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>
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
                      QStringLiteral("Lobby server and relay, an address or host name with an optional port "
                                     "(default port 7777). Wins over PELLORA_SERVER and the saved server."),
                      QStringLiteral("ADDR[:PORT]")});
    parser.addPositionalArgument(QStringLiteral("link"),
                                 QStringLiteral("An invite link, pellora://HOST:PORT/ROOM: joins that room. "
                                                "A client already running takes it over."),
                                 QStringLiteral("[link]"));
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
    // One client per user: a later start hands its link to the running one.
    const QString instance = singleinstance::instanceName();
    if (singleinstance::handOver(instance, parser.positionalArguments())) {
        if (!server.isEmpty())
            std::fprintf(stderr, "pellora: already running; --server applies to a new start only\n");
        return 0;
    }
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/logo.ico")));
    VLANClient client(nullptr, server);
    if (!client.acceptOtherStarts(instance))
        std::fprintf(stderr, "pellora: later starts cannot find this one (%s)\n", qPrintable(instance));
    client.show();
    for (const QString& link : parser.positionalArguments()) {
        if (invite::looksLikeLink(link))
            QTimer::singleShot(0, &client, [&client, link] { client.openInviteLink(link); });
    }
    return app.exec();
}
