// Sends of one output on their way from the UI thread to the thread that writes them
// (JACK's process thread or the service thread): a lock-free ring, and behind it a backlog
// on the UI side for bursts the ring cannot take. Nothing is dropped while the output
// lives; the writer asks for a refill once it has made room. A closed output's queue may be
// handed over whole: the thread that took it refills the ring from the backlog (the service
// thread, which also writes it; under JACK the connection thread, for the process thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "platform/linux_midi/spsc_ring.h"

namespace zm_midi {

class OutQueue {
  public:
    explicit OutQueue(size_t ringCapacity = 4096) : ring_(ringCapacity) {}

    // UI thread. Keeps the order: once a backlog exists, everything joins it. made: when
    // the send was made, on the system's clock (JACK's frames), so the writer can keep the
    // spacing of the sends.
    void Send(uint32_t word, uint32_t made = 0)
    {
        const uint64_t item = static_cast<uint64_t>(made) << 32 | word;
        if (backlog_.empty() && ring_.TryPush(item))
            return;
        backlog_.push_back(item);
        backlogSize_.store(backlog_.size(), std::memory_order_relaxed);
        wantRefill_.store(true, std::memory_order_release);
    }
    // UI thread: moves what fits from the backlog into the ring; true if anything moved.
    bool Refill()
    {
        bool moved = false;
        while (!backlog_.empty() && ring_.TryPush(backlog_.front())) {
            backlog_.pop_front();
            moved = true;
        }
        backlogSize_.store(backlog_.size(), std::memory_order_relaxed);
        wantRefill_.store(!backlog_.empty(), std::memory_order_release);
        return moved;
    }
    size_t Backlog() const { return backlog_.size(); }
    // Any thread: how many messages wait, ring and backlog; exact on the writer's side
    // while the UI thread does not send, and for a queue handed over after its close.
    size_t Waiting() const { return ring_.Size() + backlogSize_.load(std::memory_order_relaxed); }

    // Writer's side: the oldest message, left in place until Pop.
    bool Peek(uint32_t* word, uint32_t* made = nullptr)
    {
        uint64_t item;
        if (!ring_.Peek(&item))
            return false;
        *word = static_cast<uint32_t>(item);
        if (made != nullptr)
            *made = static_cast<uint32_t>(item >> 32);
        return true;
    }
    void Pop() { ring_.Pop(); }
    // True when the UI thread has more for the ring: after making room, ask for a refill.
    bool WantsRefill() const { return wantRefill_.load(std::memory_order_acquire); }

  private:
    // The word in the low half, when it was made in the high half.
    SpscRing<uint64_t> ring_;
    std::deque<uint64_t> backlog_; // UI thread only
    std::atomic<bool> wantRefill_{false};
    std::atomic<size_t> backlogSize_{0}; // written by the sending side only
};

} // namespace zm_midi
