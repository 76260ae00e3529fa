// Hand-over of outbound packets from a reader thread to the GUI thread.
//
// A queued call per packet costs an allocation, a posted event and usually a
// wake-up of the GUI thread. Here the reader appends each packet, already
// scrambled, to a shared batch and asks for a queued call only when the batch
// was empty; a burst read while the GUI thread is busy therefore travels in
// one call. The GUI thread takes the whole batch and still sends one datagram
// per packet.
#pragma once

#include "net/scramble.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

namespace tunnel {

// Packets back to back, with their lengths in order.
struct PacketBatch {
    std::vector<unsigned char> bytes;
    std::vector<int> lengths;

    // Room kept between rounds; a larger burst gives its memory back.
    static constexpr std::size_t kKeptBytes = 256u << 10;

    bool empty() const { return lengths.empty(); }
    void clear()
    {
        if (bytes.capacity() > kKeptBytes) {
            std::vector<unsigned char>().swap(bytes);
            std::vector<int>().swap(lengths);
            return;
        }
        bytes.clear();
        lengths.clear();
    }
    // Calls send(data, length) for each packet in order.
    template <typename Send>
    void forEach(Send&& send) const
    {
        std::size_t at = 0;
        for (const int length : lengths) {
            send(bytes.data() + at, length);
            at += static_cast<std::size_t>(length);
        }
    }
};

class OutboundQueue
{
public:
    // A GUI thread that stops taking (a stalled event loop) must not let a
    // busy reader grow the queue without end: past these, packets are dropped
    // as a full adapter ring would drop them.
    static constexpr std::size_t kMaxPackets = 8192;
    static constexpr std::size_t kMaxBytes = 2u << 20;

    // Reader thread: copies and scrambles one packet into the batch. True when
    // the batch was empty, i.e. the caller must queue one take() on the GUI thread.
    bool push(const unsigned char* data, int length)
    {
        if (length <= 0)
            return false;
        const std::size_t size = static_cast<std::size_t>(length);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (filling_.lengths.size() >= kMaxPackets || filling_.bytes.size() + size > kMaxBytes) {
            ++dropped_;
            return false;
        }
        const bool wasEmpty = filling_.empty();
        const std::size_t at = filling_.bytes.size();
        filling_.bytes.resize(at + size);
        std::memcpy(filling_.bytes.data() + at, data, size);
        scrambleInPlace(filling_.bytes.data() + at, size);
        filling_.lengths.push_back(length);
        return wasEmpty;
    }

    // GUI thread: everything pushed so far, oldest first. The returned batch
    // stays valid until the next take(); its buffers are reused.
    const PacketBatch& take()
    {
        draining_.clear();
        const std::lock_guard<std::mutex> lock(mutex_);
        std::swap(filling_, draining_);
        return draining_;
    }

    // Packets refused because the queue was full, since construction.
    std::size_t dropped() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

private:
    mutable std::mutex mutex_;
    PacketBatch filling_;
    PacketBatch draining_; // the GUI thread's, outside the lock
    std::size_t dropped_ = 0;
};

} // namespace tunnel
