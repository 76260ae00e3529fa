#include "protocol/messages.h"

#include <QJsonArray>

namespace msg {

using control::readString;

namespace {

QString stringOf(const QJsonValue& value)
{
    return value.toString();
}

// The first `limit` entries of an array field, each as a string (or empty).
QStringList strings(const QJsonObject& message, QLatin1String key, qsizetype limit)
{
    const QJsonArray array = message.value(key).toArray();
    QStringList out;
    out.reserve(qMin(array.size(), limit));
    for (qsizetype i = 0; i < array.size() && i < limit; ++i)
        out.append(stringOf(array.at(i)));
    return out;
}

QByteArray stringsJson(const QStringList& list)
{
    control::ArrayWriter array;
    for (const QString& entry : list)
        array.add(entry);
    return array.array();
}

QByteArray listLine(QLatin1String cmd, QLatin1String key, const QStringList& list)
{
    return control::ObjectWriter().add(field::cmd, cmd).addJson(key, stringsJson(list)).line();
}

// Lists come in lines of bounded length, but nothing here holds more of one than this.
constexpr qsizetype kMaxListEntries = 1 << 16;

int layerOf(const QJsonObject& message)
{
    const int layer = message.value(field::layer).toInt();
    return layer == 2 || layer == 3 ? layer : 0;
}

// A key as base64 text: exactly kKeyBytes once decoded, else false.
bool readKey(const QString& text, Key* key)
{
    if (text.size() > qsizetype(4 * ((key->size() + 2) / 3)))
        return false;
    QByteArray bytes = QByteArray::fromBase64(text.toLatin1());
    const bool fits = bytes.size() == qsizetype(key->size());
    if (fits)
        std::copy(bytes.cbegin(), bytes.cend(), key->begin());
    seal::wipe(bytes.data(), std::size_t(bytes.size()));
    return fits;
}

void addKey(control::ObjectWriter& writer, QLatin1String name, const Key& key)
{
    QByteArray text = QByteArray(reinterpret_cast<const char*>(key.data()), qsizetype(key.size())).toBase64();
    writer.add(name, QLatin1String(text));
    seal::wipe(text.data(), std::size_t(text.size()));
}

} // namespace

QString ipv4Text(std::uint32_t address)
{
    // Straight into one string: member lists carry one per member.
    char text[16];
    char* at = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (address >> shift) & 0xFFu;
        if (octet >= 100)
            *at++ = static_cast<char>('0' + octet / 100);
        if (octet >= 10)
            *at++ = static_cast<char>('0' + octet / 10 % 10);
        *at++ = static_cast<char>('0' + octet % 10);
        *at++ = '.';
    }
    return QString::fromLatin1(text, at - text - 1);
}

bool parseIpv4(QStringView text, std::uint32_t* address)
{
    if (text.size() > 15)
        return false;
    std::uint32_t value = 0;
    int parts = 0;
    for (const QStringView part : text.split(QLatin1Char('.'))) {
        uint octet = part.isEmpty() || part.size() > 3 ? 256 : 0;
        for (const QChar c : part)
            octet = c >= QLatin1Char('0') && c <= QLatin1Char('9') ? octet * 10 + (c.unicode() - '0') : 256;
        if (octet > 255)
            return false;
        value = value << 8 | octet;
        ++parts;
    }
    *address = value;
    return parts == 4;
}

QJsonObject Login::toJson() const
{
    QJsonObject out = control::message(cmd::login, {{field::username, username}});
    if (clientId)
        out.insert(field::clientId, *clientId);
    if (privateAddress)
        out.insert(field::privateAddress, true);
    return out;
}

Login Login::parse(const QJsonObject& m)
{
    Login login{readString(m, field::username), std::nullopt, m.value(field::privateAddress).toBool(false)};
    if (m.contains(field::clientId))
        login.clientId = readString(m, field::clientId);
    return login;
}

QJsonObject CreateRoom::toJson() const
{
    QJsonObject out = control::message(cmd::createRoom, {{field::roomName, roomName},
                                                         {field::privacyMode, privacyMode},
                                                         {field::password, password}});
    if (layer != 0)
        out.insert(field::layer, layer);
    return out;
}

CreateRoom CreateRoom::parse(const QJsonObject& m)
{
    return {readString(m, field::roomName), readString(m, field::privacyMode), readString(m, field::password),
            layerOf(m)};
}

QJsonObject JoinRoom::toJson() const
{
    QJsonObject out =
        control::message(cmd::joinRoom, {{field::roomName, roomName}, {field::password, password}});
    if (layer != 0)
        out.insert(field::layer, layer);
    return out;
}

JoinRoom JoinRoom::parse(const QJsonObject& m)
{
    return {readString(m, field::roomName), readString(m, field::password), layerOf(m)};
}

QJsonObject Say::toJson() const
{
    QJsonObject out = control::message(cmd);
    const bool chat = cmd == cmd::chat || cmd == cmd::globalChat;
    if (!chat)
        out.insert(field::target, target);
    if (chat || cmd == cmd::privateMessage)
        out.insert(field::message, message);
    return out;
}

Say Say::parse(const QJsonObject& m)
{
    return {QLatin1String(), readString(m, field::target), readString(m, field::message)};
}

QJsonObject Candidates::toJson() const
{
    QJsonObject out = control::message(cmd::candidates);
    out.insert(field::addresses, QJsonArray::fromStringList(addresses.mid(0, directlimits::kCandidates)));
    out.insert(field::privateAddress, privateAddress);
    return out;
}

Candidates Candidates::parse(const QJsonObject& m)
{
    return {strings(m, field::addresses, directlimits::kCandidates),
            m.value(field::privateAddress).toBool(false)};
}

QJsonObject Rekey::toJson() const
{
    QJsonObject out = control::message(cmd::rekey);
    if (pair)
        out.insert(field::pair, qint64{*pair});
    return out;
}

Rekey Rekey::parse(const QJsonObject& m)
{
    const QJsonValue pair = m.value(field::pair);
    if (pair.isUndefined())
        return {};
    // A number, or the text direct_peers gives; the range is checked before a double is converted.
    constexpr double kMaxPair = directlimits::kMaxPairIndex;
    const double number = pair.toDouble(0);
    const QString text = pair.toString();
    const qint64 index = pair.isDouble()     ? (number >= 1 && number <= kMaxPair ? qint64(number) : 0)
                         : text.size() <= 16 ? text.toLongLong()
                                             : 0;
    return {index >= 1 && index <= qint64{directlimits::kMaxPairIndex} ? std::uint32_t(index) : 0};
}

QJsonObject PathReport::toJson() const
{
    QJsonArray list;
    for (const Entry& entry : paths) {
        QJsonObject item{{field::vip, entry.vip}, {field::path, entry.path}};
        if (entry.rttMs >= 0)
            item.insert(field::rttMs, entry.rttMs);
        list.append(item);
    }
    QJsonObject out = control::message(cmd::pathReport);
    out.insert(field::paths, list);
    return out;
}

PathReport PathReport::parse(const QJsonObject& m)
{
    const QJsonArray list = m.value(field::paths).toArray();
    PathReport report;
    if (list.size() > directlimits::kMaxRoomSize)
        return report;
    for (const QJsonValue& value : list) {
        const QJsonObject entry = value.toObject();
        report.paths.append({readString(entry, field::vip), readString(entry, field::path),
                             entry.value(field::rttMs).toInt(-1)});
    }
    return report;
}

TunnelKey::~TunnelKey()
{
    seal::wipe(key.data(), key.size());
}

void TunnelKey::addTo(control::ObjectWriter& writer) const
{
    if (!present)
        return;
    addKey(writer, field::tunnelKey, key);
    writer.add(field::tunnelIndex, QLatin1String(QByteArray::number(index)));
    writer.add(field::tunnelPhase, QLatin1String(QByteArray::number(phase)));
}

QByteArray TunnelKey::line() const
{
    control::ObjectWriter writer;
    writer.add(field::cmd, cmd::tunnelKey);
    addTo(writer);
    return writer.line();
}

TunnelKey TunnelKey::parse(const QJsonObject& m)
{
    TunnelKey out;
    out.present = readKey(readString(m, field::tunnelKey), &out.key);
    out.index = readString(m, field::tunnelIndex).toUInt();
    out.phase = readString(m, field::tunnelPhase).toInt();
    return out;
}

QByteArray LoginOk::line() const
{
    control::ObjectWriter writer;
    writer.add(field::cmd, cmd::loginOk).add(field::clientId, clientId);
    tunnel.addTo(writer);
    return writer.line();
}

LoginOk LoginOk::parse(const QJsonObject& m)
{
    return {readString(m, field::clientId), TunnelKey::parse(m)};
}

QByteArray RoomList::line() const
{
    return listLine(cmd::roomList, field::rooms, rooms);
}

RoomList RoomList::parse(const QJsonObject& m)
{
    return {strings(m, field::rooms, kMaxListEntries)};
}

QByteArray OnlineUsers::line() const
{
    return listLine(cmd::onlineUsers, field::users, users);
}

OnlineUsers OnlineUsers::parse(const QJsonObject& m)
{
    return {strings(m, field::users, kMaxListEntries)};
}

QByteArray JoinOk::line() const
{
    control::ObjectWriter writer;
    writer.add(field::cmd, cmd::joinOk).add(field::vip, vip).add(field::roomName, roomName);
    if (layer)
        writer.add(field::layer, qint64{*layer});
    return writer.line();
}

JoinOk JoinOk::parse(const QJsonObject& m)
{
    JoinOk ok{readString(m, field::vip), readString(m, field::roomName), std::nullopt};
    if (m.contains(field::layer))
        ok.layer = m.value(field::layer).toInt();
    return ok;
}

QByteArray PasswordRequired::line() const
{
    return control::line(cmd::passwordRequired, {{field::roomName, roomName}});
}

PasswordRequired PasswordRequired::parse(const QJsonObject& m)
{
    return {readString(m, field::roomName)};
}

QByteArray RoomUpdate::line() const
{
    control::ArrayWriter list;
    for (const Member& member : peers)
        list.addJson(control::ObjectWriter()
                         .add(field::username, member.username)
                         .add(field::vip, member.vip)
                         .addBool(field::isHost, member.isHost)
                         .object());
    control::ObjectWriter writer;
    return writer.add(field::cmd, cmd::roomUpdate).addJson(field::peers, list.array()).line();
}

RoomUpdate RoomUpdate::parse(const QJsonObject& m)
{
    const QJsonArray list = m.value(field::peers).toArray();
    RoomUpdate update;
    for (qsizetype i = 0; i < list.size() && i < kMaxListEntries; ++i) {
        const QJsonObject peer = list.at(i).toObject();
        update.peers.append({readString(peer, field::username), readString(peer, field::vip),
                             peer.value(field::isHost).toBool(false)});
    }
    return update;
}

QByteArray Notice::line() const
{
    return control::line(cmd, {{field::message, message}});
}

Notice Notice::parse(const QJsonObject& m)
{
    return {QLatin1String(), readString(m, field::message)};
}

QByteArray Said::line() const
{
    return control::line(cmd, {{field::sender, sender}, {field::message, message}});
}

Said Said::parse(const QJsonObject& m)
{
    return {QLatin1String(), readString(m, field::sender), readString(m, field::message)};
}

DirectPeers::Peer::~Peer()
{
    seal::wipe(key.data(), key.size());
}

QByteArray DirectPeers::line() const
{
    control::ArrayWriter list;
    for (const Peer& peer : peers) {
        control::ObjectWriter entry;
        entry.add(field::username, peer.username)
            .add(field::vip, ipv4Text(peer.vip))
            .add(field::pair, QLatin1String(QByteArray::number(peer.pair)))
            .add(field::side, qint64{peer.side})
            .addJson(field::candidates, stringsJson(peer.candidates));
        addKey(entry, field::key, peer.key);
        if (peer.birthday != Birthday::None)
            entry.add(field::birthday, peer.birthday == Birthday::Spray ? birthday::spray : birthday::scan);
        QByteArray json = entry.object();
        list.addJson(json);
        seal::wipe(json.data(), std::size_t(json.size()));
    }
    control::ObjectWriter writer;
    writer.add(field::cmd, cmd::directPeers).addJson(field::peers, list.array());
    if (mappingPort != 0)
        writer.add(field::mappingPort, qint64{mappingPort});
    return writer.line();
}

DirectPeers DirectPeers::parse(const QJsonObject& m)
{
    DirectPeers out;
    const int port = m.value(field::mappingPort).toInt(0);
    out.mappingPort = port > 0 && port < 65536 ? port : 0;
    const QJsonArray list = m.value(field::peers).toArray();
    for (qsizetype i = 0; i < list.size() && i < directlimits::kMaxRoomSize; ++i) {
        const QJsonObject entry = list.at(i).toObject();
        Peer peer;
        const QString pairText = readString(entry, field::pair);
        bool pairOk = pairText.size() <= 16;
        const qulonglong pair = pairOk ? pairText.toULongLong(&pairOk) : 0;
        const QJsonValue side = entry.value(field::side);
        if (!pairOk || pair < 1 || pair > directlimits::kMaxPairIndex ||
            !parseIpv4(readString(entry, field::vip), &peer.vip) || !side.isDouble() ||
            (side.toInt(-1) != 0 && side.toInt(-1) != 1) ||
            !readKey(readString(entry, field::key), &peer.key))
            continue;
        peer.username = readString(entry, field::username);
        peer.pair = std::uint32_t(pair);
        peer.side = side.toInt();
        peer.candidates = strings(entry, field::candidates, directlimits::kPeerCandidates);
        const QString role = readString(entry, field::birthday);
        peer.birthday = role == birthday::spray ? Birthday::Spray
                        : role == birthday::scan ? Birthday::Scan
                                                 : Birthday::None;
        out.peers.append(peer);
    }
    return out;
}

} // namespace msg
