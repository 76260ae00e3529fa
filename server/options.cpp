#include "server/options.h"

#include <QCommandLineParser>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <variant>
#include <vector>

namespace {

constexpr qint64 kMaxConfigBytes = 1 << 20;

// What a flag sets. Defaults come from ServerConfig itself, so each lives in one place.
struct Count { // a whole number in [low, high]
    int ServerConfig::*field;
    int low, high;
};
struct Seconds { // a number of seconds, kept in ms
    qint64 ServerConfig::*field;
    double low;
};
struct Size { // a whole number of `unit` bytes in [low, high], kept in bytes
    qint64 ServerConfig::*field;
    int low, high;
    qint64 unit;
};
struct Path {
    QString ServerConfig::*field;
};
struct Switch { // set when the flag is given (or cleared, for `inverted`)
    bool ServerConfig::*field;
    bool inverted = false;
};
// Anything else: parses into the options, and says its default.
struct Special {
    bool (*parse)(const QString& text, ServerOptions& options);
    QString (*defaultText)(const ServerConfig& config);
};

struct Flag {
    const char* name;
    const char* valueName; // empty for switches
    const char* help;
    std::variant<Count, Seconds, Size, Path, Switch, Special> target;
    const char* problem; // said after the flag's name when its value does not fit
};

bool parseListen(const QString& text, ServerOptions& o)
{
    // Qt reads "::" as the IPv4 wildcard; the relay needs to know IPv6 was meant.
    if (text == QLatin1String("::")) {
        o.config.listen = QHostAddress(QHostAddress::AnyIPv6);
        return true;
    }
    return o.config.listen.setAddress(text);
}

bool parsePort(const QString& text, ServerOptions& o)
{
    bool ok = false;
    const int port = text.toInt(&ok);
    o.config.port = static_cast<quint16>(port);
    return ok && port >= 0 && port <= 65535;
}

// "auto": the port after the relay's; 0: none.
bool parseMappingPort(const QString& text, ServerOptions& o)
{
    if (text == QLatin1String("auto")) {
        o.config.mappingPort = -1;
        return true;
    }
    bool ok = false;
    const int port = text.toInt(&ok);
    o.config.mappingPort = port;
    return ok && port >= 0 && port <= 65535;
}

bool parseSubnet(const QString& text, ServerOptions& o)
{
    const auto subnet = QHostAddress::parseSubnet(text);
    bool isV4 = false;
    o.config.subnetBase = subnet.first.toIPv4Address(&isV4);
    o.config.subnetPrefix = subnet.second;
    return isV4 && subnet.second >= 8 && subnet.second <= 24;
}

// ADDR:PORT, an IPv6 address in brackets.
bool parseMetrics(const QString& text, ServerOptions& o)
{
    o.config.metrics = !text.isEmpty();
    if (text.isEmpty())
        return true;
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon <= 0)
        return false;
    QString host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    o.config.metricsPort = static_cast<quint16>(port);
    return ok && port >= 0 && port <= 65535 && o.config.metricsAddress.setAddress(host);
}

// CIDRs separated by commas.
bool parseMetricsAllow(const QString& text, ServerOptions& o)
{
    o.config.metricsAllow.clear();
    for (const QString& part : text.split(u',', Qt::SkipEmptyParts)) {
        const auto net = QHostAddress::parseSubnet(part.trimmed());
        if (net.first.isNull())
            return false;
        o.config.metricsAllow.append(net);
    }
    return true;
}

bool parseLogLevel(const QString& text, ServerOptions& o)
{
    return serverlog::parseLevel(text, &o.logLevel);
}

const std::vector<Flag>& flags()
{
    using C = ServerConfig;
    static const std::vector<Flag> table{
        {"listen", "ADDR", "Address to listen on (TCP and UDP); :: for IPv6 and IPv4.",
         Special{parseListen, [](const C& c) { return c.listen.toString(); }},
         "needs a numeric address, not %1"},
        {"port", "N", "Port for TCP and UDP; 0 picks a free one.",
         Special{parsePort, [](const C& c) { return QString::number(c.port); }}, "must be 0 to 65535"},
        {"subnet", "CIDR", "Virtual addresses; each room gets a /24 of it (prefix 8 to 24).",
         Special{parseSubnet,
                 [](const C& c) {
                     return QHostAddress(c.subnetBase).toString() + QLatin1Char('/') +
                            QString::number(c.subnetPrefix);
                 }},
         "must be an IPv4 network with a prefix of 8 to 24, such as 10.8.0.0/16"},
        {"max-room-size", "N", "Members per room, 2 to 254.", Count{&C::maxRoomSize, 2, 254},
         "must be 2 to 254"},
        {"max-clients", "N", "Sessions at once.", Count{&C::maxClients, 1, 1 << 20}, "must be 1 to 1048576"},
        {"session-grace", "SECONDS", "Seconds a session outlives its connection without heartbeats.",
         Seconds{&C::sessionGraceMs, 0.01}, "must be a number of seconds"},
        {"chat-limit", "N", "Chat lines per player per rate window.", Count{&C::chatLimit, 1, 1000000},
         "must be a positive number"},
        {"line-limit", "N", "Control lines of any kind per player per rate window.",
         Count{&C::lineLimit, 1, 1000000}, "must be a positive number"},
        {"rate-window", "SECONDS", "Length of the rate window in seconds.", Seconds{&C::rateWindowMs, 0.01},
         "must be a number of seconds"},
        {"max-connections-per-address", "N", "Connections from one address, logged in or not.",
         Count{&C::maxConnectionsPerAddress, 1, 1 << 20}, "must be a positive number"},
        {"max-sessions-per-address", "N", "Sessions (players) from one address.",
         Count{&C::maxSessionsPerAddress, 1, 1 << 20}, "must be a positive number"},
        {"max-rooms-per-address", "N", "Open rooms created from one address.",
         Count{&C::maxRoomsPerAddress, 1, 1 << 20}, "must be a positive number"},
        {"login-deadline", "SECONDS", "Seconds a connection may stay without logging in.",
         Seconds{&C::loginDeadlineMs, 1}, "must be at least 1 second"},
        {"max-pending-output", "KIB", "KiB of output waiting for one client before it is closed.",
         Size{&C::maxPendingOutput, 16, 1 << 20, 1024}, "must be 16 to 1048576 KiB"},
        {"max-total-output", "MIB",
         "MiB of output waiting for all clients; beyond it the slowest are closed.",
         Size{&C::maxTotalPendingOutput, 1, 1 << 20, 1024 * 1024}, "must be 1 to 1048576 MiB"},
        {"output-stall", "SECONDS", "Seconds waiting output may stand still before its client is closed.",
         Seconds{&C::outputStallMs, 1}, "must be at least 1 second"},
        {"stats-interval", "SECONDS", "Seconds between stats lines; 0: only at shutdown.",
         Seconds{&C::statsIntervalMs, 0}, "must be a number of seconds"},
        {"member-rate", "N", "Datagrams per second the relay carries for one member, each copy counted.",
         Count{&C::memberRate, 1, 10000000}, "must be 1 to 10000000"},
        {"flood-rate", "N",
         "Copies per second one member may send to its whole room (broadcast, multicast, unknown "
         "destinations).",
         Count{&C::floodRate, 1, 10000000}, "must be 1 to 10000000"},
        {"log-level", "LEVEL", "error, warn, info or debug.",
         Special{parseLogLevel, [](const C&) { return QStringLiteral("info"); }},
         "must be error, warn, info or debug"},
        {"state", "PATH",
         "SQLite file that keeps sessions and rooms across restarts; without it they live in memory only.",
         Path{&C::statePath}, ""},
        {"tls-cert", "PATH",
         "Certificate (PEM, chain after it) for sealed connections; without it the server makes its own and "
         "keeps it "
         "beside --state.",
         Path{&C::tlsCert}, ""},
        {"tls-key", "PATH", "Private key (PEM) of --tls-cert.", Path{&C::tlsKey}, ""},
        {"require-sealed", "", "Refuse logins over plain (unencrypted) connections.",
         Switch{&C::requireSealed}, ""},
        {"no-tls", "", "Speak no TLS: clients fall back to plain (for comparisons).", Switch{&C::tls, true},
         ""},
        {"mapping-port", "PORT",
         "UDP port that tells players how their NAT maps a second destination; 0: none; auto: the port "
         "after the relay's, when free.",
         Special{parseMappingPort,
                 [](const C& c) {
                     return c.mappingPort < 0 ? QStringLiteral("auto") : QString::number(c.mappingPort);
                 }},
         "must be auto or 0 to 65535"},
        {"metrics", "ADDR:PORT",
         "Serve metrics, health and a status page over HTTP there (such as 127.0.0.1:9477); off when not "
         "given.",
         Special{parseMetrics, [](const C&) { return QString(); }}, "must be ADDR:PORT, not %1"},
        {"metrics-allow", "CIDR",
         "Who may connect to --metrics (networks, separated by commas); needed when it is not on loopback.",
         Special{parseMetricsAllow, [](const C&) { return QString(); }},
         "must be networks such as 192.0.2.0/24, separated by commas"},
        {"name", "TEXT", "The server's name on the status page; the host's name when not given.",
         Path{&C::name}, ""},
        {"no-direct", "",
         "Hand out no direct paths: every pair of players talks through the relay, and nobody learns "
         "another player's address.",
         Switch{&C::direct, true}, ""},
    };
    return table;
}

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

// The default as the help text shows it; empty for flags without one.
QString defaultText(const Flag& flag, const ServerConfig& c)
{
    struct Visitor {
        const ServerConfig& c;
        QString operator()(const Count& t) const { return QString::number(c.*t.field); }
        QString operator()(const Seconds& t) const { return QString::number(double(c.*t.field) / 1000); }
        QString operator()(const Size& t) const { return QString::number(c.*t.field / t.unit); }
        QString operator()(const Path&) const { return {}; }
        QString operator()(const Switch&) const { return {}; }
        QString operator()(const Special& t) const { return t.defaultText(c); }
    };
    return std::visit(Visitor{c}, flag.target);
}

// Sets what `flag` targets from its value (`set`: the flag was given, for switches);
// false when the value does not fit.
bool apply(const Flag& flag, const QString& text, bool set, ServerOptions& o)
{
    ServerConfig& c = o.config;
    struct Visitor {
        ServerConfig& c;
        ServerOptions& o;
        const QString& text;
        bool set;
        bool operator()(const Count& t) const { return readInt(text, t.low, t.high, &(c.*t.field)); }
        bool operator()(const Seconds& t) const { return readSeconds(text, t.low, &(c.*t.field)); }
        bool operator()(const Size& t) const
        {
            int units = 0;
            if (!readInt(text, t.low, t.high, &units))
                return false;
            c.*t.field = units * t.unit;
            return true;
        }
        bool operator()(const Path& t) const
        {
            c.*t.field = text;
            return true;
        }
        bool operator()(const Switch& t) const
        {
            c.*t.field = set != t.inverted;
            return true;
        }
        bool operator()(const Special& t) const { return t.parse(text, o); }
    };
    return std::visit(Visitor{c, o, text, set}, flag.target);
}

QString problemOf(const Flag& flag, const QString& value)
{
    QString why = QString::fromLatin1(flag.problem);
    return why.contains(QLatin1String("%1")) ? why.arg(value) : why;
}

// A switch in the file says yes or no.
bool readSwitch(const QString& text, bool* out)
{
    static const char* const yes[] = {"true", "yes", "on", "1"};
    static const char* const no[] = {"false", "no", "off", "0"};
    for (int i = 0; i < 4; ++i) {
        if (text.compare(QLatin1String(yes[i]), Qt::CaseInsensitive) == 0 ||
            text.compare(QLatin1String(no[i]), Qt::CaseInsensitive) == 0) {
            *out = text.compare(QLatin1String(yes[i]), Qt::CaseInsensitive) == 0;
            return true;
        }
    }
    return false;
}

struct FileValue {
    QString text;
    int line = 0;
};

// Reads `key = value` lines into `values` by flag index; false with "LINE: what" in `error`.
bool readConfigText(const QByteArray& text, std::vector<FileValue>& values, QString* error)
{
    values.assign(flags().size(), FileValue{});
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const int number = static_cast<int>(n + 1);
        const auto fail = [&](const QString& what) {
            *error = QStringLiteral("%1: %2").arg(number).arg(what);
            return false;
        };
        QString line = QString::fromUtf8(lines[n]);
        // A comment starts a line or follows a space: a path may hold a '#'.
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (line[i] == u'#' && (i == 0 || line[i - 1].isSpace())) {
                line.truncate(i);
                break;
            }
        }
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            return fail(QStringLiteral("expected key = value"));
        const QString key = line.left(equals).trimmed(), value = line.mid(equals + 1).trimmed();
        const auto& table = flags();
        const auto it = std::find_if(table.begin(), table.end(),
                                     [&](const Flag& f) { return key == QLatin1String(f.name); });
        if (it == table.end())
            return fail(QStringLiteral("unknown key \"%1\"").arg(key.left(64)));
        FileValue& slot = values[static_cast<std::size_t>(it - table.begin())];
        if (slot.line != 0)
            return fail(QStringLiteral("%1 is already set on line %2").arg(key).arg(slot.line));
        slot = FileValue{value, number};
    }
    return true;
}

} // namespace

ServerOptions parseServerOptions(const QStringList& arguments)
{
    return parseServerOptions(arguments, QByteArray(), false);
}

ServerOptions parseServerOptions(const QStringList& arguments, const QByteArray& configText, bool haveText)
{
    ServerOptions result;
    const ServerConfig defaults;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Pellora lobby server and UDP relay."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Settings file: `key = value` lines, keys named as these "
                                                   "flags; flags given here win."),
                                    QStringLiteral("FILE"));
    parser.addOption(config);
    std::vector<QCommandLineOption> options;
    for (const Flag& flag : flags()) {
        QCommandLineOption option(QString::fromLatin1(flag.name), QString::fromUtf8(flag.help),
                                  QString::fromLatin1(flag.valueName), defaultText(flag, defaults));
        if (!option.defaultValues().isEmpty())
            option.setDescription(
                QStringLiteral("%1 [default: %2]").arg(option.description(), option.defaultValues().first()));
        parser.addOption(option);
        options.push_back(option);
    }
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

    std::vector<FileValue> file(flags().size());
    const QString fileName = parser.value(config);
    if (parser.isSet(config)) {
        QByteArray text = configText;
        if (!haveText) {
            QFile f(fileName);
            if (!f.open(QIODevice::ReadOnly))
                return fail(QStringLiteral("--config %1: %2").arg(fileName, f.errorString()));
            // A settings file is a few KiB; anything far larger is not one.
            if (f.size() > kMaxConfigBytes)
                return fail(QStringLiteral("--config %1: larger than 1 MiB").arg(fileName));
            text = f.readAll();
        }
        QString why;
        if (!readConfigText(text, file, &why))
            return fail(QStringLiteral("%1:%2").arg(fileName, why));
    }
    for (std::size_t i = 0; i < options.size(); ++i) {
        const Flag& flag = flags()[i];
        // A flag overrides the file, the file the default.
        const bool fromFile = !parser.isSet(options[i]) && file[i].line != 0;
        const QString value = fromFile ? file[i].text : parser.value(options[i]);
        bool set = parser.isSet(options[i]);
        if (fromFile && std::holds_alternative<Switch>(flag.target) && !readSwitch(value, &set))
            return fail(QStringLiteral("%1:%2: %3 must be true or false")
                            .arg(fileName, QString::number(file[i].line), QLatin1String(flag.name)));
        if (!apply(flag, value, set, result)) {
            if (fromFile)
                return fail(QStringLiteral("%1:%2: %3 %4")
                                .arg(fileName, QString::number(file[i].line), QLatin1String(flag.name),
                                     problemOf(flag, value.left(64))));
            return fail(QStringLiteral("--%1 %2").arg(QLatin1String(flag.name), problemOf(flag, value)));
        }
    }
    ServerConfig& c = result.config;
    if (c.tlsCert.isEmpty() != c.tlsKey.isEmpty())
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (c.metrics && !c.metricsAddress.isLoopback() && c.metricsAllow.isEmpty())
        return fail(
            QStringLiteral("--metrics on %1 (not loopback) needs --metrics-allow CIDR: who may connect")
                .arg(c.metricsAddress.toString()));
    if (c.requireSealed && !c.tls)
        return fail(QStringLiteral("--require-sealed needs TLS (leave out --no-tls)"));
    return result;
}
