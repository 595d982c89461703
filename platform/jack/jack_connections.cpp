// The connection thread: the streams of closed outputs, in order per port. Each goes out
// while the port is still connected to its destination; two periods after its last
// message left (or a second after its close) the port's connections are removed and the
// next stream's made. Server calls are made outside the slot's lock.
#include "platform/jack/jack_system.h"
#include "platform/linux_midi/hand_over.h"

namespace zm_midi {
namespace {

// How often the thread looks at closed outputs while any are left.
constexpr auto kAdvanceEvery = std::chrono::milliseconds(1);

} // namespace

void JackSystem::ConnectionLoop()
{
    std::unique_lock lock(connMutex_);
    while (!stop_) {
        kicked_ = false;
        lock.unlock();
        const bool busy = AdvanceStreams();
        lock.lock();
        if (busy) {
            connCv_.wait_for(lock, kAdvanceEvery, [this] { return stop_; });
        } else {
            connCv_.wait(lock, [this] { return stop_ || kicked_; });
        }
    }
}

void JackSystem::KickConnections()
{
    {
        std::lock_guard lock(connMutex_);
        kicked_ = true;
    }
    connCv_.notify_one();
}

// Moves every slot's streams on as far as they go, and frees the queues the process
// callback can no longer see. True while anything is left to do.
bool JackSystem::AdvanceStreams()
{
    bool busy = false;
    for (int i = 0; i < kOutSlots; ++i)
        busy |= AdvanceStreamsOf(i);
    const uint64_t cycle = cycles_.load(std::memory_order_acquire);
    std::lock_guard lock(connMutex_);
    std::erase_if(retired_,
                  [&](const Retired& r) { return cycle - r.releasedAtCycle >= 2 || !Alive(); });
    return busy || !retired_.empty();
}

bool JackSystem::AdvanceStreamsOf(int slot)
{
    OutSlot& out = outs_[slot];
    std::unique_lock lock(out.mutex);
    while (!out.streams.empty()) {
        Stream& first = *out.streams.front();
        const uint64_t cycle = cycles_.load(std::memory_order_acquire);
        switch (first.step) {
        case Step::kConnect: {
            const std::string dest = first.dest;
            lock.unlock();
            const bool ok = Connect(jack_port_name(out_[slot]), dest.c_str());
            lock.lock();
            first.waitFromCycle = cycles_.load(std::memory_order_acquire);
            first.step = ok ? Step::kSettle : Step::kFailed;
            first.failed = !ok;
            continue;
        }
        case Step::kSettle:
            // A connection is in the graph from the next period on.
            if (cycle - first.waitFromCycle < 2 && Alive())
                return true;
            out.writing.store(&first.queue, std::memory_order_release);
            first.step = Step::kWriting;
            continue;
        case Step::kWriting:
            if (first.open)
                return false;
            // Closed: the UI thread no longer touches its queue, its backlog is ours.
            first.queue.Refill();
            if (first.queue.Waiting() > 0 && MonotonicNs() < first.deadline && Alive())
                return true;
            // Counted from when it went off the air, not from before.
            out.writing.store(nullptr, std::memory_order_seq_cst);
            first.waitFromCycle = cycles_.load(std::memory_order_seq_cst);
            first.step = Step::kRetire;
            continue;
        case Step::kFailed:
            if (first.open)
                return false;
            first.step = Step::kRetire;
            continue;
        case Step::kRetire: {
            // Two periods on, the server has passed on the last of it and we write it no more.
            if (cycle - first.waitFromCycle < 2 && Alive())
                return true;
            // Still first while its connections go: an open meanwhile waits behind it.
            lock.unlock();
            if (Alive())
                jack_port_disconnect(client_, out_[slot]);
            ReportDropped(first.dest, first.queue.Waiting(),
                          first.failed ? "the port could not be connected" : kHandOverTooSlow);
            lock.lock();
            out.streams.pop_front();
            continue;
        }
        }
    }
    return false;
}

} // namespace zm_midi
