// What the operator's HTTP endpoint serves: metrics in the Prometheus text
// format, a health check and a status page. Everything is read when asked
// for; the relay's counters are the atomics the stats line reads too.
#include "server/lobbyserver.h"
#include "server/ops/procstats_linux.h"

#include <QDateTime>
#include <QHostInfo>

namespace {

// One family of samples in the text exposition format 0.0.4.
class Exposition
{
public:
    Exposition& family(const char* name, const char* type, const char* help)
    {
        name_ = name;
        out_ += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
        return *this;
    }
    Exposition& sample(double value, const QByteArray& labels = {}, const char* suffix = "")
    {
        out_ += name_ + suffix;
        if (!labels.isEmpty())
            out_ += '{' + labels + '}';
        out_ += ' ' + QByteArray::number(value, 'g', 17) + '\n';
        return *this;
    }
    QByteArray text() const { return out_; }

private:
    QByteArray name_;
    QByteArray out_;
};

QByteArray label(const char* name, const char* value)
{
    return QByteArray(name) + "=\"" + value + '"';
}

// Relay counters besides the drops, by their stats-line name.
struct RelayMetric
{
    RelayCounter counter;
    const char* name;
    const char* help;
};
constexpr RelayMetric kRelayMetrics[] = {
    {CounterIn, "pellora_relay_received_datagrams_total", "Datagrams the relay received."},
    {CounterBytesIn, "pellora_relay_received_bytes_total", "Bytes of the datagrams the relay received."},
    {CounterForwarded, "pellora_relay_forwarded_datagrams_total", "Datagram copies the relay sent on."},
    {CounterBytesForwarded, "pellora_relay_forwarded_bytes_total",
     "Bytes of the datagram copies the relay handed to the system."},
    {CounterHeartbeats, "pellora_relay_heartbeats_total", "Tunnel heartbeats the relay took."},
    {CounterTranslated, "pellora_relay_translated_datagrams_total",
     "Datagrams framed or stripped between layer-2 and layer-3 members."},
    {CounterProxyArp, "pellora_relay_proxy_arp_replies_total", "ARP replies the relay made for members."},
    {CounterMovedSealed, "pellora_relay_endpoint_moves_total",
     "Sealed members' endpoints moved by their own traffic."},
    {CounterMappingProbes, "pellora_relay_mapping_probes_total",
     "Heartbeats to the mapping port, which tell how members' NATs map."},
};

} // namespace

void LobbyServer::reload(const ServerConfig& fresh)
{
    QString error;
    const QString ownPath =
        config_.statePath.isEmpty() ? QString() : config_.statePath + QStringLiteral(".tls.pem");
    // Without an operator's certificate the server's own stays: it is what clients pinned.
    if (!fresh.tlsCert.isEmpty()) {
        const tls::Identity identity = tls::loadIdentity(fresh.tlsCert, fresh.tlsKey, ownPath, &error);
        if (identity.isNull()) {
            serverlog::error(QStringLiteral("SIGHUP: keeping the running certificate: %1").arg(error));
        } else {
            tcp_.setConfiguration(tls::serverConfiguration(identity));
            fingerprint_ = tls::fingerprint(identity.certificate);
            config_.tlsCert = fresh.tlsCert;
            config_.tlsKey = fresh.tlsKey;
            serverlog::info(
                QStringLiteral("SIGHUP: TLS key SHA-256 %1 for new connections").arg(fingerprint_));
        }
    }
    // Budgets read as they are used; everything else waits for a restart.
    config_.maxConnectionsPerAddress = fresh.maxConnectionsPerAddress;
    config_.maxSessionsPerAddress = fresh.maxSessionsPerAddress;
    config_.maxRoomsPerAddress = fresh.maxRoomsPerAddress;
    config_.loginDeadlineMs = fresh.loginDeadlineMs;
    config_.maxPendingOutput = fresh.maxPendingOutput;
    config_.maxTotalPendingOutput = fresh.maxTotalPendingOutput;
    config_.outputStallMs = fresh.outputStallMs;
    lobby_.updateBudgets(fresh);
    serverlog::info(QStringLiteral("SIGHUP: budgets per address and for output taken up; other settings "
                                   "change with a restart"));
}

void LobbyServer::noteHealth()
{
    const qint64 now = clock_();
    lobbyBeatAt_ = now;
    const std::uint64_t beats = exchange_.relayBeats();
    if (beats != relayBeatsSeen_ || relayBeatAt_ == 0) {
        relayBeatsSeen_ = beats;
        relayBeatAt_ = now;
    }
    // The relay sleeps without traffic: woken, it beats once, which the next look sees.
    exchange_.wake();
}

QString LobbyServer::healthProblem() const
{
    const qint64 now = clock_();
    if (now - lobbyBeatAt_ > config_.healthLimitMs)
        return QStringLiteral("the lobby has not ticked for %1 ms").arg(now - lobbyBeatAt_);
    if (now - relayBeatAt_ > config_.healthLimitMs)
        return QStringLiteral("the relay thread has not answered for %1 ms").arg(now - relayBeatAt_);
    return {};
}

OpsServer::Response LobbyServer::opsResponse(const QByteArray& path) const
{
    if (path == "/metrics")
        return {200, "text/plain; version=0.0.4; charset=utf-8", metricsText()};
    if (path == "/healthz") {
        const QString problem = healthProblem();
        return problem.isEmpty()
                   ? OpsServer::Response{200, "text/plain; charset=utf-8", "ok\n"}
                   : OpsServer::Response{503, "text/plain; charset=utf-8", problem.toUtf8() + '\n'};
    }
    if (path == "/")
        return {200, "text/html; charset=utf-8", statusPage()};
    return {404, "text/plain; charset=utf-8", "not found\n"};
}

QByteArray LobbyServer::metricsText() const
{
    Exposition e;
    const Lobby::Figures f = lobby_.figures();
    const char* const transport[] = {"plain", "sealed"};
    e.family("pellora_sessions", "gauge", "Players logged in (sessions), by control connection.");
    for (int t = 0; t < 2; ++t)
        e.sample(f.sessions[t], label("transport", transport[t]));
    e.family("pellora_connections", "gauge", "Open control connections, logged in or not.")
        .sample(lobby_.connectionCount());
    const char* const layers[] = {"unknown", "2", "3"};
    e.family("pellora_room_members", "gauge", "Players in rooms, by session kind and adapter mode.");
    for (int t = 0; t < 2; ++t)
        for (int l = 0; l < 3; ++l)
            e.sample(f.members[t][l], label("transport", transport[t]) + ',' + label("layer", layers[l]));
    const char* const privacy[] = {"public", "private", "locked"};
    e.family("pellora_rooms", "gauge", "Open rooms, by who may see them.");
    for (int p = 0; p < 3; ++p)
        e.sample(f.rooms[p], label("privacy", privacy[p]));
    e.family("pellora_logins_refused_total", "counter", "Logins refused, by reason.");
    for (int r = 0; r < Lobby::kRefusalCount; ++r)
        e.sample(double(f.refusals[r]), label("reason", Lobby::refusalName(r)));
    const char* const outcomes[] = {"done", "failed", "timed_out", "refused"};
    e.family("pellora_tls_handshakes_total", "counter", "TLS handshakes on the control port, by outcome.");
    for (int o = 0; o < kHandshakeOutcomes; ++o)
        e.sample(double(handshakes_[o]), label("outcome", outcomes[o]));
    e.family("pellora_key_rotations_total", "counter", "Tunnel and pair keys replaced.")
        .sample(double(f.tunnelRotations), label("key", "tunnel"))
        .sample(double(f.pairRotations), label("key", "pair"));
    const RelayCounters counters = exchange_.counters();
    for (const RelayMetric& m : kRelayMetrics)
        e.family(m.name, "counter", m.help).sample(double(counters[m.counter]));
    e.family("pellora_relay_dropped_datagrams_total", "counter", "Datagrams the relay dropped, by reason.");
    for (std::size_t i = 0; i < kRelayCounterCount; ++i) {
        const QByteArray name = relayCounterName(i);
        if (name.startsWith("dropped_"))
            e.sample(double(counters[i]), label("reason", name.mid(8).constData()));
    }
    e.family("pellora_log_lines_suppressed_total", "counter",
             "Log lines left out because one address caused too many.")
        .sample(double(lobby_.logSuppressed()));
    e.family("pellora_pending_output_bytes", "gauge", "Control output waiting for slow clients.")
        .sample(double(pendingTotal_));
    e.family("pellora_pairs", "gauge", "Pairs of room mates by the path their clients report.");
    for (int p = 0; p < Lobby::kPathKindCount; ++p)
        e.sample(f.pairs[p], label("path", Lobby::pathName(p)));
    e.family("pellora_direct_seconds", "histogram",
             "Seconds from both members in the room to a direct path.");
    quint64 cumulative = 0;
    for (std::size_t b = 0; b <= Lobby::kDirectBuckets.size(); ++b) {
        cumulative += f.directBuckets[b];
        const QByteArray le =
            b < Lobby::kDirectBuckets.size() ? QByteArray::number(Lobby::kDirectBuckets[b]) : "+Inf";
        e.sample(double(cumulative), label("le", le.constData()), "_bucket");
    }
    e.sample(f.directSeconds, {}, "_sum").sample(double(cumulative), {}, "_count");
    const ProcessStats process = processStats();
    if (process.residentBytes >= 0)
        e.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.")
            .sample(double(process.residentBytes));
    if (process.cpuSeconds >= 0)
        e.family("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.")
            .sample(process.cpuSeconds);
    if (process.openFiles >= 0)
        e.family("process_open_fds", "gauge", "Open file descriptors.").sample(process.openFiles);
    e.family("process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.")
        .sample(double(startedWallMs_) / 1000.0);
    return e.text();
}

QByteArray LobbyServer::statusPage() const
{
    const auto escape = [](const QString& text) { return text.toHtmlEscaped().toUtf8(); };
    const QString name = config_.name.isEmpty() ? QHostInfo::localHostName() : config_.name;
    const qint64 up = (clock_() - startedAt_) / 1000;
    const QString uptime =
        QStringLiteral("%1 d %2 h %3 min").arg(up / 86400).arg(up / 3600 % 24).arg(up / 60 % 60);
    const Lobby::Figures f = lobby_.figures();
    const int reported =
        f.pairs[Lobby::PathDirect] + f.pairs[Lobby::PathRelayed] + f.pairs[Lobby::PathPrivate];
    const QString share = reported == 0 ? QStringLiteral("no reports yet")
                                        : QStringLiteral("%1 % of %2 pairs")
                                              .arg(100 * f.pairs[Lobby::PathDirect] / reported)
                                              .arg(reported);
    QByteArray rows;
    for (const Lobby::PublicRoom& room : lobby_.publicRooms()) {
        // "[Game] name" as the client composes it; anything else is a room for any game.
        QString game = QStringLiteral("Any / Custom Game"), title = room.name;
        const qsizetype close = room.name.indexOf(QLatin1String("] "));
        if (room.name.startsWith(u'[') && close > 1) {
            game = room.name.mid(1, close - 1);
            title = room.name.mid(close + 2);
        }
        rows += "<tr><td class=\"room\">" + escape(title) + "</td><td>" + escape(game) +
                "</td><td class=\"n\">" + QByteArray::number(room.members) + "</td></tr>\n";
    }
    if (rows.isEmpty())
        rows = "<tr><td colspan=\"3\" class=\"none\">No open rooms.</td></tr>\n";
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width\"><title>" +
           escape(name) +
           " · Pellora</title><style>"
           "body{margin:0;padding:32px;background:#0b0c10;color:#c5c6c7;"
           "font:14px 'Segoe UI',Roboto,sans-serif}"
           "main{max-width:760px;margin:auto;background:#12141a;border:1px solid #1f2229;border-radius:8px;"
           "padding:24px}"
           "h1{margin:0 0 4px;color:#fff;font-size:22px}h1 span{color:#d32f2f}"
           "dl{display:grid;grid-template-columns:max-content auto;gap:6px 16px;margin:16px 0}"
           "dt{color:#8a8d91}dd{margin:0;color:#fff}"
           "table{width:100%;border-collapse:collapse;background:#08090b;border:1px solid #1f2229;"
           "border-radius:6px}"
           "th,td{padding:8px 12px;text-align:left;border-bottom:1px solid #1f2229}"
           "th{color:#8a8d91;font-weight:600}.n{text-align:right}.none{color:#8a8d91}"
           "</style></head><body><main>"
           "<h1><span>&#9679;</span> " +
           escape(name) + "</h1><dl><dt>Uptime</dt><dd id=\"uptime\">" + escape(uptime) +
           "</dd><dt>Players online</dt><dd id=\"players\">" + QByteArray::number(lobby_.sessionCount()) +
           "</dd><dt>Direct connections</dt><dd id=\"direct\">" + escape(share) +
           "</dd></dl><table id=\"rooms\"><thead><tr><th>Room</th><th>Game</th><th class=\"n\">Players</th>"
           "</tr></thead><tbody>\n" +
           rows + "</tbody></table></main></body></html>\n";
}
