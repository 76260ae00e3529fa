// Where the player stands, as the server told it: logged in (as whom), the room
// joined (its name, our address and the host's, whether we host it), its members
// and how each is reached. The control-message handlers and the direct-path code
// write it; the window, the tray, the invite links and the menus read it.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

namespace lobby {

struct RoomMember {
    QString name;
    QString virtualIp;
    bool host = false;
    QString path;   // how the member is reached, as the direct-path code last said; empty: not yet known
    int rttMs = -1; // round trip on that path; -1: not measured
};

class RoomState : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool loggedIn() const { return loggedIn_; }
    const QString& user() const { return user_; } // the name of the last login
    bool inRoom() const { return inRoom_; }
    const QString& roomName() const { return roomName_; }
    const QString& myVirtualIp() const { return myVirtualIp_; }
    const QString& hostVirtualIp() const { return hostVirtualIp_; }
    bool isHost() const { return isHost_; }
    const QList<RoomMember>& members() const { return members_; }

    // A line from the server: join_ok and room_update are read here, as they arrive, and
    // told by joined and updated; the rest is not the room's.
    void take(const QJsonObject& message);
    // login_ok for `user`; the lost connection ends the login, not the room: the
    // next login hands the session back.
    void logIn(const QString& user);
    void connectionLost();
    // join_ok; again while in a room it only moves us to the new address.
    void enter(const QString& roomName, const QString& myVirtualIp);
    // room_update. Our own entry says whether we host; the last member flagged
    // host gives the host's address. Without either, what was known stays. The
    // paths are unknown until the direct-path code, which follows at once, says.
    void setMembers(QList<RoomMember> members);
    // How `member` is reached now; a member not in the room is ignored.
    void setPath(const QString& member, const QString& path, int rttMs);
    void leave();
    // Asks the window to leave the room its one way (whoever notices the need: a
    // kick, a failed adapter, the tray, a server switch).
    void requestLeave() { emit leaveRequested(); }

signals:
    void loginChanged();
    void roomChanged();    // entered, left, or a new address
    void membersChanged(); // every room_update, even one that changed nothing, and leaving
    // The server put us in the room: afresh, again at the same address, or at a new one
    // (`readdressed`); `layerEchoed`: it said the adapter mode back.
    void joined(bool readdressed, bool layerEchoed);
    void updated(); // after a room_update's members are taken
    void pathChanged(const QString& member);
    void leaveRequested();

private:
    bool loggedIn_ = false;
    QString user_;
    bool inRoom_ = false;
    QString roomName_;
    QString myVirtualIp_;
    QString hostVirtualIp_;
    bool isHost_ = false;
    QList<RoomMember> members_;
};

} // namespace lobby
