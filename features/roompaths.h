// Direct paths to the room's other sealed members: the server names them and
// where they may be reached; the tunnel probes them and its engine follows
// their choice. Each member's path goes to the room state and the member
// list, and now and then, counted, to the server.
#pragma once

#include "features/directpeers.h"

#include <QJsonObject>
#include <QObject>

class PathSettings;
class TunnelSession;
namespace lobby {
class ControlConnection;
class RoomState;
}

class RoomPaths : public QObject
{
    Q_OBJECT

public:
    RoomPaths(TunnelSession& tunnel, lobby::RoomState& room, PathSettings& settings,
              const lobby::ControlConnection& connection, QObject* parent);

    void takePeers(const QJsonObject& message); // a direct_peers line: what the server offers
    void sendCandidates();                      // where we may be reached, or that we are private
    void showDirectPaths();

signals:
    void controlMessage(const QJsonObject& message);
    // The second line of the member list's entry `row`.
    void pathShown(int row, const QString& detail);

private:
    TunnelSession& tunnel_;
    lobby::RoomState& room_;
    PathSettings& settings_;
    const lobby::ControlConnection& connection_;
    direct::PathReporter pathReporter; // what the server hears of our paths, and when
};
