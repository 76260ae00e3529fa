// Fixed AES-256-GCM vectors that every platform's sealing unit must meet,
// Qt-free so the Windows test (under wine) runs the very same checks.
#pragma once

#include "protocol/seal.h"

#include <algorithm>
#include <string>
#include <vector>

namespace sealvectors {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(const std::string& text)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// The failed vector's name, or null when all hold.
inline const char* firstFailure()
{
    // A published AES-256-GCM known answer: a 256-bit key, a 96-bit nonce, associated data.
    const Bytes key = hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    const Bytes plain = hex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c9595680953"
                            "2fcf0e2449a6b525b16aedf5aa0de657ba637b39");
    const Bytes aad = hex("feedfacedeadbeeffeedfacedeadbeefabaddad2"),
                nonce = hex("cafebabefacedbaddecaf888");
    const Bytes sealed =
        hex("522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3d"
            "a7b08b1056828838c5f61e6393ba7a0abcc9f662"
            "76fc6ece0f4e1768cddf8853bb2d551b"); // and the tag
    seal::Cipher c;
    Bytes out(plain.size() + seal::kTagBytes);
    if (!c.setKey(key.data()) ||
        !c.encrypt(nonce.data(), aad.data(), aad.size(), plain.data(), plain.size(), out.data(),
                   out.data() + plain.size()) ||
        out != sealed ||
        !c.decrypt(nonce.data(), aad.data(), aad.size(), sealed.data(), plain.size(), out.data(),
                   sealed.data() + plain.size()) ||
        !std::equal(plain.begin(), plain.end(), out.begin()))
        return "GCM case 16";

    // A datagram: key 00..1f, phase 1, index 7, counter 0xa1b2c3d4e5, "sealed datagram".
    const Bytes datagram =
        hex("40000007000000a1b2c3d4e576da09b04857a7bb6449811b17e05481673c15b2168c848351696d8f02db5e");
    const std::string payload = "sealed datagram";
    Bytes made(seal::kHeaderBytes);
    made.insert(made.end(), payload.begin(), payload.end());
    made.resize(datagram.size());
    const Bytes datagramKey = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    seal::Header h;
    if (!c.setKey(datagramKey.data()) ||
        c.seal({seal::kPhase | 7, 0xa1b2c3d4e5}, made.data(), payload.size()) == 0 || made != datagram ||
        !seal::readHeader(made.data(), made.size(), &h) || h.index() != 7 || h.phase() != 1 ||
        h.heartbeat() || h.fromRelay() || c.open(made.data(), made.size()) != long(payload.size()) ||
        std::string(made.begin() + seal::kHeaderBytes, made.begin() + seal::kHeaderBytes + 15) != payload)
        return "datagram";
    // A changed bit (header, ciphertext, tag) or a cut datagram does not open.
    for (const std::size_t at :
         {std::size_t{3}, seal::kHeaderBytes + 2, datagram.size() - 1, datagram.size()}) {
        Bytes bad = datagram;
        if (at < bad.size())
            bad[at] ^= 0x01;
        if (c.open(bad.data(), at < bad.size() ? bad.size() : bad.size() - 1) != -1)
            return "changed datagram opened";
    }
    return nullptr;
}

} // namespace sealvectors
