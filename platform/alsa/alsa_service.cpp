// The service thread's side: reading what arrives, the closed outputs' streams, and the
// order in which streams get written (alsa_write.cpp writes one).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/alsa/alsa_system.h"
#include "platform/alsa/codec.h"

namespace zm_alsa {
namespace {

// The most events read in one pass, so that a flood in leaves room for the writes out.
constexpr int kReadBatch = 1024;

} // namespace

void AlsaSystem::MarkSequencerLost(const char* what, int err)
{
    if (alive_.exchange(false)) {
        std::fprintf(stderr, "ZYN_MOUSE: the ALSA sequencer failed (%s: %s)\n", what,
                     snd_strerror(err));
        // The UI thread's next device check notices and lets us go.
        shared_.askDrain();
    }
}

void AlsaSystem::Announce(const snd_seq_event_t& ev)
{
    std::lock_guard lock(incarnationMutex_);
    switch (ev.type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
        clientIncarnation_[ev.data.addr.client] = ++lastIncarnation_;
        break;
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
        portIncarnation_[Addr(ev.data.addr.client, ev.data.addr.port)] = ++lastIncarnation_;
        break;
    default:
        break;
    }
}

// True when it stopped with events still waiting. polled: poll said there are some.
bool AlsaSystem::ReadInput(bool polled)
{
    bool pushed = false, more = true;
    for (int i = 0; i < kReadBatch; ++i) {
        snd_seq_event_t* ev = nullptr;
        const int r = snd_seq_event_input(seq_, &ev);
        if (r == -EAGAIN) {
            if (polled && i == 0) {
                // Something waits that cannot be read: it would keep poll ready and us
                // spinning, with everything behind it stuck. Throw it all away.
                snd_seq_drop_input(seq_);
                shared_.overruns->fetch_add(1, std::memory_order_relaxed);
                overran_.store(true, std::memory_order_release);
            }
            more = false;
            break;
        }
        if (r == -ENOSPC) { // the kernel emptied our full FIFO
            shared_.overruns->fetch_add(1, std::memory_order_relaxed);
            overran_.store(true, std::memory_order_release);
            continue;
        }
        if (r == -EINTR)
            continue;
        if (r < 0) {
            MarkSequencerLost("reading", r);
            more = false;
            break;
        }
        if (ev == nullptr)
            continue;
        if (ev->source.client == SND_SEQ_CLIENT_SYSTEM &&
            ev->source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE) {
            Announce(*ev);
            continue;
        }
        const int source = Addr(ev->source.client, ev->source.port);
        PlatMidiHandle handle = 0;
        for (InSlot& in : ins_) {
            if (in.source.load(std::memory_order_acquire) == source) {
                handle = in.handle.load(std::memory_order_acquire);
                break;
            }
        }
        if (handle == 0)
            continue; // stopped, closed, or not ours to hear
        uint32_t words[kMaxDecoded];
        const int n = DecodeEvent(*ev, words);
        for (int k = 0; k < n; ++k)
            shared_.in->Push(handle, words[k]);
        pushed = pushed || n > 0;
    }
    if (pushed)
        shared_.in->Pushed();
    return more;
}

// The end of a closed output's stream: says what it could not deliver, lets the port go.
// Either thread: the UI thread's when nothing waited at the close.
void AlsaSystem::Finish(Stream& stream, uint64_t left)
{
    const std::string output =
        std::to_string(ClientOf(stream.dest)) + ":" + std::to_string(PortOf(stream.dest));
    zm_midi::ReportDropped(output, stream.discarded, nullptr);
    zm_midi::ReportDropped(output, left, zm_midi::kHandOverTooSlow);
    zm_midi::ReportDropped(output, stream.unreached, "a program reading the port had no room");
    Unsubscribe(stream.dest);
}

// A closed output's stream, until what waits has left (and a paced wire is quiet again) or
// its second is up; returns the ms until it wants to run again, -2 once it is finished.
int AlsaSystem::Deliver(ClosedStream& closed, int64_t now)
{
    Stream& stream = closed.stream;
    stream.queue->Refill(); // the UI thread let go of the backlog with the stream
    int wait = Write(stream, now, nullptr, nullptr);
    const uint64_t left = stream.queue->Waiting();
    const int64_t wire = stream.paced ? stream.pacer.WaitFor(WirePacer::kBurstBytes) : 0;
    if ((left == 0 && wire == 0) || now >= closed.deadline) {
        Finish(stream, left);
        return -2;
    }
    if (left == 0)
        wait = MsUntil(now + wire, now);
    // Only a pass that made room in the ring brings more: a paced wire has it sleep.
    if (stream.queue->Refill() && wait < 0)
        wait = 0;
    const int untilDeadline = MsUntil(closed.deadline, now);
    return std::min(wait < 0 ? untilDeadline : wait, untilDeadline);
}

int AlsaSystem::Serve(const pollfd* fds, int n)
{
    if (!Alive())
        return -1;
    bool polled = false;
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            MarkSequencerLost("poll", -EPIPE);
            return -1;
        }
        polled = polled || (fds[i].revents & POLLIN);
    }
    moreInput_ = (moreInput_ || polled) && ReadInput(polled && !moreInput_);
    int wait = moreInput_ ? 0 : -1;
    auto want = [&wait](int w) {
        if (w >= 0 && (wait < 0 || w < wait))
            wait = w;
    };
    const int64_t now = zm_midi::MonotonicNs();
    auto takeHanded = [this] {
        std::lock_guard lock(handMutex_);
        for (ClosedStream& closed : handed_)
            closed_.push_back(std::move(closed));
        const bool took = !handed_.empty();
        handed_.clear();
        return took;
    };
    takeHanded();
    // Closed outputs first, oldest first; each waits for an older one to the same port, and
    // so does an open output: what was sent first reaches the port first.
    auto waitsBehind = [this](int dest, size_t before) {
        for (size_t k = 0; k < before; ++k) {
            if (closed_[k].stream.dest == dest)
                return true;
        }
        return false;
    };
    for (size_t k = 0; k < closed_.size();) {
        if (waitsBehind(closed_[k].stream.dest, k)) {
            ++k;
            continue;
        }
        const int w = Deliver(closed_[k], now);
        if (w == -2) {
            closed_.erase(closed_.begin() + static_cast<std::ptrdiff_t>(k));
            continue;
        }
        want(w);
        ++k;
    }
    for (OutSlot& out : outs_) {
        if (out.wanted.load(std::memory_order_acquire)) {
            want(kYieldMs);
            continue;
        }
        std::unique_lock lock(out.mutex);
        if (out.stream.dest == kNoAddr) {
            out.idle.store(true); // so that the first send after the next open wakes us
            continue;
        }
        if (takeHanded())
            want(0);
        if (waitsBehind(out.stream.dest, closed_.size()))
            continue;
        want(Write(out.stream, now, &out.wanted, &out.idle));
    }
    return wait;
}

} // namespace zm_alsa
