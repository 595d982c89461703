// The JACK back end: one client with four input and five output ports, registered once;
// opening a device connects a free port of ours to it. The process callback moves
// received events into the shared queue and waiting sends into the port buffers; it
// never locks, allocates, waits or calls the server. Pretty names come from JACK's
// metadata database, which a crashed client can leave locked: they are read on the
// front's probe thread only.
#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>
#include <jack/uuid.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/names.h"
#include "platform/linux_midi/short_msg.h"

namespace zm_midi {
namespace {

// libjack reports every failed connection attempt on stderr; we probe at every check.
void Quiet(const char*) {}

class JackSystem final : public System {
public:
    explicit JackSystem(const Shared& shared) : shared_(shared) {}

    ~JackSystem() override {
        if (client_ == nullptr) return;
        // A dead server's client only needs its resources back.
        if (Alive()) jack_deactivate(client_);
        jack_client_close(client_);
    }

    bool Open(std::string* why) {
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
            out_[i] = jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        }
        for (jack_port_t* p : in_) {
            if (p == nullptr) return Fail(why, "cannot register its ports");
        }
        for (jack_port_t* p : out_) {
            if (p == nullptr) return Fail(why, "cannot register its ports");
        }
        jack_set_process_callback(client_, &JackSystem::Process, this);
        jack_on_info_shutdown(client_, &JackSystem::OnShutdown, this);
        jack_set_port_registration_callback(client_, &JackSystem::OnRegistration, this);
        jack_set_property_change_callback(client_, &JackSystem::OnProperty, this);
        if (jack_activate(client_) != 0) return Fail(why, "cannot be activated");
        return true;
    }

    const char* Name() const override { return "JACK"; }
    bool Alive() const override { return !gone_.load(std::memory_order_acquire); }

    void List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations) override {
        if (!Alive()) return;
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
        if (unnamed) shared_.askNames();
        DropFeedback();
        // A port that came back under its old name has lost our connection to it: it is
        // another port, and the logic must open it again.
        for (int i = 0; i < kInSlots; ++i) NoticeReplaced(in_[i], inTarget_[i], *sources);
        for (int i = 0; i < kOutSlots; ++i) NoticeReplaced(out_[i], outTarget_[i], *destinations);
    }

    bool OpenIn(int slot, const PortRef& port) override {
        if (!Connect(port.key.c_str(), jack_port_name(in_[slot]))) return false;
        inTarget_[slot] = port.key;
        return true;
    }
    void RunIn(int slot, PlatMidiHandle handle) override {
        inHandle_[slot].store(handle, std::memory_order_release);
    }
    // All of the port's connections, not the one by name: a peer renamed since would
    // keep feeding the port, and whatever slot opens it next.
    void CloseIn(int slot) override {
        if (Alive()) jack_port_disconnect(client_, in_[slot]);
        inTarget_[slot].clear();
    }
    bool OpenOut(int slot, const PortRef& port) override {
        if (!Connect(jack_port_name(out_[slot]), port.key.c_str())) return false;
        outTarget_[slot] = port.key;
        return true;
    }
    void CloseOut(int slot) override {
        if (Alive()) jack_port_disconnect(client_, out_[slot]);
        outTarget_[slot].clear();
        outQueue_[slot].Reset();
    }
    OutQueue& Out(int slot) override { return outQueue_[slot]; }

    // Probe thread: every port's pretty name (about a millisecond each, and for good if the
    // database was left locked), handed over whole for List to take.
    void FetchNames() override {
        if (!Alive()) return;
        const uint64_t at = changes_.load(std::memory_order_acquire);
        std::map<jack_uuid_t, std::string> fresh;
        const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
        for (const char** n = names; n != nullptr && *n != nullptr; ++n) {
            jack_port_t* port = jack_port_by_name(client_, *n);
            if (port == nullptr || jack_port_is_mine(client_, port)) continue;
            const jack_uuid_t uuid = jack_port_uuid(port);
            fresh.emplace(uuid, PrettyName(uuid));
        }
        if (names != nullptr) jack_free(names);
        std::lock_guard lock(namesMutex_);
        fetched_ = std::move(fresh);
        fetchedAt_ = at;
        fetchedFresh_ = true;
    }

private:
    bool Fail(std::string* why, const char* what) {
        *why = std::string("the JACK client ") + what;
        jack_client_close(client_);
        client_ = nullptr;
        return false;
    }

    bool Connect(const char* from, const char* to) {
        if (!Alive()) return false;
        const int rc = jack_connect(client_, from, to);
        return rc == 0 || rc == EEXIST;
    }

    void ListSide(unsigned long flags, std::vector<PortRef>* list, bool* unnamed) {
        const char** names = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
        if (names == nullptr) return;
        for (const char** n = names; *n != nullptr; ++n) {
            jack_port_t* port = jack_port_by_name(client_, *n);
            if (port == nullptr || jack_port_is_mine(client_, port)) continue;
            list->push_back(Describe(port, *n, unnamed));
        }
        jack_free(names);
    }

    // Pretty name (as last fetched, unless the port changed since), else alias, else the
    // full name.
    PortRef Describe(jack_port_t* port, const char* name, bool* unnamed) {
        PortRef ref;
        ref.key = name;
        ref.client = ref.key.substr(0, ref.key.find(':'));
        std::vector<char> a1(static_cast<size_t>(jack_port_name_size())), a2(a1.size());
        char* aliases[2] = {a1.data(), a2.data()};
        const int count = jack_port_get_aliases(port, aliases);
        for (int i = 0; i < count; ++i) {
            if (aliases[i][0] != '\0') ref.aliases.emplace_back(aliases[i]);
        }
        const jack_uuid_t uuid = jack_port_uuid(port);
        auto cached = pretty_.find(uuid);
        if (cached != pretty_.end() && changedAt_[Bucket(uuid)].load(std::memory_order_acquire) <= prettyAt_) {
            ref.shown = cached->second;
        } else {
            *unnamed = true;
        }
        if (ref.shown.empty()) ref.shown = ref.aliases.empty() ? ref.key : ref.aliases[0];
        auto it = incarnation_.find(ref.key);
        if (it != incarnation_.end()) ref.incarnation = it->second;
        return ref;
    }

    // A connection into our inputs from our own outputs or from the system's loopback
    // feeds the thru back to itself, whoever made it. Other connections stay.
    void DropFeedback() {
        bool unnamed = false;
        for (jack_port_t* in : in_) {
            const char** from = jack_port_get_connections(in);
            for (const char** f = from; f != nullptr && *f != nullptr; ++f) {
                jack_port_t* source = jack_port_by_name(client_, *f);
                if (source == nullptr) continue;
                if (jack_port_is_mine(client_, source) || IsLoopback(Describe(source, *f, &unnamed)))
                    jack_disconnect(client_, *f, jack_port_name(in));
            }
            if (from != nullptr) jack_free(from);
        }
    }

    static std::string PrettyName(jack_uuid_t uuid) {
        std::string shown;
        char* value = nullptr;
        char* type = nullptr;
        if (jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &value, &type) == 0 &&
            value != nullptr) {
            shown = value;
        }
        if (value != nullptr) jack_free(value);
        if (type != nullptr) jack_free(type);
        return shown;
    }

    void NoticeReplaced(jack_port_t* ours, const std::string& target, std::vector<PortRef>& listed) {
        if (target.empty() || jack_port_connected_to(ours, target.c_str())) return;
        for (PortRef& ref : listed) {
            if (ref.key == target) ref.incarnation = ++incarnation_[target];
        }
    }

    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackSystem*>(arg);
        self->Receive(frames);
        self->Transmit(frames);
        return 0;
    }

    // The inputs of one period merged by frame time, so that what was played in between
    // on two keyboards keeps its order; on equal times the lower slot goes first.
    void Receive(jack_nframes_t frames) {
        struct Cursor {
            void* buffer;
            uint32_t next, count;
            PlatMidiHandle handle;
            jack_midi_event_t event;
        };
        // The next event of the input, or none left.
        auto load = [](Cursor& c) {
            while (c.next < c.count) {
                if (jack_midi_event_get(&c.event, c.buffer, c.next++) == 0) return;
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
            if (c.handle != 0) load(c);
        }
        bool pushed = false;
        for (;;) {
            Cursor* first = nullptr;
            for (Cursor& c : inputs) {
                if (c.handle != 0 && (first == nullptr || c.event.time < first->event.time)) first = &c;
            }
            if (first == nullptr) break;
            SplitShortMessages(first->event.buffer, first->event.size, [&](uint32_t word) {
                shared_.in->Push(first->handle, word);
                pushed = true;
            });
            load(*first);
        }
        if (pushed) shared_.in->Pushed();
    }

    // As much as each port buffer takes; the rest stays first in its ring for the next period.
    void Transmit(jack_nframes_t frames) {
        bool refill = false;
        for (int i = 0; i < kOutSlots; ++i) {
            void* buffer = jack_port_get_buffer(out_[i], frames);
            jack_midi_clear_buffer(buffer);
            OutQueue& queue = outQueue_[i];
            uint32_t word;
            bool moved = false;
            while (queue.Peek(&word)) {
                const int n = ShortMsgLength(static_cast<uint8_t>(word));
                jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, static_cast<size_t>(n));
                if (data == nullptr) break;
                for (int b = 0; b < n; ++b) data[b] = static_cast<jack_midi_data_t>(word >> (8 * b));
                queue.Pop();
                moved = true;
            }
            refill |= moved && queue.WantsRefill();
        }
        if (refill) shared_.askDrain();
    }

    // Server threads: only flags and wakes. The UI thread notices a shutdown at its next
    // device check; the probe thread reads the names of new ports before that check.
    static void OnShutdown(jack_status_t, const char*, void* arg) {
        static_cast<JackSystem*>(arg)->gone_.store(true, std::memory_order_release);
    }
    static void OnRegistration(jack_port_id_t id, int, void* arg) {
        static_cast<JackSystem*>(arg)->Changed(jack_port_uuid_generate(id));
    }
    static void OnProperty(jack_uuid_t subject, const char*, jack_property_change_t, void* arg) {
        static_cast<JackSystem*>(arg)->Changed(subject);
    }
    // A port registered again gets its old uuid back, without the old pretty name: what
    // was fetched for that uuid before the change must not be shown.
    void Changed(jack_uuid_t uuid) {
        const uint64_t at = changes_.fetch_add(1, std::memory_order_acq_rel) + 1;
        changedAt_[Bucket(uuid)].store(at, std::memory_order_release);
        shared_.askNames();
    }
    static size_t Bucket(jack_uuid_t uuid) { return static_cast<size_t>(uuid ^ uuid >> 32) % kNameBuckets; }

    Shared shared_;
    jack_client_t* client_ = nullptr;
    jack_port_t* in_[kInSlots] = {};
    jack_port_t* out_[kOutSlots] = {};
    std::atomic<PlatMidiHandle> inHandle_[kInSlots] = {};
    OutQueue outQueue_[kOutSlots];
    std::atomic<bool> gone_{false};
    // Pretty names on their way from the probe thread, stamped with the count of changes
    // seen when their fetch began; each change stamps its port's bucket.
    static constexpr size_t kNameBuckets = 256;
    std::atomic<uint64_t> changes_{0};
    std::atomic<uint64_t> changedAt_[kNameBuckets] = {};
    std::mutex namesMutex_;
    std::map<jack_uuid_t, std::string> fetched_;  // guarded by namesMutex_
    uint64_t fetchedAt_ = 0;                      // guarded by namesMutex_
    bool fetchedFresh_ = false;                   // guarded by namesMutex_
    // UI thread.
    std::string inTarget_[kInSlots];
    std::string outTarget_[kOutSlots];
    std::map<std::string, uint64_t> incarnation_;
    std::map<jack_uuid_t, std::string> pretty_;
    uint64_t prettyAt_ = 0;
};

}  // namespace

std::unique_ptr<System> OpenJackSystem(const Shared& shared, std::string* why) {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    // Writing to a dead server's socket must fail, not end the program.
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
    auto system = std::make_unique<JackSystem>(shared);
    if (!system->Open(why)) return nullptr;
    // The first lists already show the pretty names.
    system->FetchNames();
    return system;
}

}  // namespace zm_midi
