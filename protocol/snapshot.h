// An immutable value handed from one writer thread to the data-path threads:
// seal keys, the direct-path table, the relay's routes.
//
// Who writes: one thread at a time (the GUI thread, the lobby's thread) calls
// publish(), latest() and reclaim(). A published value is never changed again;
// what must change under the readers (counters, flags) lives outside it or
// behind an atomic it points to.
//
// Who reads: any thread, each through a Reader of its own that lives no longer
// than the Snapshot. refresh() takes up the newest value: one atomic load when
// nothing changed, and neither a lock nor an allocation when something did, so
// it may run once per batch on the data path.
//
// What a reader holds, and how long: the value it took at its last refresh(),
// unchanged and alive until its next refresh() or its end, however many values
// are published meanwhile.
//
// When old values are freed: on the writer's thread, never a reader's, at the
// first publish() or reclaim() after the last reader moved on, or with the
// Snapshot. At most one old value per reader waits for that.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

template <typename T>
class Snapshot
{
    struct Node
    {
        std::shared_ptr<const T> value;
        std::uint64_t version = 0;
    };
    // One per reader, reused after it ends: the value it holds, which the writer keeps alive.
    struct Slot
    {
        std::atomic<const Node*> held{nullptr};
        std::atomic<bool> taken{true};
        Slot* next = nullptr;
    };

public:
    Snapshot() = default;
    explicit Snapshot(std::shared_ptr<const T> first) { publish(std::move(first)); }
    ~Snapshot()
    {
        delete current_.load(std::memory_order_relaxed);
        for (Slot* s = slots_.load(std::memory_order_relaxed); s;)
            delete std::exchange(s, s->next);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // Writer. Readers take `next` up at their next refresh(); null: nothing.
    void publish(std::shared_ptr<const T> next)
    {
        const std::uint64_t version = published_.load(std::memory_order_relaxed) + 1;
        const Node* old = current_.exchange(new Node{std::move(next), version}, std::memory_order_seq_cst);
        published_.store(version, std::memory_order_release);
        if (old)
            retired_.emplace_back(old);
        reclaim();
    }
    // Writer: what it published last.
    const T* latest() const
    {
        const Node* node = current_.load(std::memory_order_relaxed);
        return node ? node->value.get() : nullptr;
    }
    // Writer: frees the old values no reader holds any more.
    void reclaim()
    {
        for (std::size_t i = 0; i < retired_.size();) {
            if (held(retired_[i].get())) {
                ++i;
                continue;
            }
            std::swap(retired_[i], retired_.back());
            retired_.pop_back();
        }
    }
    // Any thread: how many values were published.
    std::uint64_t version() const { return published_.load(std::memory_order_acquire); }

    class Reader
    {
    public:
        explicit Reader(const Snapshot& from) : from_(from), slot_(from.claim()) {}
        ~Reader()
        {
            slot_->held.store(nullptr, std::memory_order_release);
            slot_->taken.store(false, std::memory_order_release);
        }
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;

        // True when it took up a newer value.
        bool refresh()
        {
            const Node* node = from_.current_.load(std::memory_order_acquire);
            if (node == node_)
                return false;
            // Held first, then checked still current: the writer's scan then sees it held.
            for (;;) {
                slot_->held.store(node, std::memory_order_seq_cst);
                const Node* again = from_.current_.load(std::memory_order_seq_cst);
                if (again == node)
                    break;
                node = again;
            }
            node_ = node;
            return true;
        }
        const T* get() const { return node_ ? node_->value.get() : nullptr; }
        const T* operator->() const { return get(); }
        // Which publish it holds; 0: none yet.
        std::uint64_t version() const { return node_ ? node_->version : 0; }

    private:
        const Snapshot& from_;
        Slot* const slot_;
        const Node* node_ = nullptr;
    };

private:
    Slot* claim() const
    {
        for (Slot* s = slots_.load(std::memory_order_acquire); s; s = s->next)
            if (!s->taken.load(std::memory_order_relaxed) &&
                !s->taken.exchange(true, std::memory_order_acquire))
                return s;
        Slot* s = new Slot;
        s->next = slots_.load(std::memory_order_relaxed);
        while (!slots_.compare_exchange_weak(s->next, s, std::memory_order_release)) {
        }
        return s;
    }
    bool held(const Node* node) const
    {
        for (const Slot* s = slots_.load(std::memory_order_acquire); s; s = s->next)
            if (s->held.load(std::memory_order_seq_cst) == node)
                return true;
        return false;
    }

    std::atomic<const Node*> current_{nullptr};
    std::atomic<std::uint64_t> published_{0};
    mutable std::atomic<Slot*> slots_{nullptr};
    std::vector<std::unique_ptr<const Node>> retired_; // the writer's
};
