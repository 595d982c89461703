// What a MIDI system back end (JACK, the ALSA sequencer) offers the shared front, which
// owns the choice of system, the handles and the lists. Every call is made on the UI
// thread unless it says otherwise; none of them may wait on another thread.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux_midi/in_queue.h"
#include "platform/linux_midi/out_queue.h"

namespace zm_midi {

constexpr int kInSlots = 4;  // the most inputs the program opens at once
constexpr int kOutSlots = 5; // the most outputs

struct PortRef {
    std::string key;    // how the system finds the port again (JACK's full name, ALSA "c:p")
    std::string shown;  // the name for the device lists, UTF-8, not yet cut
    std::string client; // the owning client's name, for the loopback rule
    std::vector<std::string> aliases;
    // Changes when the system saw the port replaced under the same key (a restarted synth).
    uint64_t incarnation = 0;
};

// What the front lends a back end: the queue of received messages, and a way to get
// the UI thread to drain it or refill the output rings. Both signals are safe on a
// real-time thread.
struct Shared {
    InQueue* in = nullptr;
    void (*askDrain)() = nullptr;    // the UI thread drains and refills soon
    void (*kickService)() = nullptr; // the service thread looks at its work again
    void (*askNames)() = nullptr;    // the probe thread calls FetchNames soon
    // Counts each time the system told us it had to throw received events away.
    std::atomic<uint64_t>* overruns = nullptr;
};

class System {
  public:
    virtual ~System() = default;
    virtual const char* Name() const = 0;
    // False once the system went away (server died, sequencer lost). Any thread.
    virtual bool Alive() const = 0;
    // Ports of others; our own, private ones and the system's own plumbing left out.
    virtual void List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations) = 0;
    // Messages from the port are pushed to the received queue tagged with handle while
    // the slot runs.
    virtual bool OpenIn(int slot, const PortRef& port) = 0;
    virtual void RunIn(int slot, PlatMidiHandle handle) = 0; // 0 stops
    virtual void CloseIn(int slot) = 0;
    virtual bool OpenOut(int slot, const PortRef& port) = 0;
    virtual void CloseOut(int slot) = 0;
    // The queue the UI thread sends into; the system writes what it holds.
    virtual OutQueue& Out(int slot) = 0;
    // After sends into Out(slot).
    virtual void Sent(int /*slot*/) {}
    // The system's clock now, as sends are stamped with it (JACK's frames); 0 where sends
    // go at once.
    virtual uint32_t Now() const { return 0; }

    // Service thread: file descriptors to watch, and what to do when they are ready or
    // the service is kicked; returns the longest wait in ms before it wants to run again
    // (-1: no limit).
    virtual int PollFds(pollfd* /*fds*/, int /*max*/) { return 0; }
    virtual int Serve(const pollfd* /*fds*/, int /*n*/) { return -1; }

    // Probe thread: reads names from where a reader can wait for good (JACK's metadata
    // database) into a cache that List takes without waiting.
    virtual void FetchNames() {}

    // UI thread: every connection asked for so far is made (or failed), where a thread of
    // the system's own makes them.
    virtual bool Connected() { return true; }
};

} // namespace zm_midi
