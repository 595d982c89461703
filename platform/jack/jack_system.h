// The JACK back end of the Linux MIDI front (platform/linux_midi/system.h).
//
// Implements:
//  - one client, "ZYN_MOUSE", with ports in_1..in_4 and out_1..out_5 registered once;
//    opening a device connects a free port of ours to it
//  - short messages both ways; the inputs of one period merged in time order
//  - pretty names from JACK's metadata, else the first alias, else the full port name
//  - a port replaced under its old name listed as another port (a new incarnation)
//  - every connection made and removed on a thread of its own: each is a round trip to
//    the server, and a device check makes many
//  - connections into our inputs from our own outputs or the loopback removed
//  - a closed output's waiting messages handed over to its port for up to a second
//  - sends placed in time: a constant delay after their stamps (a thru's, the arrival of
//    what it forwards), reported as our ports' latency; a release a frame after its strike
//  - PipeWire asked to pass received bytes as they were sent
// Does not implement:
//  - SysEx or any message longer than three bytes (ignored on input)
//  - starting a server, or noticing one gone before the next device check
//
// One file per thread: jack_system.cpp the UI thread (and the set-up), jack_process.cpp
// the real-time process callback (send_timing.h places its sends; jack_timing.cpp keeps
// the delay and reports it), jack_connections.cpp the connection thread (the inputs'
// connections, and the outputs' streams in order per port), jack_names.cpp the probe
// thread (pretty names). JACK's own server threads only set flags and wake.
#pragma once

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/uuid.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/jack/send_timing.h"
#include "platform/linux_midi/system.h"

namespace zm_midi {

class JackSystem final : public System {
  public:
    explicit JackSystem(const Shared& shared) : shared_(shared) {}
    ~JackSystem() override; // probe thread, like Open

    // Probe thread, once, before anything else.
    bool Open(std::string* why);

    const char* Name() const override { return "JACK"; }
    bool Alive() const override { return !gone_.load(std::memory_order_acquire); }
    void List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations) override;
    bool OpenIn(int slot, const PortRef& port) override;
    void RunIn(int slot, PlatMidiHandle handle) override;
    void CloseIn(int slot) override;
    bool OpenOut(int slot, const PortRef& port) override;
    void CloseOut(int slot) override;
    OutQueue& Out(int slot) override;
    uint32_t Now() const override { return jack_frame_time(client_); }
    void FetchNames() override; // jack_names.cpp
    bool Connected() override;

  private:
    // The sends of one opening of an output, on their way to its destination.
    enum class Step {
        kConnect, // waits for its connection, behind the streams before it
        kSettle,  // connected; written once the connection is in the graph
        kWriting, // written by the process callback
        kFailed,  // its connection could not be made; nothing to write it to
        kRetire,  // no longer written; its connections go once the server passed it on
    };
    struct Stream {
        OutQueue queue;
        std::string dest;
        bool open = true;    // the UI thread still sends into it
        bool failed = false; // its connection could not be made
        Step step = Step::kConnect;
        uint64_t waitFromCycle = 0; // the period count its step waits from
        int64_t deadline = 0;       // MonotonicNs
        int64_t settleBy = 0;       // the longest wait for our view to show the connection
    };
    struct OutSlot {
        // The UI and the connection thread; never the process callback.
        std::mutex mutex;
        // Oldest first; the first is the one on the port, the last the open one, if any.
        std::deque<std::unique_ptr<Stream>> streams;
        OutQueue* current = nullptr; // UI thread: the open stream's queue
        // The queue the process callback writes.
        std::atomic<OutQueue*> writing{nullptr};
    };
    // An input's connections on their way, guarded by connMutex_. A reopened slot takes
    // no messages until its old connections are surely out of the graph, and is connected
    // only then: nothing of the old source is taken as the new one's, nothing new is lost.
    struct InSlot {
        bool disconnect = false; // its connections are to go
        bool settling = false;   // they went at cycle goneAt; the graph may still have them
        uint64_t goneAt = 0;
        std::string connect;       // the source to connect once settled
        bool connecting = false;   // the connection is being made
        std::string joined;        // the source just connected, until the graph shows it
        int64_t joinBy = 0;        // the longest wait for that (MonotonicNs)
        uint64_t connectedAt = 0;  // the period our view showed it; in use two periods on
        PlatMidiHandle wanted = 0; // the handle to run once settled
    };

    // jack_system.cpp: the UI thread
    bool Fail(std::string* why, const char* what);
    bool Connect(const char* from, const char* to);
    void TakeFetchedNames();
    void ListSide(unsigned long flags, std::vector<PortRef>* list, bool* unnamed);
    PortRef Describe(jack_port_t* port, const char* name, bool* unnamed);
    void DropFeedback();
    bool InBusy(int slot);
    void NoticeReplaced(jack_port_t* ours, const std::string& target, bool busy,
                        std::vector<PortRef>& listed);
    bool Connecting(int slot);
    static void OnShutdown(jack_status_t, const char*, void* arg); // a server thread
    // jack_process.cpp: the real-time thread
    static int Process(jack_nframes_t frames, void* arg);
    void Receive(jack_nframes_t start, jack_nframes_t frames);
    void Transmit(jack_nframes_t start, jack_nframes_t frames);
    // jack_timing.cpp: JACK's notification thread
    static uint32_t DelayFor(jack_nframes_t frames, jack_nframes_t rate);
    static int OnPeriod(jack_nframes_t frames, void* arg);
    static void OnLatency(jack_latency_callback_mode_t mode, void* arg);
    void ReportLatency(jack_latency_callback_mode_t mode); // also the UI thread's, on PipeWire
    // jack_connections.cpp: the connection thread
    void ConnectionLoop();
    void KickConnections(); // any thread but the real-time one
    bool AdvanceStreams();
    bool AdvanceInput(int slot);
    bool AdvanceStreamsOf(int slot);
    // jack_names.cpp: the probe thread, and the server threads that tell of changes
    static std::string PrettyName(jack_uuid_t uuid);
    static void OnRegistration(jack_port_id_t id, int, void* arg);
    static void OnProperty(jack_uuid_t subject, const char*, jack_property_change_t, void* arg);
    void Changed(jack_uuid_t uuid);
    static size_t NameBucketOf(jack_uuid_t uuid);

    Shared shared_;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_[kInSlots] = {};
    jack_port_t* out_[kOutSlots] = {};
    std::atomic<PlatMidiHandle> inHandle_[kInSlots] = {};
    OutSlot outs_[kOutSlots];
    OutQueue closedQueue_{1};         // what Out gives for a slot not open; never written
    std::atomic<uint64_t> cycles_{0}; // periods the process callback finished
    std::atomic<uint32_t> delay_{0};  // frames from a send's stamp to its writing
    SendTiming timing_[kOutSlots];    // the process callback's
    std::atomic<bool> gone_{false};
    bool onPipeWire_ = false;
    // The connection thread.
    std::thread connThread_;
    std::mutex connMutex_;
    std::condition_variable connCv_;
    bool stop_ = false, kicked_ = false; // guarded by connMutex_
    InSlot inSlots_[kInSlots];           // guarded by connMutex_
    // Connections into our inputs to remove, from, to; guarded by connMutex_.
    std::vector<std::pair<std::string, std::string>> feedback_;
    // Pretty names on their way from the probe thread, each fetch tagged with the count of
    // changes seen when it began; each change marks its port's bucket with the count.
    static constexpr size_t kNameBuckets = 256;
    std::atomic<uint64_t> changes_{0};
    std::atomic<uint64_t> changedAt_[kNameBuckets] = {};
    std::mutex namesMutex_;
    std::map<jack_uuid_t, std::string> fetched_; // guarded by namesMutex_
    uint64_t fetchedAt_ = 0;                     // guarded by namesMutex_
    bool fetchedFresh_ = false;                  // guarded by namesMutex_
    // The UI thread.
    std::string inTarget_[kInSlots];
    std::string outTarget_[kOutSlots];
    std::map<std::string, uint64_t> incarnation_;
    std::map<jack_uuid_t, std::string> pretty_;
    uint64_t prettyAt_ = 0;
};

} // namespace zm_midi
