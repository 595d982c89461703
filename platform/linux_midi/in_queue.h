// Received short messages on their way from the MIDI threads (JACK's process thread, the
// service thread) to the UI thread. Bounded and lock-free on the producing side, so the
// real-time thread may push; a full queue counts what it could not take.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace zm_midi {

class InQueue {
  public:
    // signal: asks for a drain; called at most once per drain, from a producer's thread,
    // so it must be safe there: a real-time one included (it only wakes the UI thread).
    explicit InQueue(size_t capacity, void (*signal)());

    // Any producer thread. False (and counted) when the queue is full. arrival: when the
    // message came, on the system's clock (JACK's frames), for a send made in reply.
    bool Push(PlatMidiHandle handle, uint32_t message, uint32_t arrival = 0);
    // After one or more pushes: makes sure a drain follows, whatever the UI thread is doing.
    void Pushed();

    // UI thread. Hands over at most maxItems, oldest first, so that a flood cannot hold the
    // UI thread for long; when some are left it calls wake itself. A sink that drains
    // again from inside gets nothing.
    size_t Drain(void (*sink)(PlatMidiHandle, uint32_t), void (*wake)(), size_t maxItems = 512);

    // UI thread: whether a sink called from Drain is running, and the arrival of the message
    // it was handed.
    bool Delivering() const { return inSink_; }
    uint32_t DeliveringArrival() const { return deliveringArrival_; }

    // Messages refused because the queue was full, since start.
    uint64_t Lost() const { return lost_.load(std::memory_order_relaxed); }

  private:
    struct Cell {
        std::atomic<size_t> seq;
        PlatMidiHandle handle;
        uint32_t message;
        uint32_t arrival;
    };

    std::unique_ptr<Cell[]> cells_;
    size_t mask_;
    void (*signal_)();
    alignas(64) std::atomic<size_t> tail_{0};
    alignas(64) size_t head_ = 0;    // UI thread only
    bool inDrain_ = false;           // UI thread only
    bool inSink_ = false;            // UI thread only
    uint32_t deliveringArrival_ = 0; // UI thread only
    alignas(64) std::atomic<bool> drainDue_{false};
    std::atomic<uint64_t> lost_{0};
};

} // namespace zm_midi
