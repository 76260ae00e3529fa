// Every control message, typed: each is written by one function and read by
// one, and both ends use the same. What a client sends has toJson() (what
// sendControlMessage writes); what the server sends has line() (compact, one
// line, byte for byte what encodeLine writes of the same object). parse()
// takes any decoded object: a missing or mistyped field reads as empty (the
// peer may be older or newer), and entries that cannot be used are left out,
// each list cut to its limit before any work that grows with it.
#pragma once

#include "protocol/controlcodec.h"
#include "protocol/directlimits.h"
#include "protocol/names.h"
#include "protocol/seal.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>

namespace msg {

// Dotted decimal, the form every "vip" takes.
QString ipv4Text(std::uint32_t address);
// Four decimal parts 0..255 exactly; false for anything else.
bool parseIpv4(QStringView text, std::uint32_t* address);

using Key = std::array<std::uint8_t, seal::kKeyBytes>;

// Client to server.

struct Login {
    QString username;
    // Present (even empty) when the client keeps the identifier it was given.
    std::optional<QString> clientId;
    bool privateAddress = false; // written only when set
    QJsonObject toJson() const;
    static Login parse(const QJsonObject& message);
};

// create_room and join_room; `layer` is the adapter mode (2, 3), 0: not said.
struct CreateRoom {
    QString roomName;
    QString privacyMode;
    QString password;
    int layer = 0;
    QJsonObject toJson() const;
    static CreateRoom parse(const QJsonObject& message);
};
struct JoinRoom {
    QString roomName;
    QString password;
    int layer = 0;
    QJsonObject toJson() const;
    static JoinRoom parse(const QJsonObject& message);
};

// chat, global_chat, private_message (which alone names a target), and the
// host's kick_player, transfer_host and invite (a target, no text).
struct Say {
    QLatin1String cmd;
    QString target;
    QString message;
    QJsonObject toJson() const;
    static Say parse(const QJsonObject& message);
};

// The addresses we may be reached at directly, or that we keep them private.
struct Candidates {
    QStringList addresses; // at most directlimits::kCandidates go out or are read
    bool privateAddress = false;
    QJsonObject toJson() const;
    static Candidates parse(const QJsonObject& message);
};

// A new tunnel key, or with a pair index that pair's new key.
struct Rekey {
    // Absent: the tunnel key. 0: an index that is none (out of range, not a number).
    std::optional<std::uint32_t> pair;
    QJsonObject toJson() const;
    static Rekey parse(const QJsonObject& message);
};

// How we reach each room mate. A list longer than a room is no client's: it reads as empty.
struct PathReport {
    struct Entry {
        QString vip;
        QString path;   // "direct", "relayed" or "private"
        int rttMs = -1; // -1: not known, left out
    };
    QList<Entry> paths;
    QJsonObject toJson() const;
    static PathReport parse(const QJsonObject& message);
};

// Server to client.

// The sealed tunnel's key, carried by login_ok and tunnel_key. Wiped with it.
struct TunnelKey {
    bool present = false; // a 32-byte key; else the session is plain
    Key key{};
    std::uint32_t index = 0;
    int phase = 0;
    ~TunnelKey();
    void addTo(control::ObjectWriter& writer) const;
    QByteArray line() const; // as tunnel_key
    static TunnelKey parse(const QJsonObject& message);
};

struct LoginOk {
    QString clientId;
    TunnelKey tunnel;
    QByteArray line() const;
    static LoginOk parse(const QJsonObject& message);
};

struct RoomList {
    QStringList rooms; // shown as they are; an entry that is not a string reads as empty
    QByteArray line() const;
    static RoomList parse(const QJsonObject& message);
};

struct OnlineUsers {
    QStringList users;
    QByteArray line() const;
    static OnlineUsers parse(const QJsonObject& message);
};

struct JoinOk {
    QString vip;
    QString roomName;
    // The mode the client said, echoed: this server reads it in heartbeats too.
    std::optional<int> layer;
    QByteArray line() const;
    static JoinOk parse(const QJsonObject& message);
};

struct PasswordRequired {
    QString roomName;
    QByteArray line() const;
    static PasswordRequired parse(const QJsonObject& message);
};

struct RoomUpdate {
    struct Member {
        QString username;
        QString vip;
        bool isHost = false; // absent: not host
    };
    QList<Member> peers; // each entry one member, whatever it holds
    QByteArray line() const;
    static RoomUpdate parse(const QJsonObject& message);
};

// error and kicked: a text for the player.
struct Notice {
    QLatin1String cmd;
    QString message;
    QByteArray line() const;
    static Notice parse(const QJsonObject& message);
};

// A chat line relayed: chat, global_chat or private_message.
struct Said {
    QLatin1String cmd;
    QString sender;
    QString message;
    QByteArray line() const;
    static Said parse(const QJsonObject& message);
};

// The room mates to try directly, each with its pair's key (wiped with it).
enum class Birthday : std::uint8_t { None, Spray, Scan };
struct DirectPeers {
    struct Peer {
        QString username;
        std::uint32_t vip = 0;
        std::uint32_t pair = 0; // 1..directlimits::kMaxPairIndex
        int side = 0;           // 0 or 1
        Key key{};
        QStringList candidates; // as written; the first is where the relay saw the peer, if it did
        Birthday birthday = Birthday::None;
        ~Peer();
    };
    // Entries with a bad vip, pair, side or key are left out.
    QList<Peer> peers;
    int mappingPort = 0; // 1..65535 where the server asks for a second heartbeat; 0: none
    QByteArray line() const;
    static DirectPeers parse(const QJsonObject& message);
};

} // namespace msg
