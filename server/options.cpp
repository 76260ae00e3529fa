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
    QCommandLineOption lineLimit{QStringLiteral("line-limit"), QStringLiteral("Control lines of any kind per player per rate window."),
                                 QStringLiteral("N"), QStringLiteral("200")};
    QCommandLineOption rateWindow{QStringLiteral("rate-window"), QStringLiteral("Length of the rate window in seconds."),
                                  QStringLiteral("SECONDS"), QStringLiteral("10")};
    QCommandLineOption perAddressConnections{QStringLiteral("max-connections-per-address"),
                                             QStringLiteral("Connections from one address, logged in or not."),
                                             QStringLiteral("N"), QStringLiteral("32")};
    QCommandLineOption perAddressSessions{QStringLiteral("max-sessions-per-address"),
                                          QStringLiteral("Sessions (players) from one address."), QStringLiteral("N"),
                                          QStringLiteral("16")};
    QCommandLineOption perAddressRooms{QStringLiteral("max-rooms-per-address"),
                                       QStringLiteral("Open rooms created from one address."), QStringLiteral("N"),
                                       QStringLiteral("4")};
    QCommandLineOption loginDeadline{QStringLiteral("login-deadline"),
                                     QStringLiteral("Seconds a connection may stay without logging in."),
                                     QStringLiteral("SECONDS"), QStringLiteral("120")};
    QCommandLineOption pendingOutput{QStringLiteral("max-pending-output"),
                                     QStringLiteral("KiB of output waiting for one client before it is closed."),
                                     QStringLiteral("KIB"), QStringLiteral("1024")};
    QCommandLineOption totalOutput{QStringLiteral("max-total-output"),
                                   QStringLiteral("MiB of output waiting for all clients; beyond it the slowest are closed."),
                                   QStringLiteral("MIB"), QStringLiteral("256")};
    QCommandLineOption outputStall{QStringLiteral("output-stall"),
                                   QStringLiteral("Seconds waiting output may stand still before its client is closed."),
                                   QStringLiteral("SECONDS"), QStringLiteral("15")};
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
    QCommandLineOption tlsCert{QStringLiteral("tls-cert"),
                               QStringLiteral("Certificate (PEM, chain after it) for sealed connections; without it the server "
                                              "makes its own and keeps it beside --state."),
                               QStringLiteral("PATH")};
    QCommandLineOption tlsKey{QStringLiteral("tls-key"), QStringLiteral("Private key (PEM) of --tls-cert."), QStringLiteral("PATH")};
    QCommandLineOption noTls{QStringLiteral("no-tls"),
                             QStringLiteral("Speak no TLS: clients fall back to plain (for comparisons).")};
    QCommandLineOption requireSealed{QStringLiteral("require-sealed"),
                                     QStringLiteral("Refuse logins over plain (unencrypted) connections.")};
    QCommandLineOption state{QStringLiteral("state"),
                             QStringLiteral("SQLite file that keeps sessions and rooms across restarts; without it they live in memory only."),
                             QStringLiteral("PATH")};
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
    QList<QCommandLineOption> options{f.listen, f.port, f.subnet, f.maxRoomSize, f.maxClients, f.grace, f.chatLimit, f.lineLimit,
                                      f.rateWindow, f.perAddressConnections, f.perAddressSessions, f.perAddressRooms, f.loginDeadline,
                                      f.pendingOutput, f.totalOutput, f.outputStall, f.stats, f.memberRate, f.floodRate, f.logLevel};
    for (QCommandLineOption& option : options)
        option.setDescription(QStringLiteral("%1 [default: %2]").arg(option.description(), option.defaultValues().join(QLatin1Char(','))));
    parser.addOptions(options);
    parser.addOptions({f.state, f.tlsCert, f.tlsKey, f.requireSealed, f.noTls});
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
    if (!readInt(parser.value(f.perAddressConnections), 1, 1 << 20, &c.maxConnectionsPerAddress))
        return fail(QStringLiteral("--max-connections-per-address must be a positive number"));
    if (!readInt(parser.value(f.perAddressSessions), 1, 1 << 20, &c.maxSessionsPerAddress))
        return fail(QStringLiteral("--max-sessions-per-address must be a positive number"));
    if (!readInt(parser.value(f.perAddressRooms), 1, 1 << 20, &c.maxRoomsPerAddress))
        return fail(QStringLiteral("--max-rooms-per-address must be a positive number"));
    if (!readSeconds(parser.value(f.loginDeadline), 1, &c.loginDeadlineMs))
        return fail(QStringLiteral("--login-deadline must be at least 1 second"));
    if (!readSeconds(parser.value(f.outputStall), 1, &c.outputStallMs))
        return fail(QStringLiteral("--output-stall must be at least 1 second"));
    int kib = 0;
    int mib = 0;
    if (!readInt(parser.value(f.pendingOutput), 16, 1 << 20, &kib))
        return fail(QStringLiteral("--max-pending-output must be 16 to 1048576 KiB"));
    if (!readInt(parser.value(f.totalOutput), 1, 1 << 20, &mib))
        return fail(QStringLiteral("--max-total-output must be 1 to 1048576 MiB"));
    c.maxPendingOutput = qint64{kib} * 1024;
    c.maxTotalPendingOutput = qint64{mib} * 1024 * 1024;
    if (!readSeconds(parser.value(f.stats), 0, &c.statsIntervalMs))
        return fail(QStringLiteral("--stats-interval must be a number of seconds"));
    c.statePath = parser.value(f.state);
    c.tlsCert = parser.value(f.tlsCert);
    c.tlsKey = parser.value(f.tlsKey);
    if (c.tlsCert.isEmpty() != c.tlsKey.isEmpty())
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    c.requireSealed = parser.isSet(f.requireSealed);
    c.tls = !parser.isSet(f.noTls);
    if (c.requireSealed && !c.tls)
        return fail(QStringLiteral("--require-sealed needs TLS (leave out --no-tls)"));
    if (!readInt(parser.value(f.memberRate), 1, 10000000, &c.memberRate))
        return fail(QStringLiteral("--member-rate must be 1 to 10000000"));
    if (!readInt(parser.value(f.floodRate), 1, 10000000, &c.floodRate))
        return fail(QStringLiteral("--flood-rate must be 1 to 10000000"));
    if (!serverlog::parseLevel(parser.value(f.logLevel), &result.logLevel))
        return fail(QStringLiteral("--log-level must be error, warn, info or debug"));
    return result;
}
