// Fixed AES-256-GCM vectors that every platform's sealing unit must meet,
// Qt-free so the Windows test (under wine) runs the very same checks.
#pragma once

#include "net/seal.h"

#include <cstring>
#include <string>
#include <vector>

namespace sealvectors {

inline std::vector<std::uint8_t> hex(const char* text)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; text[i] && text[i + 1]; i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return out;
}

// The failed vector's name, or null when all hold.
inline const char* firstFailure()
{
    // The GCM specification's test case 16: a 256-bit key, a 96-bit nonce, associated data.
    const auto key = hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
    const auto plain = hex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532"
                           "fcf0e2449a6b525b16aedf5aa0de657ba637b39");
    const auto aad = hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    const auto nonce = hex("cafebabefacedbaddecaf888");
    const auto cipher = hex("522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3d"
                            "a7b08b1056828838c5f61e6393ba7a0abcc9f662");
    const auto tag = hex("76fc6ece0f4e1768cddf8853bb2d551b");
    seal::Cipher c;
    if (!c.setKey(key.data()))
        return "key set-up";
    std::vector<std::uint8_t> out(plain.size());
    std::uint8_t madeTag[seal::kTagBytes];
    if (!c.encrypt(nonce.data(), aad.data(), aad.size(), plain.data(), plain.size(), out.data(), madeTag) ||
        out != cipher || std::memcmp(madeTag, tag.data(), tag.size()) != 0)
        return "GCM case 16 encrypt";
    if (!c.decrypt(nonce.data(), aad.data(), aad.size(), cipher.data(), cipher.size(), out.data(),
                   tag.data()) ||
        out != plain)
        return "GCM case 16 decrypt";

    // A datagram: key 00..1f, phase 1, index 7, counter 0xa1b2c3d4e5.
    std::uint8_t datagramKey[seal::kKeyBytes];
    for (std::size_t i = 0; i < sizeof datagramKey; ++i)
        datagramKey[i] = static_cast<std::uint8_t>(i);
    const auto sealed =
        hex("40000007000000a1b2c3d4e576da09b04857a7bb6449811b17e05481673c15b2168c848351696d8f02db5e");
    const char payload[] = "sealed datagram";
    const std::size_t length = sizeof payload - 1;
    std::vector<std::uint8_t> datagram(length + seal::kOverhead);
    std::memcpy(datagram.data() + seal::kHeaderBytes, payload, length);
    if (!c.setKey(datagramKey) ||
        c.seal({seal::kPhase | 7, 0xa1b2c3d4e5}, datagram.data(), length) != sealed.size() ||
        datagram != sealed)
        return "datagram seal";
    seal::Header header;
    if (!seal::readHeader(datagram.data(), datagram.size(), &header) || header.index() != 7 ||
        header.phase() != 1 || header.counter != 0xa1b2c3d4e5 || header.heartbeat() || header.fromRelay())
        return "datagram header";
    if (c.open(datagram.data(), datagram.size()) != static_cast<long>(length) ||
        std::memcmp(datagram.data() + seal::kHeaderBytes, payload, length) != 0)
        return "datagram open";
    // Any changed bit (header, ciphertext, tag) or a cut datagram does not open.
    for (const std::size_t at : {std::size_t{3}, seal::kHeaderBytes + 2, sealed.size() - 1}) {
        auto bad = sealed;
        bad[at] ^= 0x01;
        if (c.open(bad.data(), bad.size()) != -1)
            return "changed datagram opened";
    }
    auto cut = sealed;
    if (c.open(cut.data(), cut.size() - 1) != -1 || c.open(cut.data(), seal::kOverhead - 1) != -1)
        return "cut datagram opened";
    return nullptr;
}

} // namespace sealvectors
