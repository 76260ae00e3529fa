#include "server/options.h"

#include <QCommandLineParser>

#include <cmath>

namespace {

struct Flags {
    QCommandLineOption listen{QStringLiteral("listen"), QStringLiteral("Address to listen on (TCP and UDP); :: for IPv6 and IPv4."),
                              QStringLiteral("ADDR"), QStringLiteral("0.0.0.0")};
    QCommandLineOption port{QStringLiteral("port"), QStringLiteral("Port for TCP and UDP; 0 picks a free one."),
                            QStringLiteral("N"), QStringLiteral("7777")};
    QCommandLineOption subnet{QStringLiteral("subnet"), QStringLiteral("Virtual addresses; each room gets a /24 of it (prefix 8 to 24)."),
                              QStringLiteral("CIDR"), QStringLiteral("10.8.0.0/16")};
    QCommandLineOption maxRoomSize{QStringLiteral("max-room-size"), QStringLiteral("Members per room, 2 to 254."),
                                   QStringLiteral("N"), QStringLiteral("16")};
    QCommandLineOption maxClients{QStringLiteral("max-clients"), QStringLiteral("Sessions at once."), QStringLiteral("N"),
                                  QStringLiteral("1024")};
    QCommandLineOption grace{QStringLiteral("session-grace"),
                             QStringLiteral("Seconds a session outlives its connection without heartbeats."),
                             QStringLiteral("SECONDS"), QStringLiteral("30")};
    QCommandLineOption chatLimit{QStringLiteral("chat-limit"), QStringLiteral("Chat lines per player per rate window."),
                                 QStringLiteral("N"), QStringLiteral("20")};
    QCommandLineOption lineLimit{QStringLiteral("line-limit"), QStringLiteral("Control lines of any kind per connection per rate window."),
                                 QStringLiteral("N"), QStringLiteral("200")};
    QCommandLineOption rateWindow{QStringLiteral("rate-window"), QStringLiteral("Length of the rate window in seconds."),
                                  QStringLiteral("SECONDS"), QStringLiteral("10")};
    QCommandLineOption stats{QStringLiteral("stats-interval"), QStringLiteral("Seconds between stats lines; 0: only at shutdown."),
                             QStringLiteral("SECONDS"), QStringLiteral("60")};
    QCommandLineOption memberRate{QStringLiteral("member-rate"),
                                  QStringLiteral("Datagrams per second the relay carries for one member, each copy counted."),
                                  QStringLiteral("N"), QStringLiteral("150000")};
    QCommandLineOption floodRate{QStringLiteral("flood-rate"),
                                 QStringLiteral("Copies per second one member may send to its whole room (broadcast, multicast, "
                                                "unknown destinations)."),
                                 QStringLiteral("N"), QStringLiteral("2000")};
    QCommandLineOption logLevel{QStringLiteral("log-level"), QStringLiteral("error, warn, info or debug."),
                                QStringLiteral("LEVEL"), QStringLiteral("info")};
};

bool readInt(const QString& text, int low, int high, int* out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool readSeconds(const QString& text, double low, qint64* outMs)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > 365.0 * 24 * 3600)
        return false;
    *outMs = static_cast<qint64>(std::llround(value * 1000));
    return true;
}

} // namespace

ServerOptions parseServerOptions(const QStringList& arguments)
{
    ServerOptions result;
    Flags f;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Pellora lobby server and UDP relay."));
    const QCommandLineOption help = parser.addHelpOption();
    parser.addOptions({f.listen, f.port, f.subnet, f.maxRoomSize, f.maxClients, f.grace, f.chatLimit, f.lineLimit,
                       f.rateWindow, f.stats, f.memberRate, f.floodRate, f.logLevel});
    const auto fail = [&result](const QString& text) {
        result.outcome = ServerOptions::Outcome::Error;
        result.text = text;
        return result;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        result.outcome = ServerOptions::Outcome::Help;
        result.text = parser.helpText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    ServerConfig& c = result.config;
    const QString listen = parser.value(f.listen);
    if (listen == QLatin1String("::"))
        c.listen = QHostAddress(QHostAddress::AnyIPv6);
    else if (!c.listen.setAddress(listen))
        return fail(QStringLiteral("--listen needs a numeric address, not %1").arg(listen));
    int port = 0;
    if (!readInt(parser.value(f.port), 0, 65535, &port))
        return fail(QStringLiteral("--port must be 0 to 65535"));
    c.port = static_cast<quint16>(port);

    const auto subnet = QHostAddress::parseSubnet(parser.value(f.subnet));
    bool isV4 = false;
    const quint32 base = subnet.first.toIPv4Address(&isV4);
    if (!isV4 || subnet.second < 8 || subnet.second > 24)
        return fail(QStringLiteral("--subnet must be an IPv4 network with a prefix of 8 to 24, such as 10.8.0.0/16"));
    c.subnetBase = base;
    c.subnetPrefix = subnet.second;

    if (!readInt(parser.value(f.maxRoomSize), 2, 254, &c.maxRoomSize))
        return fail(QStringLiteral("--max-room-size must be 2 to 254"));
    if (!readInt(parser.value(f.maxClients), 1, 1 << 20, &c.maxClients))
        return fail(QStringLiteral("--max-clients must be 1 to 1048576"));
    if (!readInt(parser.value(f.chatLimit), 1, 1000000, &c.chatLimit))
        return fail(QStringLiteral("--chat-limit must be a positive number"));
    if (!readInt(parser.value(f.lineLimit), 1, 1000000, &c.lineLimit))
        return fail(QStringLiteral("--line-limit must be a positive number"));
    if (!readSeconds(parser.value(f.grace), 0.01, &c.sessionGraceMs))
        return fail(QStringLiteral("--session-grace must be a number of seconds"));
    if (!readSeconds(parser.value(f.rateWindow), 0.01, &c.rateWindowMs))
        return fail(QStringLiteral("--rate-window must be a number of seconds"));
    if (!readSeconds(parser.value(f.stats), 0, &c.statsIntervalMs))
        return fail(QStringLiteral("--stats-interval must be a number of seconds"));
    if (!readInt(parser.value(f.memberRate), 1, 10000000, &c.memberRate))
        return fail(QStringLiteral("--member-rate must be 1 to 10000000"));
    if (!readInt(parser.value(f.floodRate), 1, 10000000, &c.floodRate))
        return fail(QStringLiteral("--flood-rate must be 1 to 10000000"));
    if (!serverlog::parseLevel(parser.value(f.logLevel), &result.logLevel))
        return fail(QStringLiteral("--log-level must be error, warn, info or debug"));
    return result;
}
