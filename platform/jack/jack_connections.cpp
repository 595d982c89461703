// The connection thread: every connection made or removed (each a round trip to the
// server, which the UI thread must not wait for), and the streams of closed outputs, in
// order per port. Each stream goes out while the port is still connected to its
// destination; two periods after its last message left (or a second after its close) the
// port's connections are removed and the next stream's made. Server calls are made
// outside the locks.
#include <cstdio>

#include "platform/jack/hold_points.h"
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

// Moves every slot's connections and streams on as far as they go. True while anything
// is left to do.
bool JackSystem::AdvanceStreams()
{
    std::vector<std::pair<std::string, std::string>> feedback;
    {
        std::lock_guard lock(connMutex_);
        feedback.swap(feedback_);
    }
    for (const auto& [from, to] : feedback) {
        if (Alive())
            jack_disconnect(client_, from.c_str(), to.c_str());
    }
    bool busy = false;
    for (int i = 0; i < kInSlots; ++i)
        busy |= AdvanceInput(i);
    for (int i = 0; i < kOutSlots; ++i)
        busy |= AdvanceStreamsOf(i);
    return busy;
}

bool JackSystem::AdvanceInput(int slot)
{
    std::unique_lock lock(connMutex_);
    InSlot& in = inSlots_[slot];
    if (in.disconnect) {
        in.disconnect = false;
        lock.unlock();
        if (Alive())
            jack_port_disconnect(client_, in_[slot]);
        lock.lock();
        in.settling = true;
        in.goneAt = cycles_.load(std::memory_order_acquire);
    }
    if (in.settling) {
        // Out of the graph from the next period on; that period's events may be the old ones.
        if (cycles_.load(std::memory_order_acquire) - in.goneAt < 2 && Alive())
            return true;
        in.settling = false;
        inHandle_[slot].store(in.wanted, std::memory_order_release);
    }
    if (in.connect.empty() || in.disconnect)
        return in.disconnect;
    const std::string source = std::move(in.connect);
    in.connect.clear();
    in.connecting = true;
    lock.unlock();
    if (!Connect(source.c_str(), jack_port_name(in_[slot])) && Alive())
        std::fprintf(stderr, "ZYN_MOUSE: MIDI input %s could not be connected\n", source.c_str());
    lock.lock();
    in.connecting = false;
    in.joined = source;
    in.joinBy = HandOverDeadline(MonotonicNs());
    in.connectedAt = cycles_.load(std::memory_order_acquire);
    return false;
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
            first.settleBy = HandOverDeadline(MonotonicNs()); // however late the graph shows it
            first.step = ok ? Step::kSettle : Step::kFailed;
            first.failed = !ok;
            continue;
        }
        case Step::kSettle:
            // A connection is in the graph from the next period on, unless the server ran
            // late and kept the graph it had: then not until our view of it shows it.
            if (!jack_port_connected_to(out_[slot], first.dest.c_str()) &&
                MonotonicNs() < first.settleBy && Alive()) {
                first.waitFromCycle = cycle;
                return true;
            }
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
            if (auto* held = hold::afterOffAir.load(std::memory_order_relaxed))
                held();
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
