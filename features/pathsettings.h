// The private address and the router port: two boxes remembered between runs,
// and what they ask of the tunnel. A player who wants room mates never to learn
// where they are offers no addresses, takes no direct peers, and plays through
// the relay only. While in a room, the tunnel's UDP port may be forwarded on
// the player's router and its public address offered as one more candidate;
// the join never waits for it: the router's answer follows in a candidates
// line of its own.
#pragma once

#include <QObject>

class QCheckBox;
class QSettings;
class QWidget;
class TunnelSession;
namespace lobby {
class RoomState;
}

class PathSettings : public QObject
{
    Q_OBJECT

public:
    PathSettings(QSettings& settings, TunnelSession& tunnel, const lobby::RoomState& room, QObject* parent);

    bool addressPrivate() const;
    // Tells the tunnel whether a port is wanted now (in a room, allowed, not
    // private) and takes its mapping; sends nothing.
    void wantPortMapped();

    QWidget* settingRows = nullptr; // both boxes with their words, for the lobby page
    QCheckBox* privateAddressBox = nullptr; // "Keep my address private…"
    QCheckBox* portMapBox = nullptr;        // "Open a port on my router"

signals:
    // The server should hear our candidates at once, so that no peer list made meanwhile names us.
    void privacyChanged();
    // The router's port came or went: a new candidates line is due.
    void mappingChanged();

private:
    void setAddressPrivate(bool on);
    void portMapChanged();

    QSettings& settings_;
    TunnelSession& tunnel_;
    const lobby::RoomState& room_;
};
