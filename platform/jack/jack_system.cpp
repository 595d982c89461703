// The JACK back end: one client with four input and five output ports, registered once;
// opening a device connects a free port of ours to it. The process callback moves
// received events into the shared queue and waiting sends into the port buffers; it
// never locks, allocates, waits or calls the server. Pretty names come from JACK's
// metadata database, which a crashed client can leave locked: they are read on the
// front's probe thread only. A closed output's messages still go out to the port it was
// connected to; a thread of ours lets that connection go once they are through.
#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>
#include <jack/uuid.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/hand_over.h"
#include "platform/linux_midi/names.h"
#include "platform/linux_midi/short_msg.h"

namespace zm_midi {
namespace {

// libjack reports every failed connection attempt on stderr; we probe at every check.
void Quiet(const char*) {}

// How often the connection thread looks at closed outputs while any are left.
constexpr auto kTendEvery = std::chrono::milliseconds(1);

class JackSystem final : public System {
  private:
    // The sends of one opening of an output, on their way to its destination.
    enum class Step {
        kConnect, // waits for its connection, behind the streams before it
        kSettle,  // connected; written once the connection is in the graph
        kOn,      // written by the process callback
        kFailed,  // its connection could not be made; nothing to write it to
        kRetire,  // no longer written; its connections go once the server passed it on
    };
    struct Stream {
        OutQueue queue;
        std::string dest;
        bool open = true;    // the UI thread still sends into it
        bool failed = false; // its connection could not be made
        Step step = Step::kConnect;
        uint64_t stamp = 0;   // the period count its step waits from
        int64_t deadline = 0; // MonotonicNs
    };
    struct OutSlot {
        // The UI and the connection thread; never the process callback.
        std::mutex mutex;
        // Oldest first; the first is the one on the port, the last the open one, if any.
        std::deque<std::unique_ptr<Stream>> streams;
        OutQueue* current = nullptr; // UI thread: the open stream's queue
        // The queue the process callback writes, and the period it last wrote any.
        std::atomic<OutQueue*> air{nullptr};
        std::atomic<uint64_t> wrote{0};
    };
    struct Retired {
        std::unique_ptr<Stream> stream;
        uint64_t stamp;
    };

  public:
    explicit JackSystem(const Shared& shared) : shared_(shared) {}

    ~JackSystem() override
    {
        if (client_ == nullptr)
            return;
        if (connThread_.joinable()) {
            {
                std::lock_guard lock(connMutex_);
                stop_ = true;
            }
            connCv_.notify_one();
            connThread_.join();
        }
        // A dead server's client only needs its resources back.
        if (Alive())
            jack_deactivate(client_);
        jack_client_close(client_);
        for (OutSlot& out : outs_) {
            for (auto& s : out.streams) {
                if (!s->open)
                    ReportDropped(s->dest, s->queue.Waiting(), "the MIDI system went away");
            }
        }
    }

    bool Open(std::string* why)
    {
        jack_status_t status{};
        client_ = jack_client_open("ZYN_MOUSE", JackNoStartServer, &status);
        if (client_ == nullptr) {
            *why = "no JACK server answers";
            return false;
        }
        char name[16];
        for (int i = 0; i < kInSlots; ++i) {
            std::snprintf(name, sizeof name, "in_%d", i + 1);
            in_[i] = jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        }
        for (int i = 0; i < kOutSlots; ++i) {
            std::snprintf(name, sizeof name, "out_%d", i + 1);
            out_[i] =
                jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        }
        for (jack_port_t* p : in_) {
            if (p == nullptr)
                return Fail(why, "cannot register its ports");
        }
        for (jack_port_t* p : out_) {
            if (p == nullptr)
                return Fail(why, "cannot register its ports");
        }
        jack_set_process_callback(client_, &JackSystem::Process, this);
        jack_on_info_shutdown(client_, &JackSystem::OnShutdown, this);
        jack_set_port_registration_callback(client_, &JackSystem::OnRegistration, this);
        jack_set_property_change_callback(client_, &JackSystem::OnProperty, this);
        if (jack_activate(client_) != 0)
            return Fail(why, "cannot be activated");
        connThread_ = std::thread([this] { ConnectionLoop(); });
        return true;
    }

    const char* Name() const override { return "JACK"; }
    bool Alive() const override { return !gone_.load(std::memory_order_acquire); }

    void List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations) override
    {
        if (!Alive())
            return;
        {
            // The probe thread holds the lock only to hand over; if it is busy, the names
            // we have will do until the next check.
            std::unique_lock lock(namesMutex_, std::try_to_lock);
            if (lock.owns_lock() && fetchedFresh_) {
                pretty_ = std::move(fetched_);
                prettyAt_ = fetchedAt_;
                fetchedFresh_ = false;
            }
        }
        bool unnamed = false;
        ListSide(JackPortIsOutput, sources, &unnamed);
        ListSide(JackPortIsInput, destinations, &unnamed);
        if (unnamed)
            shared_.askNames();
        DropFeedback();
        // A port that came back under its old name has lost our connection to it: it is
        // another port, and the logic must open it again.
        for (int i = 0; i < kInSlots; ++i)
            NoticeReplaced(in_[i], inTarget_[i], *sources);
        for (int i = 0; i < kOutSlots; ++i) {
            // An output opened behind a closed one is connected once that one is through.
            if (!Connecting(i))
                NoticeReplaced(out_[i], outTarget_[i], *destinations);
        }
    }

    bool OpenIn(int slot, const PortRef& port) override
    {
        if (!Connect(port.key.c_str(), jack_port_name(in_[slot])))
            return false;
        inTarget_[slot] = port.key;
        return true;
    }
    void RunIn(int slot, PlatMidiHandle handle) override
    {
        inHandle_[slot].store(handle, std::memory_order_release);
    }
    // All of the port's connections, not the one by name: a peer renamed since would
    // keep feeding the port, and whatever slot opens it next.
    void CloseIn(int slot) override
    {
        if (Alive())
            jack_port_disconnect(client_, in_[slot]);
        inTarget_[slot].clear();
    }
    // Connects at once, unless a closed stream still goes out through the port: then the
    // connection thread connects it after that one, and its sends wait meanwhile.
    bool OpenOut(int slot, const PortRef& port) override
    {
        OutSlot& out = outs_[slot];
        auto s = std::make_unique<Stream>();
        s->dest = port.key;
        std::unique_lock lock(out.mutex);
        if (out.streams.empty()) {
            lock.unlock();
            if (!Connect(jack_port_name(out_[slot]), port.key.c_str()))
                return false;
            lock.lock();
            s->step = Step::kOn;
            out.air.store(&s->queue, std::memory_order_release);
        } else if (!Alive() || jack_port_by_name(client_, port.key.c_str()) == nullptr) {
            return false;
        }
        const bool later = s->step == Step::kConnect;
        out.current = &s->queue;
        out.streams.push_back(std::move(s));
        lock.unlock();
        if (later)
            KickConnections();
        outTarget_[slot] = port.key;
        return true;
    }
    // What still waits, or may still be in this period's buffer, goes out first: the
    // connection thread removes the port's connections after it. An output that is
    // quiet lets them go at once.
    void CloseOut(int slot) override
    {
        OutSlot& out = outs_[slot];
        outTarget_[slot].clear();
        std::unique_lock lock(out.mutex);
        out.current = nullptr;
        if (out.streams.empty())
            return;
        Stream& s = *out.streams.back();
        s.open = false;
        s.deadline = HandOverDeadline(MonotonicNs());
        const uint64_t cycle = cycles_.load(std::memory_order_acquire);
        const bool quiet = out.streams.size() == 1 && s.step == Step::kOn &&
                           s.queue.Waiting() == 0 &&
                           cycle - out.wrote.load(std::memory_order_relaxed) >= 2;
        if (quiet) {
            // This period may still look at the queue: it is freed two periods on.
            out.air.store(nullptr, std::memory_order_release);
            std::unique_ptr<Stream> done = std::move(out.streams.back());
            out.streams.pop_back();
            lock.unlock();
            if (Alive())
                jack_port_disconnect(client_, out_[slot]);
            {
                std::lock_guard conn(connMutex_);
                retired_.push_back({std::move(done), cycle});
            }
        } else {
            lock.unlock();
        }
        KickConnections();
    }
    OutQueue& Out(int slot) override
    {
        OutQueue* q = outs_[slot].current;
        return q != nullptr ? *q : closedQueue_;
    }

    // Probe thread: every port's pretty name (about a millisecond each, and for good if the
    // database was left locked), handed over whole for List to take.
    void FetchNames() override
    {
        if (!Alive())
            return;
        const uint64_t at = changes_.load(std::memory_order_acquire);
        std::map<jack_uuid_t, std::string> fresh;
        const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
        for (const char** n = names; n != nullptr && *n != nullptr; ++n) {
            jack_port_t* port = jack_port_by_name(client_, *n);
            if (port == nullptr || jack_port_is_mine(client_, port))
                continue;
            const jack_uuid_t uuid = jack_port_uuid(port);
            fresh.emplace(uuid, PrettyName(uuid));
        }
        if (names != nullptr)
            jack_free(names);
        std::lock_guard lock(namesMutex_);
        fetched_ = std::move(fresh);
        fetchedAt_ = at;
        fetchedFresh_ = true;
    }

  private:
    bool Fail(std::string* why, const char* what)
    {
        *why = std::string("the JACK client ") + what;
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }

    bool Connect(const char* from, const char* to)
    {
        if (!Alive())
            return false;
        const int rc = jack_connect(client_, from, to);
        return rc == 0 || rc == EEXIST;
    }

    void ListSide(unsigned long flags, std::vector<PortRef>* list, bool* unnamed)
    {
        const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
        if (names == nullptr)
            return;
        for (const char** n = names; *n != nullptr; ++n) {
            jack_port_t* port = jack_port_by_name(client_, *n);
            if (port == nullptr || jack_port_is_mine(client_, port))
                continue;
            list->push_back(Describe(port, *n, unnamed));
        }
        jack_free(names);
    }

    // Pretty name (as last fetched, unless the port changed since), else alias, else the
    // full name.
    PortRef Describe(jack_port_t* port, const char* name, bool* unnamed)
    {
        PortRef ref;
        ref.key = name;
        ref.client = ref.key.substr(0, ref.key.find(':'));
        std::vector<char> a1(static_cast<size_t>(jack_port_name_size())), a2(a1.size());
        char* aliases[2] = {a1.data(), a2.data()};
        const int count = jack_port_get_aliases(port, aliases);
        for (int i = 0; i < count; ++i) {
            if (aliases[i][0] != '\0')
                ref.aliases.emplace_back(aliases[i]);
        }
        const jack_uuid_t uuid = jack_port_uuid(port);
        auto cached = pretty_.find(uuid);
        if (cached != pretty_.end() &&
            changedAt_[Bucket(uuid)].load(std::memory_order_acquire) <= prettyAt_) {
            ref.shown = cached->second;
        } else {
            *unnamed = true;
        }
        if (ref.shown.empty())
            ref.shown = ref.aliases.empty() ? ref.key : ref.aliases[0];
        auto it = incarnation_.find(ref.key);
        if (it != incarnation_.end())
            ref.incarnation = it->second;
        return ref;
    }

    // A connection into our inputs from our own outputs or from the system's loopback
    // feeds the thru back to itself, whoever made it. Other connections stay.
    void DropFeedback()
    {
        bool unnamed = false;
        for (jack_port_t* in : in_) {
            const char** from = jack_port_get_connections(in);
            for (const char** f = from; f != nullptr && *f != nullptr; ++f) {
                jack_port_t* source = jack_port_by_name(client_, *f);
                if (source == nullptr)
                    continue;
                if (jack_port_is_mine(client_, source) ||
                    IsLoopback(Describe(source, *f, &unnamed)))
                    jack_disconnect(client_, *f, jack_port_name(in));
            }
            if (from != nullptr)
                jack_free(from);
        }
    }

    static std::string PrettyName(jack_uuid_t uuid)
    {
        std::string shown;
        char* value = nullptr;
        char* type = nullptr;
        if (jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0 &&
            value != nullptr) {
            shown = value;
        }
        if (value != nullptr)
            jack_free(value);
        if (type != nullptr)
            jack_free(type);
        return shown;
    }

    void NoticeReplaced(jack_port_t* ours, const std::string& target, std::vector<PortRef>& listed)
    {
        if (target.empty() || jack_port_connected_to(ours, target.c_str()))
            return;
        for (PortRef& ref : listed) {
            if (ref.key == target)
                ref.incarnation = ++incarnation_[target];
        }
    }

    static int Process(jack_nframes_t frames, void* arg)
    {
        auto* self = static_cast<JackSystem*>(arg);
        self->Receive(frames);
        self->Transmit(frames);
        return 0;
    }

    // The inputs of one period merged by frame time, so that what was played in between
    // on two keyboards keeps its order; on equal times the lower slot goes first.
    void Receive(jack_nframes_t frames)
    {
        struct Cursor {
            void* buffer;
            uint32_t next, count;
            PlatMidiHandle handle;
            jack_midi_event_t event;
        };
        // The next event of the input, or none left.
        auto load = [](Cursor& c) {
            while (c.next < c.count) {
                if (jack_midi_event_get(&c.event, c.buffer, c.next++) == 0)
                    return;
            }
            c.handle = 0;
        };
        Cursor inputs[kInSlots];
        for (int i = 0; i < kInSlots; ++i) {
            Cursor& c = inputs[i];
            c.buffer = jack_port_get_buffer(in_[i], frames);
            c.next = 0;
            c.count = jack_midi_get_event_count(c.buffer);
            c.handle = inHandle_[i].load(std::memory_order_acquire);
            if (c.handle != 0)
                load(c);
        }
        bool pushed = false;
        for (;;) {
            Cursor* first = nullptr;
            for (Cursor& c : inputs) {
                if (c.handle != 0 && (first == nullptr || c.event.time < first->event.time))
                    first = &c;
            }
            if (first == nullptr)
                break;
            SplitShortMessages(first->event.buffer, first->event.size, [&](uint32_t word) {
                shared_.in->Push(first->handle, word);
                pushed = true;
            });
            load(*first);
        }
        if (pushed)
            shared_.in->Pushed();
    }

    // As much as each port buffer takes; the rest stays first in its ring for the next period.
    // The period's count goes up at the end: a queue the connection thread took away from
    // us is out of our hands two counts later.
    void Transmit(jack_nframes_t frames)
    {
        const uint64_t cycle = cycles_.load(std::memory_order_relaxed);
        bool refill = false;
        for (int i = 0; i < kOutSlots; ++i) {
            void* buffer = jack_port_get_buffer(out_[i], frames);
            jack_midi_clear_buffer(buffer);
            OutQueue* queue = outs_[i].air.load(std::memory_order_acquire);
            if (queue == nullptr)
                continue;
            uint32_t word;
            bool moved = false;
            while (queue->Peek(&word)) {
                const int n = ShortMsgLength(static_cast<uint8_t>(word));
                jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, static_cast<size_t>(n));
                if (data == nullptr)
                    break;
                for (int b = 0; b < n; ++b)
                    data[b] = static_cast<jack_midi_data_t>(word >> (8 * b));
                // Before the Pop: whoever sees the queue emptied sees this period too.
                if (!moved)
                    outs_[i].wrote.store(cycle, std::memory_order_relaxed);
                queue->Pop();
                moved = true;
            }
            refill |= moved && queue->WantsRefill();
        }
        cycles_.store(cycle + 1, std::memory_order_release);
        if (refill)
            shared_.askDrain();
    }

    // ---- the connection thread: the streams of closed outputs, in order per port. Each
    // goes out while the port is still connected to its destination; two periods after its
    // last message left (or a second after its close) the port's connections are removed
    // and the next stream's made. Server calls are made outside the slot's lock.
    void ConnectionLoop()
    {
        std::unique_lock lock(connMutex_);
        while (!stop_) {
            kicked_ = false;
            lock.unlock();
            const bool busy = Tend();
            lock.lock();
            if (busy) {
                connCv_.wait_for(lock, kTendEvery, [this] { return stop_; });
            } else {
                connCv_.wait(lock, [this] { return stop_ || kicked_; });
            }
        }
    }

    void KickConnections()
    {
        {
            std::lock_guard lock(connMutex_);
            kicked_ = true;
        }
        connCv_.notify_one();
    }

    // True while anything is left to do.
    bool Tend()
    {
        bool busy = false;
        for (int i = 0; i < kOutSlots; ++i)
            busy |= TendSlot(i);
        const uint64_t cycle = cycles_.load(std::memory_order_acquire);
        std::lock_guard lock(connMutex_);
        std::erase_if(retired_, [&](const Retired& r) { return cycle - r.stamp >= 2 || !Alive(); });
        return busy || !retired_.empty();
    }

    bool TendSlot(int slot)
    {
        OutSlot& out = outs_[slot];
        std::unique_lock lock(out.mutex);
        while (!out.streams.empty()) {
            Stream& s = *out.streams.front();
            const uint64_t cycle = cycles_.load(std::memory_order_acquire);
            switch (s.step) {
            case Step::kConnect: {
                const std::string dest = s.dest;
                lock.unlock();
                const bool ok = Connect(jack_port_name(out_[slot]), dest.c_str());
                lock.lock();
                s.stamp = cycles_.load(std::memory_order_acquire);
                s.step = ok ? Step::kSettle : Step::kFailed;
                s.failed = !ok;
                continue;
            }
            case Step::kSettle:
                // A connection is in the graph from the next period on.
                if (cycle - s.stamp < 2 && Alive())
                    return true;
                out.air.store(&s.queue, std::memory_order_release);
                s.step = Step::kOn;
                continue;
            case Step::kOn:
                if (s.open)
                    return false;
                // Closed: the UI thread no longer touches its queue, its backlog is ours.
                s.queue.Refill();
                if (s.queue.Waiting() > 0 && MonotonicNs() < s.deadline && Alive())
                    return true;
                out.air.store(nullptr, std::memory_order_release);
                s.stamp = cycle;
                s.step = Step::kRetire;
                continue;
            case Step::kFailed:
                if (s.open)
                    return false;
                s.step = Step::kRetire;
                continue;
            case Step::kRetire: {
                // Two periods on, the server has passed on the last of it and we write it no more.
                if (cycle - s.stamp < 2 && Alive())
                    return true;
                // Still first while its connections go: an open meanwhile waits behind it.
                lock.unlock();
                if (Alive())
                    jack_port_disconnect(client_, out_[slot]);
                ReportDropped(s.dest, s.queue.Waiting(),
                              s.failed ? "the port could not be connected" : kHandOverTooSlow);
                lock.lock();
                out.streams.pop_front();
                continue;
            }
            }
        }
        return false;
    }

    // UI thread: the slot's open output still waits for its connection.
    bool Connecting(int slot)
    {
        OutSlot& out = outs_[slot];
        std::lock_guard lock(out.mutex);
        if (out.streams.empty())
            return false;
        const Stream& s = *out.streams.back();
        return s.open && (s.step == Step::kConnect || s.step == Step::kSettle);
    }

    // Server threads: only flags and wakes. The UI thread notices a shutdown at its next
    // device check; the probe thread reads the names of new ports before that check.
    static void OnShutdown(jack_status_t, const char*, void* arg)
    {
        static_cast<JackSystem*>(arg)->gone_.store(true, std::memory_order_release);
    }
    static void OnRegistration(jack_port_id_t id, int, void* arg)
    {
        static_cast<JackSystem*>(arg)->Changed(jack_port_uuid_generate(id));
    }
    static void OnProperty(jack_uuid_t subject, const char*, jack_property_change_t, void* arg)
    {
        static_cast<JackSystem*>(arg)->Changed(subject);
    }
    // A port registered again gets its old uuid back, without the old pretty name: what
    // was fetched for that uuid before the change must not be shown.
    void Changed(jack_uuid_t uuid)
    {
        const uint64_t at = changes_.fetch_add(1, std::memory_order_acq_rel) + 1;
        changedAt_[Bucket(uuid)].store(at, std::memory_order_release);
        shared_.askNames();
    }
    static size_t Bucket(jack_uuid_t uuid)
    {
        return static_cast<size_t>(uuid ^ uuid >> 32) % kNameBuckets;
    }

    Shared shared_;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_[kInSlots] = {};
    jack_port_t* out_[kOutSlots] = {};
    std::atomic<PlatMidiHandle> inHandle_[kInSlots] = {};
    OutSlot outs_[kOutSlots];
    OutQueue closedQueue_{1};         // what Out gives for a slot not open; never written
    std::atomic<uint64_t> cycles_{0}; // periods the process callback finished
    std::atomic<bool> gone_{false};
    std::thread connThread_;
    std::mutex connMutex_;
    std::condition_variable connCv_;
    bool stop_ = false, kicked_ = false; // guarded by connMutex_
    std::vector<Retired> retired_;       // guarded by connMutex_
    // Pretty names on their way from the probe thread, stamped with the count of changes
    // seen when their fetch began; each change stamps its port's bucket.
    static constexpr size_t kNameBuckets = 256;
    std::atomic<uint64_t> changes_{0};
    std::atomic<uint64_t> changedAt_[kNameBuckets] = {};
    std::mutex namesMutex_;
    std::map<jack_uuid_t, std::string> fetched_; // guarded by namesMutex_
    uint64_t fetchedAt_ = 0;                     // guarded by namesMutex_
    bool fetchedFresh_ = false;                  // guarded by namesMutex_
    // UI thread.
    std::string inTarget_[kInSlots];
    std::string outTarget_[kOutSlots];
    std::map<std::string, uint64_t> incarnation_;
    std::map<jack_uuid_t, std::string> pretty_;
    uint64_t prettyAt_ = 0;
};

} // namespace

std::unique_ptr<System> OpenJackSystem(const Shared& shared, std::string* why)
{
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    // Writing to a dead server's socket must fail, not end the program.
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
        signal(SIGPIPE, SIG_IGN);
    auto system = std::make_unique<JackSystem>(shared);
    if (!system->Open(why))
        return nullptr;
    // The first lists already show the pretty names.
    system->FetchNames();
    return system;
}

} // namespace zm_midi
