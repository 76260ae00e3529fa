// Direct datagrams through the inbound thread's entry point. A first byte of 0 gives the rest as it is to an
// end whose key nothing here seals with: nothing opens. Otherwise the rest is sealed as the peer's under the
// pair's key, as a probe when bit 1 is set, one byte flipped when bit 0 is set: only untouched datagrams are
// taken, data exactly as sealed or else refused and counted, a well-formed request from a named candidate
// answered with an answer under the key, from our side, as long, with its id; nothing is taken twice. A first
// byte of 4 gives the rest to the inbound thread as an opened round-trip probe through the relay: only a
// well-formed request is answered, as long, with its address and id.
#include "net/directpaths.h"
#include "protocol/directwire.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using tunnel::DirectPaths;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static DirectPaths ours, stranger;
    static DirectPaths::View view(ours), strangerView(stranger);
    static seal::Cipher peer;
    static std::uint64_t counter = 0;
    static const Endpoint from = [] {
        Endpoint at;
        at.length = 16;
        return at;
    }();
    static const bool keyed = [] {
        std::array<std::uint8_t, seal::kKeyBytes> key{};
        for (std::size_t i = 0; i < key.size(); ++i)
            key[i] = static_cast<std::uint8_t>(i);
        ours.setPeers({{"peer", 0x0A080003, 7, 0, key, {from}}}, 0);
        const bool sealer = peer.setKey(key.data());
        key[0] ^= 0xa5;
        stranger.setPeers({{"peer", 0x0A080003, 7, 0, key, {}}}, 0);
        return sealer;
    }();
    if (!keyed)
        std::abort();
    if (size == 0 || size > 4096)
        return 0;
    view.sync();
    strangerView.sync();
    std::uint8_t reply[directwire::kProbeBytes];
    const std::size_t length = size - 1;
    if (data[0] == 4) {
        std::uint8_t answer[relayprobe::kPayload];
        const bool request = length == relayprobe::kPayload && data[1] == relayprobe::kRequest;
        if (ours.relayProbe(data + 1, length, 0, answer) != request ||
            (request &&
             (answer[0] != relayprobe::kAnswer || std::memcmp(answer + 1, data + 2, length - 1) != 0)))
            std::abort();
        return 0;
    }
    std::vector<std::uint8_t> d(data + 1, data + size);
    if (data[0] == 0 &&
        strangerView.receive(from, d.data(), d.size(), 0, reply).kind != DirectPaths::Inbound::Drop)
        std::abort();
    if (data[0] == 0)
        return 0;
    const bool probe = data[0] & 2;
    const bool flipped = data[0] & 1;
    d.resize(length + seal::kOverhead);
    std::memcpy(d.data() + seal::kHeaderBytes, data + 1, length);
    if (!peer.seal({7 | directwire::kSide | (probe ? directwire::kProbe : 0u), ++counter}, d.data(), length))
        std::abort();
    if (flipped)
        d[data[0] % d.size()] ^= 0x20;
    const std::vector<std::uint8_t> original = d;
    const std::uint64_t refused = ours.refused();
    const DirectPaths::Received got = view.receive(from, d.data(), d.size(), 0, reply);
    seal::Header h;
    const bool taken =
        flipped || (probe && (length != directwire::kProbePayload || data[1] != directwire::kRequest))
            ? got.kind == DirectPaths::Inbound::Drop
        : !probe
            ? got.kind == DirectPaths::Inbound::Data
                  ? got.length == length && std::memcmp(d.data() + seal::kHeaderBytes, data + 1, length) == 0
                  : got.kind == DirectPaths::Inbound::Drop && ours.refused() == refused + 1
            : got.kind == DirectPaths::Inbound::Answer && seal::readHeader(reply, got.length, &h) &&
                  h.word == (7 | directwire::kProbe) &&
                  peer.open(reply, got.length) == long(directwire::kProbePayload) &&
                  reply[seal::kHeaderBytes] == directwire::kAnswer &&
                  std::memcmp(reply + seal::kHeaderBytes + 1, data + 2, directwire::kTxidBytes) == 0;
    if (!taken)
        std::abort();
    d = original;
    if (view.receive(from, d.data(), d.size(), 0, reply).kind != DirectPaths::Inbound::Drop)
        std::abort();
    return 0;
}
