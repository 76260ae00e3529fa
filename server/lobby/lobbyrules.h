// Small pieces of lobby policy, kept apart so they can be tested alone.
#pragma once

#include "protocol/messages.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <vector>

namespace lobbyrules {

constexpr int kMaxUserName = 32;
constexpr int kMaxRoomName = 64;
constexpr int kMaxChat = 500;
constexpr int kMaxPassword = 128;
constexpr qsizetype kMaxLineBytes = 64 * 1024;

// UTF-16 units that a name of `characters` characters takes at most (two
// each): longer text is no name and is refused before any work that grows with it.
constexpr qsizetype maxUnits(int characters)
{
    return 2 * static_cast<qsizetype>(characters);
}

// Number of characters as a player counts them (code points).
int characterCount(const QString& text);

// Each returns the error text for the player, or an empty string when the
// (already trimmed) value is acceptable.
QString checkUserName(const QString& name);
QString checkRoomName(const QString& name);
QString checkChat(const QString& text);

// A name as echoed in an answer: text too long to be a name is cut short, so
// that refusing it costs less than it did to send.
QString shown(const QString& name, int maxCharacters);

inline QString formatIpv4(quint32 address)
{
    return msg::ipv4Text(address);
}

// Direct-path candidates a client lists: at most directlimits::kCandidates
// entries are looked at, each at most directlimits::kCandidateChars long.
struct Candidate {
    QString text;         // in the form handed on
    QHostAddress address; // IPv4 for an IPv4-mapped one
    // In a private range (RFC 1918, shared 100.64/10, unique local fc00::/7):
    // reaches a host only from inside the member's own network.
    bool local = false;
    bool operator==(const Candidate& other) const { return text == other.text; }
};
// A candidate as given ("a.b.c.d:port" or "[v6]:port", numeric, port
// 1..65535); empty text when it is malformed or an address no peer reaches a
// host at (unspecified, loopback, multicast, broadcast, reserved, link-local).
Candidate candidate(const QString& text);
// "a.b.c.d:port" (also for an IPv4-mapped IPv6 address) or "[v6]:port".
QString endpointText(const QHostAddress& address, quint16 port);

// A secret a player gives (client id, access key) against the one kept. The
// time taken tells nothing about where they differ or how long the kept one
// is; an empty kept secret matches nothing.
bool sameSecret(const QString& given, const QString& kept);

} // namespace lobbyrules

// A burst of up to `limit` events, refilled at `limit` per `windowMs`; the
// same few bytes whatever the limit.
class TokenBucket
{
public:
    TokenBucket(int limit, qint64 windowMs);
    bool admit(qint64 nowMs);
    // Refilled completely: the same as a new bucket.
    bool full(qint64 nowMs) const;

private:
    double tokens_;
    double capacity_;
    double perMs_;
    qint64 last_ = 0;
};

// Splits a byte stream into lines. A line (or unfinished line) longer than
// kMaxLineBytes makes feed() fail; the connection is then not worth keeping.
class LineReader
{
public:
    bool feed(const QByteArray& bytes, QList<QByteArray>& lines);

private:
    QByteArray pending_;
};

// The /24 networks of the room subnet, handed out lowest first.
class AddressPlan
{
public:
    AddressPlan(quint32 base, int prefix);
    int take(); // index of a free network, or -1 when all are in use
    // Takes the network at `net` (as restored); false when outside the plan or in use.
    bool takeNetwork(quint32 net);
    void release(int index);
    // Whether `address` is inside the planned networks, in use or not.
    bool contains(quint32 address) const
    {
        return address >= base_ && ((address - base_) >> 8) < used_.size();
    }
    quint32 network(int index) const { return base_ + (static_cast<quint32>(index) << 8); }

private:
    quint32 base_;
    std::vector<bool> used_;
};
