#include "platform/linux_midi/in_queue.h"

namespace zm_midi {

InQueue::InQueue(size_t capacity, void (*signal)()) : signal_(signal)
{
    size_t n = 1;
    while (n < capacity)
        n <<= 1;
    mask_ = n - 1;
    cells_ = std::make_unique<Cell[]>(n);
    for (size_t i = 0; i < n; ++i)
        cells_[i].seq.store(i, std::memory_order_relaxed);
}

// A bounded multi-producer queue in the manner of D. Vyukov: each cell's sequence number
// says whose turn it is, so producers claim cells with one compare-and-swap and never wait.
bool InQueue::Push(PlatMidiHandle handle, uint32_t message, uint32_t arrival)
{
    size_t pos = tail_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[pos & mask_];
        const size_t seq = cell.seq.load(std::memory_order_acquire);
        const intptr_t diff = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
        if (diff == 0) {
            if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                cell.handle = handle;
                cell.message = message;
                cell.arrival = arrival;
                cell.seq.store(pos + 1, std::memory_order_release);
                return true;
            }
        } else if (diff < 0) {
            lost_.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            pos = tail_.load(std::memory_order_relaxed);
        }
    }
}

void InQueue::Pushed()
{
    // The UI thread clears the flag before it looks at the queue, so a push it may have
    // missed always finds the flag clear and asks again.
    if (!drainDue_.exchange(true, std::memory_order_acq_rel) && signal_ != nullptr)
        signal_();
}

size_t InQueue::Drain(void (*sink)(PlatMidiHandle, uint32_t), void (*wake)(), size_t maxItems)
{
    if (inDrain_)
        return 0;
    inDrain_ = true;
    drainDue_.store(false, std::memory_order_seq_cst);
    size_t count = 0;
    for (; count < maxItems; ++count) {
        Cell& cell = cells_[head_ & mask_];
        if (cell.seq.load(std::memory_order_acquire) != head_ + 1)
            break;
        const PlatMidiHandle handle = cell.handle;
        const uint32_t message = cell.message;
        const uint32_t arrival = cell.arrival;
        cell.seq.store(head_ + mask_ + 1, std::memory_order_release);
        ++head_;
        if (sink != nullptr) {
            inSink_ = true;
            deliveringArrival_ = arrival;
            sink(handle, message);
            inSink_ = false;
        }
    }
    inDrain_ = false;
    if (count == maxItems &&
        cells_[head_ & mask_].seq.load(std::memory_order_acquire) == head_ + 1) {
        // More waits: come back in the next turn of the event loop.
        drainDue_.store(true, std::memory_order_release);
        if (wake != nullptr)
            wake();
    }
    return count;
}

} // namespace zm_midi
