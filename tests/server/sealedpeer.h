// A sealed tunnel endpoint as our client runs it: keys from login_ok and
// tunnel_key messages, datagrams sealed with the seal unit.
#pragma once

#include "net/seal.h"
#include "tests/server/serverharness.h"

namespace harness {
class SealedPeer : public TunnelPeer
{
public:
    using TunnelPeer::TunnelPeer;
    // Takes the key of a login_ok or tunnel_key message; false when it has none.
    bool takeKey(const QJsonObject& message)
    {
        const QByteArray key = QByteArray::fromBase64(message.value("tunnel_key").toString().toLatin1());
        if (key.size() != int(seal::kKeyBytes))
            return false;
        phase = message.value("tunnel_phase").toString().toInt() & 1;
        index = message.value("tunnel_index").toString().toUInt();
        return ciphers[phase].setKey(reinterpret_cast<const std::uint8_t*>(key.constData()));
    }
    QByteArray sealed(const QByteArray& plain, bool heartbeat = false)
    {
        QByteArray out(plain.size() + int(seal::kOverhead), 0);
        auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
        std::memcpy(bytes + seal::kHeaderBytes, plain.constData(), std::size_t(plain.size()));
        const std::uint32_t word = index | (phase ? seal::kPhase : 0) | (heartbeat ? seal::kHeartbeat : 0);
        ciphers[phase].seal({word, counter++}, bytes, std::size_t(plain.size()));
        return out;
    }
    void sealedHeartbeat() { sendRaw(sealed({}, true)); }
    void sendSealed(const QByteArray& plain) { sendRaw(sealed(plain)); }
    // The next datagram from the relay, opened (and checked to be sealed for us); empty after the timeout.
    QByteArray receiveSealed(int timeoutMs = 2000)
    {
        lastRaw = tunnel::scramblePayload(receive(timeoutMs)); // receive() unscrambles
        seal::Header h;
        QByteArray copy = lastRaw;
        auto* bytes = reinterpret_cast<std::uint8_t*>(copy.data());
        if (!seal::readHeader(bytes, std::size_t(copy.size()), &h))
            return lastRaw.isEmpty() ? QByteArray() : "not sealed";
        const long n = h.fromRelay() && h.index() == index ? ciphers[h.phase()].open(bytes, std::size_t(copy.size())) : -1;
        return n < 0 ? QByteArray("does not open") : copy.mid(int(seal::kHeaderBytes), int(n));
    }
    seal::Cipher ciphers[2];
    int phase = 0;
    std::uint32_t index = 0;
    std::uint64_t counter = 0;
    QByteArray lastRaw;
};
} // namespace harness
