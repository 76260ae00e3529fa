// A member of a room as our client runs it over real sockets: a control
// connection and a tunnel, sealed (keys from login_ok and tunnel_key) or plain.
#pragma once

#include "protocol/seal.h"
#include "tests/server/serverharness.h"

namespace harness {
struct Member
{
    ControlClient control;
    TunnelPeer tunnel;
    bool sealed;
    seal::Cipher ciphers[2];
    int phase = 0;
    std::uint32_t index = 0;
    std::uint64_t counter = 0;
    QString id;         // the client_id of login_ok
    bool keyed = false; // login_ok gave a tunnel key
    QByteArray lastRaw; // the last datagram received, as it crossed
    QJsonObject lastKey; // the last message takeKey() read
    Member(quint16 port, bool s, const QHostAddress& from = QHostAddress(QHostAddress::LocalHost))
        : control(port, from, s), tunnel(port, from), sealed(s)
    {
    }
    // Logs in as `name` (with an empty client_id, as our client does, when
    // `withId`: the id then takes the session back from anywhere), then creates
    // or joins the public `room`, saying `layer` (0: nothing): the join_ok.
    QJsonObject enter(const QString& name, const QString& room, bool create, int layer = 0,
                      bool withId = false)
    {
        QJsonObject login = control::message("login", {{"username", name}});
        if (withId)
            login.insert("client_id", "");
        control.sendRaw(control::encodeLine(login));
        const QJsonObject ok = control.next("login_ok");
        id = ok.value("client_id").toString();
        keyed = takeKey(ok);
        return join(room, create, layer);
    }
    QJsonObject join(const QString& room, bool create, int layer = 0)
    {
        QJsonObject line = control::message(create ? "create_room" : "join_room",
                                            {{"room_name", room}, {"privacy_mode", "public"}});
        if (layer)
            line.insert("layer", layer);
        control.sendRaw(control::encodeLine(line));
        return control.next("join_ok");
    }
    void heartbeat() { sealed ? tunnel.sendRaw(sealedBytes({}, true)) : tunnel.heartbeat(id); }
    bool takeKey(const QJsonObject& message)
    {
        lastKey = message;
        const QByteArray key = QByteArray::fromBase64(message.value("tunnel_key").toString().toLatin1());
        phase = message.value("tunnel_phase").toString().toInt() & 1;
        index = message.value("tunnel_index").toString().toUInt();
        return key.size() == 32 &&
               ciphers[phase].setKey(reinterpret_cast<const std::uint8_t*>(key.constData()));
    }
    // `flags`: more header bits (seal::kRelayProbe).
    QByteArray sealedBytes(const QByteArray& plain, bool heartbeat = false, std::uint32_t flags = 0)
    {
        QByteArray out = QByteArray(int(seal::kHeaderBytes), 0) + plain + QByteArray(int(seal::kTagBytes), 0);
        const std::uint32_t word =
            index | (phase ? seal::kPhase : 0) | (heartbeat ? seal::kHeartbeat : 0) | flags;
        ciphers[phase].seal({word, counter++}, reinterpret_cast<std::uint8_t*>(out.data()),
                            std::size_t(plain.size()));
        return out;
    }
    void send(const QByteArray& plain)
    {
        sealed ? tunnel.sendRaw(sealedBytes(plain)) : tunnel.sendPlain(plain);
    }
    // The next datagram at `at` (its own tunnel by default), opened (sealed for us) or unscrambled.
    QByteArray receive(TunnelPeer* at = nullptr)
    {
        QByteArray copy = lastRaw = tunnel::scramblePayload((at ? *at : tunnel).receive());
        auto* bytes = reinterpret_cast<std::uint8_t*>(copy.data());
        seal::Header h;
        const bool ours =
            seal::readHeader(bytes, std::size_t(copy.size()), &h) && h.fromRelay() && h.session() == index;
        const long n = sealed && ours ? ciphers[h.phase()].open(bytes, std::size_t(copy.size())) : -1;
        return !sealed ? tunnel::scramblePayload(lastRaw)
               : n < 0 ? "not sealed for us"
                       : copy.mid(12, int(n));
    }
};
} // namespace harness
