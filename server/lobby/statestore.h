// Lobby state that outlives the process: sessions, rooms and invitations as
// plain records. The lobby hands over what changed after each command; a
// store writes it as one transaction, so a crash leaves the last whole change.
#pragma once

#include <QList>
#include <QString>

#include <memory>
#include <vector>

namespace state {

struct Session {
    quint64 serial = 0;
    QString name;
    QString clientId;
    QString address;     // last address of its control connection
    QString addressKey;  // the same as counted in the per-address budget
    bool withId = false; // logged in with a client_id: taken back only with it
};

struct Member {
    quint64 session = 0; // serial
    quint32 vip = 0;
    int layer = 0; // adapter mode the client said (2, 3), 0: none
};

struct Room {
    quint64 serial = 0;
    QString name; // with the game label, as the client sent it
    int privacy = 0;
    QString password;
    quint32 net = 0;
    quint64 host = 0;        // serial of the hosting session
    QList<Member> members;   // in order of arrival
    QList<quint64> invited;  // session serials, as loaded (changes carry invitations apart)
    QString creator;         // address key whose room budget it counts against
};

// One invitation given or withdrawn.
struct Invitation {
    quint64 room = 0;    // serial
    quint64 session = 0; // serial
    bool withdrawn = false;
};

struct Snapshot {
    std::vector<Session> sessions;
    std::vector<Room> rooms;
};

// What one command changed. With `everything` set the records are the whole
// state and replace whatever the store holds.
struct Change {
    bool everything = false;
    std::vector<Session> sessions;
    std::vector<quint64> endedSessions;
    std::vector<Room> rooms;
    std::vector<quint64> closedRooms;
    // One at a time, so that a change costs the same however many a room has.
    std::vector<Invitation> invitations;

    bool empty() const
    {
        return !everything && sessions.empty() && endedSessions.empty() && rooms.empty() &&
               closedRooms.empty() && invitations.empty();
    }
};

class Store
{
public:
    virtual ~Store() = default;
    // False when the change could not be written; the store then holds the
    // state before it.
    virtual bool save(const Change& change) = 0;
};

// Opens (or creates) the SQLite file at `path` and reads what it holds into
// `loaded`. A file that cannot be read as state is logged, moved aside and
// replaced by an empty one. Null when no file can be kept at `path` at all;
// the server then runs without one.
std::unique_ptr<Store> openSqliteStore(const QString& path, Snapshot* loaded);

} // namespace state
