// Settings of one pellora-server process; the defaults are the documented ones.
#pragma once

#include "protocol/seal.h"

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

struct ServerConfig {
    QHostAddress listen{QHostAddress::AnyIPv4};
    quint16 port = 7777; // 0: any free port, the same for TCP and UDP
    quint32 subnetBase = 0x0A080000; // 10.8.0.0
    int subnetPrefix = 16;           // rooms get /24 networks inside it
    int maxRoomSize = 16;
    int maxClients = 1024;
    qint64 sessionGraceMs = 30000; // a session outlives its connection this long
    int chatLimit = 20;            // chat lines per window
    qint64 rateWindowMs = 10000;
    int lineLimit = 200; // control lines of any kind per window
    qint64 statsIntervalMs = 60000; // 0: only at shutdown
    // What one address may hold: enough for a household or a LAN party behind
    // one NAT, too little for one attacker to fill the server.
    int maxConnectionsPerAddress = 32; // logged in or not
    int maxSessionsPerAddress = 16;
    int maxRoomsPerAddress = 4; // rooms created from the address that still exist
    qint64 loginDeadlineMs = 120000; // a connection must log in within this time
    qint64 detachedLimitMs = 600000; // heartbeats keep a session without connection this long at most
    // Output waiting for slow readers.
    qint64 maxPendingOutput = 1024 * 1024;              // per connection
    qint64 maxTotalPendingOutput = 256ll * 1024 * 1024; // all connections together
    qint64 outputStallMs = 15000;                       // output that does not move this long closes
    QString statePath;              // SQLite file of the lobby state; empty: memory only
    int memberRate = 150000; // datagrams a member may have relayed per second, each copy counted
    int floodRate = 2000;    // of those, copies to the whole room (broadcast, multicast, unknown)
    // Sealed sessions: TLS on the control port, AES-GCM in the tunnel.
    QString tlsCert;             // the operator's certificate (PEM); empty: the server's own
    QString tlsKey;              // its private key (PEM)
    bool requireSealed = false;  // refuse plain logins
    bool tls = true;             // false: answer a handshake as a server without TLS would (hang up)
    qint64 handshakeDeadlineMs = 10000;   // a TLS handshake must be done by then
    qint64 tunnelKeyLifetimeMs = 600000; // tunnel and pair keys are replaced after this long at most
    qint64 oldKeyGraceMs = 10000;        // a replaced tunnel key is still accepted this long
    // Datagrams a tunnel key carries each way, and the count at which the relay
    // asks for the next one (lowered only by tests).
    std::uint64_t keyUses = seal::kKeyUses;
    std::uint64_t keyAskAt = seal::kKeyAskAt;
    // UDP port whose heartbeats tell how a member's NAT maps a second
    // destination (direct paths between the hardest pairs need it); -1:
    // the port after the relay's (any free one when that is 0), not
    // opened when taken; 0: none.
    int mappingPort = -1;
    bool direct = true; // false: no direct paths, every pair of members stays on the relay
    // The operator's HTTP endpoint (metrics, health, status page); off without --metrics.
    bool metrics = false;
    QHostAddress metricsAddress;
    quint16 metricsPort = 0;
    QList<QPair<QHostAddress, int>> metricsAllow; // who may connect; needed off loopback
    QString name;                  // on the status page; empty: the host's name
    qint64 healthLimitMs = 5000;   // the lobby and the relay answered within this, or unhealthy
    int opsDeadlineMs = 5000;      // an HTTP client has this long to ask and read the answer
};
