// The ALSA sequencer as a MIDI system.
// Implements:
//  - lists of other clients' MIDI ports (never NO_EXPORT ones), each with an incarnation
//    that changes when a port is replaced at the same address (announcements, overruns)
//  - up to four inputs subscribed to one private port; each event decoded to short messages
//  - up to five outputs, sent direct from one private port: byte-stream ports of sound
//    cards paced at the wire's rate, programs' ports given only what their FIFO has free
//  - a closed output's messages delivered within the hand-over time, in order per port
// Does not implement:
//  - SysEx or anything longer than a short message, in or out (the undefined one-byte
//    messages go out as a raw byte)
//  - queued or timestamped events: sends go direct, received events in the order read
//  - MIDI 2.0 (UMP): the client speaks sequencer events of MIDI 1.0 only
//
// Files: alsa_open.cpp (the client, its filter and ports), alsa_ports.cpp (UI thread: lists,
// open, close, subscriptions), alsa_service.cpp (service thread: read, closed streams,
// scheduling), alsa_write.cpp (service thread: one stream onto its port), codec (events
// <-> short messages), pacer.h (the wire's rate), receiver_room.h (a program's free FIFO).
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/alsa/pacer.h"
#include "platform/alsa/receiver_room.h"
#include "platform/linux_midi/hand_over.h"
#include "platform/linux_midi/system.h"

namespace zm_alsa {

constexpr int kNoAddr = -1;
constexpr int64_t kNsPerMs = 1'000'000;
// How long the service thread sleeps when the UI thread wants an output's lock: coming
// back at once would keep the UI thread from the CPU on a one-CPU machine.
constexpr int kYieldMs = 1;

// A port's address as one number, the way the kernel's events carry client and port.
inline int Addr(int client, int port)
{
    return client << 8 | port;
}
inline int ClientOf(int addr)
{
    return addr >> 8;
}
inline int PortOf(int addr)
{
    return addr & 0xFF;
}

// Whole milliseconds from now until when, rounded up.
inline int MsUntil(int64_t when, int64_t now)
{
    return static_cast<int>((when - now + kNsPerMs - 1) / kNsPerMs);
}

class AlsaSystem final : public zm_midi::System {
  public:
    AlsaSystem(snd_seq_t* seq, int inPort, int outPort, const zm_midi::Shared& shared);
    ~AlsaSystem() override { snd_seq_close(seq_); }

    const char* Name() const override { return "ALSA sequencer"; }
    bool Alive() const override { return alive_.load(std::memory_order_acquire); }

    // UI thread (alsa_ports.cpp).
    void List(std::vector<zm_midi::PortRef>* sources,
              std::vector<zm_midi::PortRef>* destinations) override;
    bool OpenIn(int slot, const zm_midi::PortRef& port) override;
    void RunIn(int slot, PlatMidiHandle handle) override
    {
        ins_[slot].handle.store(handle, std::memory_order_release);
    }
    void CloseIn(int slot) override;
    bool OpenOut(int slot, const zm_midi::PortRef& port) override;
    void CloseOut(int slot) override;
    zm_midi::OutQueue& Out(int slot) override { return *outs_[slot].stream.queue; }
    void Sent(int slot) override
    {
        if (outs_[slot].idle.exchange(false))
            shared_.kickService();
    }

    // Service thread (alsa_service.cpp).
    int PollFds(pollfd* fds, int max) override
    {
        if (!Alive() || max < 1)
            return 0;
        return snd_seq_poll_descriptors(seq_, fds, 1, POLLIN);
    }
    int Serve(const pollfd* fds, int n) override;

  private:
    struct InSlot {
        std::atomic<int> source{kNoAddr};
        std::atomic<PlatMidiHandle> handle{0};
    };
    // The messages of one open output on their way to its port. A closed output hands its
    // stream to the service thread, which delivers what waits before it lets the port go.
    struct Stream {
        std::unique_ptr<zm_midi::OutQueue> queue = std::make_unique<zm_midi::OutQueue>();
        int dest = kNoAddr;
        bool paced = false;        // a card's byte-stream port: no faster than the wire
        bool dead = false;         // refused a send for good: the rest is dropped
        bool kernelClient = false; // a refusal may come after some got it: never sent twice
        ReceiverRoom room;         // no more than the receiving FIFOs take
        WirePacer pacer{&zm_midi::MonotonicNs};
        int64_t retryAt = 0;
        uint64_t discarded = 0;
        uint64_t unreached = 0; // refused by a kernel client, so not all that read it got them
    };
    struct OutSlot {
        // Held by the UI thread to open or close the slot, and by the service thread while
        // it writes: a closed slot's stream never gets a later owner's sends.
        std::mutex mutex;
        // Set while the UI thread waits for the mutex: the writer lets go after its message.
        std::atomic<bool> wanted{false};
        Stream stream;
        // Set by the service thread when it found nothing to write; the next send wakes it.
        std::atomic<bool> idle{true};
    };
    struct ClosedStream {
        Stream stream;
        int64_t deadline;
    };

    // alsa_ports.cpp
    std::unique_lock<std::mutex> LockSlot(OutSlot& out);
    void TakeOpenPortsAsReplaced();
    uint64_t Incarnation(int addr);
    bool Subscribe(int addr);
    void Unsubscribe(int addr);
    // alsa_service.cpp
    bool ReadInput(bool polled);
    void Announce(const snd_seq_event_t& ev);
    int Deliver(ClosedStream& closed, int64_t now);
    void Finish(Stream& stream, uint64_t left);
    void MarkSequencerLost(const char* what, int err);
    // alsa_write.cpp
    int Write(Stream& stream, int64_t now, const std::atomic<bool>* wanted,
              std::atomic<bool>* idle);

    snd_seq_t* seq_;
    int fd_ = -1;
    const int self_;
    const int inPort_;
    const int outPort_;
    zm_midi::Shared shared_;
    std::atomic<bool> alive_{true};
    InSlot ins_[zm_midi::kInSlots];    // lock-free: the UI thread stores, the service thread reads
    OutSlot outs_[zm_midi::kOutSlots]; // each under its own mutex
    bool moreInput_ = false;           // service thread
    // Set when the kernel emptied our input FIFO, announcements of replaced ports included.
    std::atomic<bool> overran_{false};

    // The locks below are never held together, except handMutex_ taken under an output
    // slot's mutex.

    // Closed outputs' streams: handed over by the UI thread, then the service thread's.
    std::mutex handMutex_; // guards handed_
    std::vector<ClosedStream> handed_;
    std::deque<ClosedStream> closed_; // service thread

    // Our subscriptions to destinations, counted: a port closed while its messages still
    // leave may be opened again meanwhile.
    std::mutex subsMutex_; // guards subs_
    std::unordered_map<int, int> subs_;

    // Set from one rising count by the announcements of clients and ports coming and
    // going (service thread), and after an overrun by the UI thread's next list, which
    // reads them.
    std::mutex incarnationMutex_; // guards the three below
    uint64_t lastIncarnation_ = 0;
    std::unordered_map<int, uint64_t> clientIncarnation_, portIncarnation_;
};

} // namespace zm_alsa
