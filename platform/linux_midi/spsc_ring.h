// A bounded single-producer, single-consumer ring: lock-free and allocation-free once
// made, so a real-time thread may stand on either side.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace zm_midi {

template <typename T> class SpscRing {
  public:
    // capacity is rounded up to a power of two.
    explicit SpscRing(size_t capacity)
    {
        size_t n = 1;
        while (n < capacity)
            n <<= 1;
        mask_ = n - 1;
        items_ = std::make_unique<T[]>(n);
    }

    size_t Capacity() const { return mask_ + 1; }

    // Producer side.
    bool TryPush(const T& item)
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - headCache_ > mask_) {
            headCache_ = head_.load(std::memory_order_acquire);
            if (tail - headCache_ > mask_)
                return false;
        }
        items_[tail & mask_] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest item, left in place until Pop.
    bool Peek(T* item)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head == tailCache_) {
            tailCache_ = tail_.load(std::memory_order_acquire);
            if (head == tailCache_)
                return false;
        }
        *item = items_[head & mask_];
        return true;
    }
    void Pop()
    {
        head_.store(head_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    // Either side; exact only from the consumer when the producer is idle.
    size_t Size() const
    {
        return tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    }
    bool Empty() const
    {
        return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
    }

  private:
    std::unique_ptr<T[]> items_;
    size_t mask_ = 0;
    alignas(64) std::atomic<size_t> head_{0};
    size_t tailCache_ = 0; // consumer's
    alignas(64) std::atomic<size_t> tail_{0};
    size_t headCache_ = 0; // producer's
};

} // namespace zm_midi
