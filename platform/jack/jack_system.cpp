// The JACK client's set-up and end, and its UI-thread side: lists and the loopback rule on
// connections, opening and closing inputs and outputs.
#include "platform/jack/jack_system.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/hand_over.h"
#include "platform/linux_midi/names.h"

namespace zm_midi {
namespace {

// libjack reports every failed connection attempt on stderr; we probe at every check.
void DiscardLibjackLine(const char*) {}

} // namespace

JackSystem::~JackSystem()
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
        for (auto& stream : out.streams) {
            if (!stream->open)
                ReportDropped(stream->dest, stream->queue.Waiting(), "the MIDI system went away");
        }
    }
}

bool JackSystem::Open(std::string* why)
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
        out_[i] = jack_port_register(client_, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
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
    jack_set_buffer_size_callback(client_, &JackSystem::OnPeriod, this);
    // PipeWire's JACK calls a latency callback without holding its own lock, so what is
    // set there races our other threads' calls into it (and aborts); from the UI thread its
    // calls are queued onto its own loop.
    onPipeWire_ = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
    if (!onPipeWire_)
        jack_set_latency_callback(client_, &JackSystem::OnLatency, this);
    delay_.store(DelayFor(jack_get_buffer_size(client_), jack_get_sample_rate(client_)));
    jack_on_info_shutdown(client_, &JackSystem::OnShutdown, this);
    jack_set_port_registration_callback(client_, &JackSystem::OnRegistration, this);
    jack_set_property_change_callback(client_, &JackSystem::OnProperty, this);
    if (jack_activate(client_) != 0)
        return Fail(why, "cannot be activated");
    connThread_ = std::thread([this] { ConnectionLoop(); });
    return true;
}

bool JackSystem::Fail(std::string* why, const char* what)
{
    *why = std::string("the JACK client ") + what;
    jack_client_close(client_);
    client_ = nullptr;
    return false;
}

// The UI thread notices a shutdown at its next device check.
void JackSystem::OnShutdown(jack_status_t, const char*, void* arg)
{
    static_cast<JackSystem*>(arg)->gone_.store(true, std::memory_order_release);
}

void JackSystem::List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations)
{
    if (!Alive())
        return;
    TakeFetchedNames();
    bool unnamed = false;
    ListSide(JackPortIsOutput, sources, &unnamed);
    ListSide(JackPortIsInput, destinations, &unnamed);
    if (unnamed)
        shared_.askNames();
    DropFeedback();
    if (onPipeWire_) {
        ReportLatency(JackCaptureLatency);
        ReportLatency(JackPlaybackLatency);
    }
    for (int i = 0; i < kInSlots; ++i)
        NoticeReplaced(in_[i], inTarget_[i], InBusy(i), *sources);
    for (int i = 0; i < kOutSlots; ++i)
        NoticeReplaced(out_[i], outTarget_[i], Connecting(i), *destinations);
}

// The probe thread holds the lock only to hand over; if it is busy, the names we have
// will do until the next check.
void JackSystem::TakeFetchedNames()
{
    std::unique_lock lock(namesMutex_, std::try_to_lock);
    if (lock.owns_lock() && fetchedFresh_) {
        pretty_ = std::move(fetched_);
        prettyAt_ = fetchedAt_;
        fetchedFresh_ = false;
    }
}

void JackSystem::ListSide(unsigned long flags, std::vector<PortRef>* list, bool* unnamed)
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
PortRef JackSystem::Describe(jack_port_t* port, const char* name, bool* unnamed)
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
        changedAt_[NameBucketOf(uuid)].load(std::memory_order_acquire) <= prettyAt_) {
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
void JackSystem::DropFeedback()
{
    bool unnamed = false, found = false;
    for (jack_port_t* in : in_) {
        const char** from = jack_port_get_connections(in);
        for (const char** f = from; f != nullptr && *f != nullptr; ++f) {
            jack_port_t* source = jack_port_by_name(client_, *f);
            if (source == nullptr)
                continue;
            if (jack_port_is_mine(client_, source) || IsLoopback(Describe(source, *f, &unnamed))) {
                std::lock_guard lock(connMutex_);
                feedback_.emplace_back(*f, jack_port_name(in));
                found = true;
            }
        }
        if (from != nullptr)
            jack_free(from);
    }
    if (found)
        KickConnections();
}

// The slot's connections are still being changed: what the graph shows is not yet ours.
bool JackSystem::InBusy(int slot)
{
    std::lock_guard lock(connMutex_);
    InSlot& in = inSlots_[slot];
    const uint64_t cycle = cycles_.load(std::memory_order_acquire);
    // A server that ran late keeps the graph it had: the connection is in use only once our
    // view of the graph shows it, and from the period after.
    if (!in.joined.empty() && Alive() && MonotonicNs() < in.joinBy) {
        if (!jack_port_connected_to(in_[slot], in.joined.c_str())) {
            in.connectedAt = cycle;
            return true;
        }
    }
    in.joined.clear();
    const bool joining = cycle - in.connectedAt < 2 && Alive();
    return in.disconnect || in.settling || in.connecting || !in.connect.empty() || joining;
}

// A port that came back under its old name has lost our connection to it: it is another
// port, and the logic must open it again. While ours is still being made (busy), the next
// check tells.
void JackSystem::NoticeReplaced(jack_port_t* ours, const std::string& target, bool busy,
                                std::vector<PortRef>& listed)
{
    if (target.empty() || busy || jack_port_connected_to(ours, target.c_str()))
        return;
    for (PortRef& ref : listed) {
        if (ref.key == target)
            ref.incarnation = ++incarnation_[target];
    }
}

// The connection thread's: each is a round trip to the server.
bool JackSystem::Connect(const char* from, const char* to)
{
    if (!Alive())
        return false;
    const int rc = jack_connect(client_, from, to);
    return rc == 0 || rc == EEXIST;
}

// The connection thread connects it, once the slot's old connections are gone.
bool JackSystem::OpenIn(int slot, const PortRef& port)
{
    if (!Alive() || jack_port_by_name(client_, port.key.c_str()) == nullptr)
        return false;
    {
        std::lock_guard lock(connMutex_);
        inSlots_[slot].connect = port.key;
    }
    KickConnections();
    inTarget_[slot] = port.key;
    return true;
}

// Stops at once; runs at once too unless the slot's old connections may still deliver,
// then the connection thread runs it after them.
void JackSystem::RunIn(int slot, PlatMidiHandle handle)
{
    std::lock_guard lock(connMutex_);
    InSlot& in = inSlots_[slot];
    in.wanted = handle;
    if (handle == 0 || !(in.disconnect || in.settling))
        inHandle_[slot].store(handle, std::memory_order_release);
}

// All of the port's connections, not the one by name: a peer renamed since would keep
// feeding the port, and whatever slot opens it next.
void JackSystem::CloseIn(int slot)
{
    {
        std::lock_guard lock(connMutex_);
        InSlot& in = inSlots_[slot];
        in.connect.clear();
        in.disconnect = true;
    }
    KickConnections();
    inTarget_[slot].clear();
}

// The connection thread connects it, after any closed stream still going out through the
// port; the sends wait until the connection is in the graph (from the next period on):
// written before, they would be lost.
bool JackSystem::OpenOut(int slot, const PortRef& port)
{
    if (!Alive() || jack_port_by_name(client_, port.key.c_str()) == nullptr)
        return false;
    OutSlot& out = outs_[slot];
    auto stream = std::make_unique<Stream>();
    stream->dest = port.key;
    {
        std::lock_guard lock(out.mutex);
        out.current = &stream->queue;
        out.streams.push_back(std::move(stream));
    }
    KickConnections();
    outTarget_[slot] = port.key;
    return true;
}

// What still waits, or may still be in this period's buffer, goes out first: the
// connection thread removes the port's connections after it.
void JackSystem::CloseOut(int slot)
{
    OutSlot& out = outs_[slot];
    outTarget_[slot].clear();
    {
        std::lock_guard lock(out.mutex);
        out.current = nullptr;
        if (out.streams.empty())
            return;
        Stream& last = *out.streams.back();
        last.open = false;
        last.deadline = HandOverDeadline(MonotonicNs());
    }
    KickConnections();
}

OutQueue& JackSystem::Out(int slot)
{
    OutQueue* queue = outs_[slot].current;
    return queue != nullptr ? *queue : closedQueue_;
}

bool JackSystem::Connected()
{
    for (int i = 0; i < kInSlots; ++i) {
        if (InBusy(i))
            return false;
    }
    for (int i = 0; i < kOutSlots; ++i) {
        if (Connecting(i))
            return false;
    }
    return true;
}

// The slot's open output still waits for its connection.
bool JackSystem::Connecting(int slot)
{
    OutSlot& out = outs_[slot];
    std::lock_guard lock(out.mutex);
    if (out.streams.empty())
        return false;
    const Stream& last = *out.streams.back();
    return last.open && (last.step == Step::kConnect || last.step == Step::kSettle);
}

// Probe thread.
std::unique_ptr<System> OpenJackSystem(const Shared& shared, std::string* why)
{
    jack_set_error_function(DiscardLibjackLine);
    jack_set_info_function(DiscardLibjackLine);
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
