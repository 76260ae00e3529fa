// A fixed ring from one producer thread to one consumer thread, lock-free;
// a full ring drops what is pushed.
#pragma once

#include <atomic>
#include <cstdint>

namespace tunnel {

template <typename T, std::uint32_t Size>
class SpscRing
{
    static_assert(Size > 0 && (Size & (Size - 1)) == 0, "a power of two, so that the indexes wrap evenly");

public:
    // Producer: false when the ring is full.
    bool push(const T& item)
    {
        const std::uint32_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == Size)
            return false;
        slots_[head % Size] = item;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // Consumer: false when the ring is empty.
    bool pop(T* item)
    {
        const std::uint32_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        *item = slots_[tail % Size];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

private:
    T slots_[Size];
    std::atomic<std::uint32_t> head_{0};
    std::atomic<std::uint32_t> tail_{0};
};

} // namespace tunnel
