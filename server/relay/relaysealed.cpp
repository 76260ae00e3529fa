// Sealed members: their datagrams are opened with the sender's key, pass
// every rule a plain datagram passes, and are sealed again for each sealed
// recipient with the recipient's key.
#include "protocol/relayprobe.h"
#include "protocol/scramble.h"
#include "server/relay/relaycore.h"

void RelayCore::updateSealing(std::uint32_t slot, const SealRoute& route)
{
    Member& m = members_[slot];
    if (route.serial == 0) {
        m.sealing.reset();
        return;
    }
    if (!m.sealing)
        m.sealing = std::make_unique<Sealing>();
    Sealing& s = *m.sealing;
    if (s.serial == route.serial && s.oldValid == route.oldValid)
        return;
    const std::uint8_t phase = route.phase & 1;
    const auto load = [&s](std::uint8_t p, std::uint32_t serial, const SealKey& key) {
        if (s.loaded[p] == serial)
            return;
        // A new key starts a new window: its counters are its own.
        s.loaded[p] = s.cipher[p].setKey(key.bytes.data()) ? serial : 0;
        s.window[p].reset();
        s.opened[p] = s.sealed[p] = 0;
    };
    load(phase, route.serial, route.key);
    if (route.oldValid) {
        load(phase ^ 1, route.serial - 1, route.oldKey);
    } else {
        s.cipher[phase ^ 1].clear();
        s.loaded[phase ^ 1] = 0;
    }
    // Keep sealing with the old key until the client shows it has the new
    // one, so nothing sent meanwhile is lost; once the old key is gone, the new.
    if (!route.oldValid || s.loaded[s.sendPhase] == 0)
        s.sendPhase = phase;
    s.serial = route.serial;
    s.oldValid = route.oldValid;
    s.phase = phase;
}

long RelayCore::openFrom(const seal::Header& header, const std::uint8_t* data, std::size_t length,
                         bool* newest)
{
    const std::uint32_t slot = header.session();
    Sealing& s = *members_[slot].sealing;
    // Only what the client itself sealed, for its own index, under a key the
    // relay holds, with a counter not seen before.
    const int phase = header.phase();
    if (header.fromRelay() || s.loaded[phase] == 0 || !s.window[phase].fresh(header.counter) ||
        s.opened[phase] >= budget_.keyUses)
        return -1;
    // Opened straight into opened_, payload first: no copy of the datagram before or after.
    const std::size_t payload = length - seal::kOverhead;
    const std::uint8_t* sealed = data + seal::kHeaderBytes;
    if (!s.cipher[phase].decrypt(data, data, seal::kHeaderBytes, sealed, payload, opened_.data(),
                                 sealed + payload))
        return -1;
    const long opened = static_cast<long>(payload);
    s.window[phase].accept(header.counter);
    countUse(slot, s.opened[phase], phase);
    if (phase == s.phase)
        s.sendPhase = s.phase;
    // Newer: a later key (serials only grow, modulo 2^32), or the same key and a higher counter.
    const std::uint32_t serial = s.loaded[phase];
    const auto ahead = static_cast<std::int32_t>(serial - s.newestSerial);
    // Without `newest` (a datagram that may not move the endpoint) the newest stays as it was.
    if (!newest)
        return opened;
    *newest = s.newestSerial == 0 || ahead > 0 || (ahead == 0 && header.counter > s.newestCounter);
    if (*newest) {
        s.newestSerial = serial;
        s.newestCounter = header.counter;
    }
    return opened;
}

RelayCounter RelayCore::routeProbe(std::uint32_t sender, std::size_t length, std::int64_t nowMs,
                                   TargetList& targets)
{
    relayprobe::Probe probe;
    if (!relayprobe::read(opened_.data(), length, &probe))
        return count(DropRunt);
    if (sender >= table_->slotTable.size() || table_->slotTable[sender].room < 0)
        return count(DropNotInRoom);
    // The same room's rule as for data, and only to a member of ours: a plain
    // client would take the probe for a packet.
    const std::int32_t target =
        memberAt(table_->rooms[static_cast<std::size_t>(table_->slotTable[sender].room)], probe.vip);
    if (target < 0 || static_cast<std::uint32_t>(target) == sender ||
        !members_[static_cast<std::uint32_t>(target)].sealing)
        return count(DropNoRoute);
    Member& self = members_[sender];
    DatagramBucket& budget = self.probes[probe.kind == relayprobe::kAnswer ? 1 : 0];
    if (!budget.has(1, budget_.probeRate, nowMs))
        return count(DropBudget);
    budget.take(1);
    // The receiver learns who sent it from the relay, not from the sender.
    probe.vip = self.vip;
    relayprobe::write(probe, opened_.data());
    targets.push(static_cast<std::uint32_t>(target));
    targets.payload = opened_.data();
    targets.payloadLength = relayprobe::kPayload;
    targets.payloadClear = true;
    targets.probe = true;
    return CounterForwarded;
}

std::size_t RelayCore::sealFor(std::uint32_t slot, const std::uint8_t* data, std::size_t length,
                               std::uint8_t* out, bool clear, std::uint32_t flags)
{
    Sealing& s = *members_[slot].sealing;
    // Never past a key's uses: the other key if it has some left (the client
    // holds both), else nothing until the lobby's next key.
    int phase = s.sendPhase;
    if (s.sealed[phase] >= budget_.keyUses)
        phase ^= 1;
    if (s.loaded[phase] == 0 || s.sealed[phase] >= budget_.keyUses)
        return 0;
    countUse(slot, s.sealed[phase], phase);
    const seal::Header header{seal::kFromRelay | (phase ? seal::kPhase : 0u) | (flags & seal::kRelayProbe) |
                                  (slot & seal::kSessionMask),
                              s.sent++};
    if (clear)
        return s.cipher[phase].seal(header, data, length, out);
    // Unscrambled on the way into `out`, then sealed there.
    tunnel::scrambleCopy(out + seal::kHeaderBytes, data, length);
    return s.cipher[phase].seal(header, out, length);
}

void RelayCore::countUse(std::uint32_t slot, std::uint64_t& uses, int phase)
{
    Member& m = members_[slot];
    Sealing& s = *m.sealing;
    // Only the newest key is worth replacing; once asked, the next serial answers.
    if (++uses >= budget_.keyAskAt && phase == s.phase && s.askedFor != s.serial) {
        s.askedFor = s.serial;
        exchange_.askRekey(slot, m.gen);
    }
}
