// Settings of one pellora-server process; the defaults are the documented ones.
#pragma once

#include <QHostAddress>
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
    int memberRate = 150000; // datagrams a member may have relayed per second, each copy counted
    int floodRate = 2000;    // of those, copies to the whole room (broadcast, multicast, unknown)
};
