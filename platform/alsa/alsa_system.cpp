// The ALSA sequencer as a MIDI system: one client with one private input port, to which
// up to four sources are subscribed, and one private output port from which events go
// straight to their destinations. The service thread reads and writes; the UI thread
// only queries the sequencer and (un)subscribes.
//
// Longer than most files here because every part works on the one client and its port
// list under the same locking; decoding (decode.cpp) and pacing (pacer.h) live beside it.
#include <alsa/asoundlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/alsa/decode.h"
#include "platform/alsa/pacer.h"
#include "platform/linux_midi/backends.h"
#include "platform/linux_midi/hand_over.h"
#include "platform/linux_midi/names.h"
#include "platform/linux_midi/short_msg.h"

namespace zm_midi {
namespace {

using zm_alsa::WirePacer;

constexpr int kNoAddr = -1;
// The most events read in one pass, so that a flood in leaves room for the writes out.
constexpr int kReadBatch = 1024;
constexpr int kWriteBatch = 1024;
// How soon a send refused for a full receiver is tried again.
constexpr int kRetryMs = 1;
// How long the service thread sleeps when the UI thread wants an output's lock: coming
// back at once would keep the UI thread from the CPU on a one-CPU machine.
constexpr int kYieldMs = 1;
// The longest wait between two looks at a full receiver's room.
constexpr int kMaxRoomWaitMs = 16;
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kSecond = 1'000'000'000;
// The largest event the sequencer carries (its data stays under 64 KiB): an input buffer
// this big takes any event, and with room to spare our whole kernel FIFO at once.
constexpr size_t kInputBufferBytes = sizeof(snd_seq_event_t) + 0x10000;

// The kernel's answer about any client's pools (SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, the
// layout of struct snd_seq_client_pool); alsa-lib asks it only about our own client.
struct ClientPool {
    int client;
    int outputPool;
    int inputPool;
    int outputRoom;
    int outputFree;
    int inputFree;
    char reserved[64];
};
const unsigned long kGetClientPool = _IOWR('S', 0x4b, ClientPool);

int MsUntil(int64_t when, int64_t now)
{
    return static_cast<int>((when - now + kMs - 1) / kMs);
}

int Addr(int client, int port)
{
    return client << 8 | port;
}
int ClientOf(int addr)
{
    return addr >> 8;
}
int PortOf(int addr)
{
    return addr & 0xFF;
}

// "client:port" as List writes it; kNoAddr for anything else.
int ParseKey(const std::string& key)
{
    int client = -1, port = -1;
    char tail = 0;
    if (std::sscanf(key.c_str(), "%d:%d%c", &client, &port, &tail) != 2)
        return kNoAddr;
    if (client < 0 || client > 255 || port < 0 || port > 255)
        return kNoAddr;
    return Addr(client, port);
}

// A short message as a sequencer event. The one-byte messages MIDI leaves undefined have no
// event type; they travel as their raw byte, which byte-stream ports pass on as it is.
bool Encode(uint32_t word, snd_seq_event_t* ev, uint8_t raw[1])
{
    uint8_t b[3] = {};
    if (UnpackShort(word, b) == 0)
        return false;
    const int ch = b[0] & 0x0F;
    switch (b[0] & 0xF0) {
    case 0x80:
        snd_seq_ev_set_noteoff(ev, ch, b[1], b[2]);
        return true;
    case 0x90:
        snd_seq_ev_set_noteon(ev, ch, b[1], b[2]);
        return true;
    case 0xA0:
        snd_seq_ev_set_keypress(ev, ch, b[1], b[2]);
        return true;
    case 0xB0:
        snd_seq_ev_set_controller(ev, ch, b[1], b[2]);
        return true;
    case 0xC0:
        snd_seq_ev_set_pgmchange(ev, ch, b[1]);
        return true;
    case 0xD0:
        snd_seq_ev_set_chanpress(ev, ch, b[1]);
        return true;
    case 0xE0:
        snd_seq_ev_set_pitchbend(ev, ch, (b[2] << 7 | b[1]) - 8192);
        return true;
    default:
        break;
    }
    auto fixed = [ev](snd_seq_event_type_t type, int value) {
        ev->type = type;
        snd_seq_ev_set_fixed(ev);
        ev->data.control.value = value;
        return true;
    };
    switch (b[0]) {
    case 0xF1:
        return fixed(SND_SEQ_EVENT_QFRAME, b[1]);
    case 0xF2:
        return fixed(SND_SEQ_EVENT_SONGPOS, b[2] << 7 | b[1]);
    case 0xF3:
        return fixed(SND_SEQ_EVENT_SONGSEL, b[1]);
    case 0xF6:
        return fixed(SND_SEQ_EVENT_TUNE_REQUEST, 0);
    case 0xF8:
        return fixed(SND_SEQ_EVENT_CLOCK, 0);
    case 0xFA:
        return fixed(SND_SEQ_EVENT_START, 0);
    case 0xFB:
        return fixed(SND_SEQ_EVENT_CONTINUE, 0);
    case 0xFC:
        return fixed(SND_SEQ_EVENT_STOP, 0);
    case 0xFE:
        return fixed(SND_SEQ_EVENT_SENSING, 0);
    case 0xFF:
        return fixed(SND_SEQ_EVENT_RESET, 0);
    default:
        raw[0] = b[0];
        snd_seq_ev_set_sysex(ev, 1, raw);
        return true;
    }
}

class AlsaSystem final : public System {
  public:
    AlsaSystem(snd_seq_t* seq, int inPort, int outPort, const Shared& shared)
        : seq_(seq), self_(snd_seq_client_id(seq)), inPort_(inPort), outPort_(outPort),
          shared_(shared)
    {
        pollfd p{};
        if (snd_seq_poll_descriptors(seq, &p, 1, POLLIN) == 1)
            fd_ = p.fd;
    }
    ~AlsaSystem() override { snd_seq_close(seq_); }

    const char* Name() const override { return "ALSA sequencer"; }
    bool Alive() const override { return alive_.load(std::memory_order_acquire); }

    void List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations) override;
    bool OpenIn(int slot, const PortRef& port) override;
    void RunIn(int slot, PlatMidiHandle handle) override
    {
        ins_[slot].handle.store(handle, std::memory_order_release);
    }
    void CloseIn(int slot) override;
    bool OpenOut(int slot, const PortRef& port) override;
    void CloseOut(int slot) override;
    OutQueue& Out(int slot) override { return *outs_[slot].s.queue; }
    void Sent(int slot) override
    {
        if (outs_[slot].idle.exchange(false))
            shared_.kickService();
    }

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
        std::unique_ptr<OutQueue> queue = std::make_unique<OutQueue>();
        int dest = kNoAddr;
        bool paced = false; // a card's byte-stream port: no faster than the wire
        bool user = false;  // a program's port: no more than its kernel FIFO has room for
        bool dead = false;
        int reserve = 0; // cells of that FIFO left to the program's other senders
        int credit = 0;  // cells known free there, spent before the kernel is asked again
        int roomWaitMs = 0;
        int64_t fullSince = 0; // since when the program has had no room; 0 while it has
        bool saidFull = false;
        uint64_t refused = 0;
        WirePacer pacer{&MonotonicNs};
        int64_t retryAt = 0;
        uint64_t discarded = 0;
    };
    struct OutSlot {
        // Held by the UI thread to open or close the slot, and by the service thread while
        // it writes: a closed slot's stream never gets a later owner's sends.
        std::mutex mutex;
        // Set while the UI thread waits for the mutex: the writer lets go after its message.
        std::atomic<bool> wanted{false};
        Stream s;
        // Set by the service thread when it found nothing to write; the next send wakes it.
        std::atomic<bool> idle{true};
    };
    struct Closed {
        Stream s;
        int64_t deadline;
    };

    bool ReadInput(bool polled);
    void Announce(const snd_seq_event_t& ev);
    void TakeOpenPortsAsReplaced();
    std::unique_lock<std::mutex> Claim(OutSlot& out);
    int Write(Stream& s, int64_t now, const std::atomic<bool>* wanted, std::atomic<bool>* idle);
    bool HasRoom(Stream& s, int cells, int64_t now);
    int FreeCells(int client, int* pool = nullptr);
    int Deliver(Closed& c, int64_t now);
    void Finish(Stream& s, uint64_t left);
    bool Subscribe(int addr);
    void Unsubscribe(int addr);
    void Lose(const char* what, int err);
    uint64_t Incarnation(int addr);

    snd_seq_t* seq_;
    int fd_ = -1;
    const int self_;
    const int inPort_;
    const int outPort_;
    Shared shared_;
    std::atomic<bool> alive_{true};
    InSlot ins_[kInSlots];
    OutSlot outs_[kOutSlots];
    bool moreInput_ = false; // service thread
    // Set when the kernel emptied our input FIFO, announcements of replaced ports included.
    std::atomic<bool> overran_{false};

    // Closed outputs' streams: handed over by the UI thread, then the service thread's.
    std::mutex handMutex_;
    std::vector<Closed> handed_;
    std::deque<Closed> closed_;

    // Our subscriptions to destinations: a port closed while its messages still leave may
    // be opened again meanwhile.
    std::mutex subsMutex_;
    std::unordered_map<int, int> subs_;

    // Bumped by the announcements of ports and clients coming and going; the UI thread
    // reads them while listing.
    std::mutex genMutex_;
    uint64_t genSerial_ = 0;
    std::unordered_map<int, uint64_t> clientGen_, portGen_;
};

uint64_t AlsaSystem::Incarnation(int addr)
{
    std::lock_guard lock(genMutex_);
    auto c = clientGen_.find(ClientOf(addr));
    auto p = portGen_.find(addr);
    // Both come from one rising serial: the larger is the latest change of this port.
    return std::max(c == clientGen_.end() ? 0 : c->second, p == portGen_.end() ? 0 : p->second);
}

// Ports whose type names no MIDI role at all (sample transfer and the like) are left out;
// a port with no type bits is listed, since older programs create theirs that way.
bool CarriesMidi(unsigned type)
{
    constexpr unsigned kMidi = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_MIDI_GM |
                               SND_SEQ_PORT_TYPE_MIDI_GS | SND_SEQ_PORT_TYPE_MIDI_XG |
                               SND_SEQ_PORT_TYPE_MIDI_MT32 | SND_SEQ_PORT_TYPE_MIDI_GM2 |
                               SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_SYNTHESIZER |
                               SND_SEQ_PORT_TYPE_APPLICATION | SND_SEQ_PORT_TYPE_SPECIFIC;
    return type == 0 || (type & kMidi) != 0;
}

// After an overrun we cannot know which ports came and went meanwhile: any open one may
// be a restarted program's new port at the old address, which has none of our subscriptions.
void AlsaSystem::TakeOpenPortsAsReplaced()
{
    std::vector<int> open;
    for (InSlot& in : ins_) {
        const int addr = in.source.load(std::memory_order_acquire);
        if (addr != kNoAddr)
            open.push_back(addr);
    }
    for (OutSlot& out : outs_) {
        std::unique_lock lock = Claim(out);
        if (out.s.dest != kNoAddr)
            open.push_back(out.s.dest);
    }
    std::lock_guard lock(genMutex_);
    for (int addr : open)
        portGen_[addr] = ++genSerial_;
}

void AlsaSystem::List(std::vector<PortRef>* sources, std::vector<PortRef>* destinations)
{
    if (!Alive())
        return;
    if (overran_.exchange(false, std::memory_order_acq_rel))
        TakeOpenPortsAsReplaced();
    snd_seq_client_info_t* ci;
    snd_seq_port_info_t* pi;
    snd_seq_client_info_alloca(&ci);
    snd_seq_port_info_alloca(&pi);
    snd_seq_client_info_set_client(ci, -1);
    while (snd_seq_query_next_client(seq_, ci) >= 0) {
        const int client = snd_seq_client_info_get_client(ci);
        if (client == self_ || client == SND_SEQ_CLIENT_SYSTEM)
            continue;
        const std::string clientName = TrimCutCharacter(snd_seq_client_info_get_name(ci));
        snd_seq_port_info_set_client(pi, client);
        snd_seq_port_info_set_port(pi, -1);
        while (snd_seq_query_next_port(seq_, pi) >= 0) {
            const unsigned cap = snd_seq_port_info_get_capability(pi);
            if ((cap & SND_SEQ_PORT_CAP_NO_EXPORT) || !CarriesMidi(snd_seq_port_info_get_type(pi)))
                continue;
            const bool source = (cap & SND_SEQ_PORT_CAP_READ) && (cap & SND_SEQ_PORT_CAP_SUBS_READ);
            const bool destination =
                (cap & SND_SEQ_PORT_CAP_WRITE) && (cap & SND_SEQ_PORT_CAP_SUBS_WRITE);
            if (!source && !destination)
                continue;
            const int port = snd_seq_port_info_get_port(pi);
            PortRef ref;
            ref.key = std::to_string(client) + ":" + std::to_string(port);
            const std::string portName = TrimCutCharacter(snd_seq_port_info_get_name(pi));
            // "UM-ONE" / "UM-ONE MIDI 1" reads best without the repetition.
            ref.shown = portName.rfind(clientName, 0) == 0 ? portName : clientName + ":" + portName;
            ref.client = clientName;
            ref.incarnation = Incarnation(Addr(client, port));
            if (source && destination) {
                sources->push_back(ref);
                destinations->push_back(std::move(ref));
            } else {
                (source ? sources : destinations)->push_back(std::move(ref));
            }
        }
    }
}

bool AlsaSystem::OpenIn(int slot, const PortRef& port)
{
    const int addr = ParseKey(port.key);
    if (addr == kNoAddr || !Alive())
        return false;
    ins_[slot].handle.store(0, std::memory_order_release);
    // Known before the subscription, so that its first event finds the slot.
    ins_[slot].source.store(addr, std::memory_order_release);
    const int err = snd_seq_connect_from(seq_, inPort_, ClientOf(addr), PortOf(addr));
    if (err < 0) {
        ins_[slot].source.store(kNoAddr, std::memory_order_release);
        return false;
    }
    return true;
}

void AlsaSystem::CloseIn(int slot)
{
    const int addr = ins_[slot].source.exchange(kNoAddr, std::memory_order_acq_rel);
    ins_[slot].handle.store(0, std::memory_order_release);
    // Fails harmlessly when the port is gone: the kernel dropped the subscription with it.
    if (addr != kNoAddr && Alive())
        snd_seq_disconnect_from(seq_, inPort_, ClientOf(addr), PortOf(addr));
}

bool AlsaSystem::OpenOut(int slot, const PortRef& port)
{
    const int addr = ParseKey(port.key);
    if (addr == kNoAddr || !Alive())
        return false;
    snd_seq_client_info_t* ci;
    snd_seq_port_info_t* pi;
    snd_seq_client_info_alloca(&ci);
    snd_seq_port_info_alloca(&pi);
    if (snd_seq_get_any_client_info(seq_, ClientOf(addr), ci) < 0)
        return false;
    if (snd_seq_get_any_port_info(seq_, ClientOf(addr), PortOf(addr), pi) < 0)
        return false;
    if (!(snd_seq_port_info_get_capability(pi) & SND_SEQ_PORT_CAP_WRITE))
        return false;
    // A kernel client of a sound card whose port is a MIDI byte stream (snd-seq-midi's
    // hardware ports, virmidi) drops silently once its 4 KiB buffer is full. Midi Through
    // belongs to no card; synthesizer ports (OPL, wavetable) play at once.
    const unsigned type = snd_seq_port_info_get_type(pi);
    const bool paced = snd_seq_client_info_get_type(ci) == SND_SEQ_KERNEL_CLIENT &&
                       snd_seq_client_info_get_card(ci) >= 0 &&
                       (type & (SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_MIDI_GENERIC)) &&
                       !(type & (SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_SYNTHESIZER));
    // A program's FIFO that a send finds full is marked overflowed, and the program's next
    // read empties all of it: such ports get only what their FIFO has room for.
    int pool = 0;
    if (snd_seq_client_info_get_type(ci) == SND_SEQ_USER_CLIENT &&
        FreeCells(ClientOf(addr), &pool) < 0)
        return false;
    const bool user = pool > 0; // a program that opened no input has no FIFO: the send says so
    // Events go to the destination by its address, but kernel clients act only on ports in
    // use: virmidi ignores, and snd-seq-midi has no device open for, a port without a
    // subscriber.
    if (!Subscribe(addr))
        return false;
    OutSlot& out = outs_[slot];
    std::unique_lock lock = Claim(out);
    Stream& s = out.s;
    s.dest = addr;
    s.paced = paced;
    s.user = user;
    s.reserve = pool / 16;
    out.idle.store(true);
    return true;
}

// Hands what still waits to the service thread, so that notes (and their note-offs) sent
// just before a device check reach the port; the UI thread never waits for the wire.
void AlsaSystem::CloseOut(int slot)
{
    OutSlot& out = outs_[slot];
    Closed c{Stream{}, HandOverDeadline(MonotonicNs())};
    std::unique_lock lock = Claim(out);
    std::swap(c.s, out.s);
    if (c.s.dest == kNoAddr)
        return;
    const bool wireIdle = !c.s.paced || c.s.pacer.WaitFor(WirePacer::kBurstBytes) == 0;
    if (c.s.dead || (c.s.queue->Waiting() == 0 && wireIdle)) {
        lock.unlock();
        c.s.discarded += c.s.queue->Waiting();
        Finish(c.s, 0);
        return;
    }
    {
        // Still under the slot's lock: once the service thread sees the slot open again,
        // it also sees the stream that goes first.
        std::lock_guard hand(handMutex_);
        handed_.push_back(std::move(c));
    }
    // A stream the service thread is still writing has it come back soon anyway.
    const bool idle = out.idle.exchange(true);
    lock.unlock();
    if (idle)
        shared_.kickService();
}

// UI thread: the slot's lock, without waiting for more than the message being written.
std::unique_lock<std::mutex> AlsaSystem::Claim(OutSlot& out)
{
    out.wanted.store(true, std::memory_order_release);
    std::unique_lock lock(out.mutex);
    out.wanted.store(false, std::memory_order_relaxed);
    return lock;
}

// The end of a closed output's stream: says what it could not deliver, lets the port go.
void AlsaSystem::Finish(Stream& s, uint64_t left)
{
    const std::string output =
        std::to_string(ClientOf(s.dest)) + ":" + std::to_string(PortOf(s.dest));
    ReportDropped(output, s.discarded, nullptr);
    ReportDropped(output, left, kHandOverTooSlow);
    Unsubscribe(s.dest);
}

bool AlsaSystem::Subscribe(int addr)
{
    std::lock_guard lock(subsMutex_);
    int& count = subs_[addr];
    if (count == 0 && snd_seq_connect_to(seq_, outPort_, ClientOf(addr), PortOf(addr)) < 0) {
        subs_.erase(addr);
        return false;
    }
    ++count;
    return true;
}

void AlsaSystem::Unsubscribe(int addr)
{
    std::lock_guard lock(subsMutex_);
    auto it = subs_.find(addr);
    if (it == subs_.end() || --it->second > 0)
        return;
    subs_.erase(it);
    // Fails harmlessly when the port is gone: the kernel dropped the subscription with it.
    if (Alive())
        snd_seq_disconnect_to(seq_, outPort_, ClientOf(addr), PortOf(addr));
}

// Free cells of the client's input FIFO, -1 if it cannot be asked; pool gets its size.
int AlsaSystem::FreeCells(int client, int* pool)
{
    ClientPool info{};
    info.client = client;
    if (fd_ < 0 || ioctl(fd_, kGetClientPool, &info) < 0)
        return -1;
    if (pool != nullptr)
        *pool = info.inputPool;
    return info.inputFree;
}

void AlsaSystem::Lose(const char* what, int err)
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
    std::lock_guard lock(genMutex_);
    switch (ev.type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
        clientGen_[ev.data.addr.client] = ++genSerial_;
        break;
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
        portGen_[Addr(ev.data.addr.client, ev.data.addr.port)] = ++genSerial_;
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
            Lose("reading", r);
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
        uint32_t words[zm_alsa::kMaxDecoded];
        const int n = zm_alsa::DecodeEvent(*ev, words);
        for (int k = 0; k < n; ++k)
            shared_.in->Push(handle, words[k]);
        pushed = pushed || n > 0;
    }
    if (pushed)
        shared_.in->Pushed();
    return more;
}

// Writes what waits in one stream as far as the receiver and the pacing allow; returns
// the ms until it wants to run again, -1 when only a new send can give it work. An open
// slot's writer stops after any message when the UI thread wants the slot.
int AlsaSystem::Write(Stream& s, int64_t now, const std::atomic<bool>* wanted,
                      std::atomic<bool>* idle)
{
    if (s.retryAt > now)
        return MsUntil(s.retryAt, now);
    int wait = -1, done = 0;
    s.credit = 0; // the program has read since: ask again before the first send
    uint32_t word;
    for (;;) {
        if (!s.queue->Peek(&word)) {
            if (idle == nullptr)
                break;
            // Idle first, then look again: a send in between either shows here or kicks us.
            idle->store(true);
            // The UI thread's drain moves its backlog into the ring and tells us (Sent).
            if (!s.queue->Peek(&word))
                break;
            idle->store(false);
        }
        if (done == kWriteBatch) {
            wait = 0;
            break;
        }
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        uint8_t raw[1];
        if (s.dead || !Encode(word, &ev, raw)) {
            s.queue->Pop();
            ++s.discarded;
            continue;
        }
        const int bytes = ShortMsgLength(static_cast<uint8_t>(word));
        if (s.paced) {
            const int64_t ns = s.pacer.WaitFor(bytes);
            if (ns > 0) {
                wait = MsUntil(now + ns, now);
                break;
            }
        }
        const int cells =
            snd_seq_ev_is_variable(&ev) ? 2 : 1; // a variable event: one more for its data
        if (s.user && s.credit < cells && !HasRoom(s, cells, now)) {
            wait = s.roomWaitMs;
            break;
        }
        snd_seq_ev_set_source(&ev, outPort_);
        snd_seq_ev_set_dest(&ev, ClientOf(s.dest), PortOf(s.dest));
        snd_seq_ev_set_direct(&ev);
        const int r = snd_seq_event_output_direct(seq_, &ev);
        if (r == -EAGAIN || r == -ENOMEM) { // the receiver's FIFO is full: keep it, try again
            // Other senders filled it since we asked: the program will find its FIFO emptied.
            if (s.user && s.refused++ == 0) {
                std::fprintf(stderr,
                             "ZYN_MOUSE: MIDI output %d:%d was filled up by other senders too; it "
                             "loses what waited "
                             "in its buffer\n",
                             ClientOf(s.dest), PortOf(s.dest));
            }
            s.credit = 0;
            s.retryAt = now + kRetryMs * kMs;
            wait = kRetryMs;
            break;
        }
        if (r < 0) {
            s.dead = true;
            ++s.discarded;
            std::fprintf(stderr,
                         "ZYN_MOUSE: MIDI output %d:%d refuses messages (%s); what waits for it is "
                         "dropped\n",
                         ClientOf(s.dest), PortOf(s.dest), snd_strerror(r));
            s.queue->Pop();
            continue;
        }
        if (s.paced)
            s.pacer.Take(bytes);
        if (s.user)
            s.credit -= cells;
        s.queue->Pop();
        ++done;
        // The UI thread may close or reopen the slot between two messages, never during one.
        if (wanted != nullptr && wanted->load(std::memory_order_acquire)) {
            wait = kYieldMs;
            break;
        }
    }
    if (done > 0 && idle != nullptr && s.queue->WantsRefill())
        shared_.askDrain();
    return wait;
}

// Asks the kernel how much room the receiving program has; when it has none, says so once
// it has lasted, and looks again a little later each time.
bool AlsaSystem::HasRoom(Stream& s, int cells, int64_t now)
{
    const int free = FreeCells(ClientOf(s.dest));
    // A program that is gone has room for nothing: the send says so.
    s.credit = free < 0 ? cells : free - s.reserve;
    if (s.credit >= cells) {
        if (s.saidFull) {
            std::fprintf(stderr, "ZYN_MOUSE: MIDI output %d:%d takes messages again after %.1f s\n",
                         ClientOf(s.dest), PortOf(s.dest),
                         static_cast<double>(now - s.fullSince) / kSecond);
        }
        s.fullSince = 0;
        s.saidFull = false;
        s.roomWaitMs = 0;
        return true;
    }
    if (s.fullSince == 0)
        s.fullSince = now;
    s.roomWaitMs = std::clamp(s.roomWaitMs * 2, 1, kMaxRoomWaitMs);
    s.retryAt = now + s.roomWaitMs * kMs;
    if (!s.saidFull && now - s.fullSince >= kSecond) {
        s.saidFull = true;
        std::fprintf(
            stderr,
            "ZYN_MOUSE: MIDI output %d:%d has taken nothing for 1 s; %zu messages wait for it\n",
            ClientOf(s.dest), PortOf(s.dest), s.queue->Waiting());
    }
    return false;
}

// A closed output's stream, until what waits has left (and a paced wire is quiet again) or
// its second is up; returns the ms until it wants to run again, -2 once it is finished.
int AlsaSystem::Deliver(Closed& c, int64_t now)
{
    Stream& s = c.s;
    s.queue->Refill(); // the UI thread let go of the backlog with the stream
    int wait = Write(s, now, nullptr, nullptr);
    const uint64_t left = s.queue->Waiting();
    const int64_t wire = s.paced ? s.pacer.WaitFor(WirePacer::kBurstBytes) : 0;
    if ((left == 0 && wire == 0) || now >= c.deadline) {
        Finish(s, left);
        return -2;
    }
    if (left == 0)
        wait = MsUntil(now + wire, now);
    if (s.queue->WantsRefill())
        wait = 0;
    return std::min(wait < 0 ? MsUntil(c.deadline, now) : wait, MsUntil(c.deadline, now));
}

int AlsaSystem::Serve(const pollfd* fds, int n)
{
    if (!Alive())
        return -1;
    bool polled = false;
    for (int i = 0; i < n; ++i) {
        if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            Lose("poll", -EPIPE);
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
    const int64_t now = MonotonicNs();
    auto takeHanded = [this] {
        std::lock_guard lock(handMutex_);
        for (Closed& c : handed_)
            closed_.push_back(std::move(c));
        const bool took = !handed_.empty();
        handed_.clear();
        return took;
    };
    takeHanded();
    // Closed outputs first, oldest first; each waits for an older one to the same port, and
    // so does an open output: what was sent first reaches the port first.
    auto waitsBehind = [this](int dest, size_t before) {
        for (size_t k = 0; k < before; ++k) {
            if (closed_[k].s.dest == dest)
                return true;
        }
        return false;
    };
    for (size_t k = 0; k < closed_.size();) {
        if (waitsBehind(closed_[k].s.dest, k)) {
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
        if (out.s.dest == kNoAddr) {
            out.idle.store(true); // so that the first send after the next open wakes us
            continue;
        }
        if (takeHanded())
            want(0);
        if (waitsBehind(out.s.dest, closed_.size()))
            continue;
        want(Write(out.s, now, &out.wanted, &out.idle));
    }
    return wait;
}

} // namespace

std::unique_ptr<System> OpenAlsaSystem(const Shared& shared, std::string* why)
{
    // Checked first so that alsa-lib has nothing to complain about on machines without it.
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
        *why =
            std::string(
                "no JACK server answers and the ALSA sequencer is not available (/dev/snd/seq: ") +
            std::strerror(errno) + ")";
        return nullptr;
    }
    snd_seq_t* seq = nullptr;
    int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (err < 0) {
        *why = std::string("no JACK server answers and the ALSA sequencer could not be opened (") +
               snd_strerror(err) + ")";
        return nullptr;
    }
    snd_seq_set_client_name(seq, "ZYN_MOUSE");
    // Only what we decode, and the announcements, reach our FIFO: a bank dump never fills
    // it, and every event we read has a fixed size.
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    err = snd_seq_get_client_info(seq, info);
    if (err >= 0) {
        for (snd_seq_event_type_t type : zm_alsa::kDecodedTypes)
            snd_seq_client_info_event_filter_add(info, type);
        for (int type : {SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_CLIENT_EXIT,
                         SND_SEQ_EVENT_PORT_START, SND_SEQ_EVENT_PORT_EXIT}) {
            snd_seq_client_info_event_filter_add(info, type);
        }
        err = snd_seq_set_client_info(seq, info);
    }
    if (err >= 0)
        err = snd_seq_set_input_buffer_size(seq, kInputBufferBytes);
    if (err < 0) {
        *why = std::string("the ALSA sequencer refused our client's settings (") +
               snd_strerror(err) + ")";
        snd_seq_close(seq);
        return nullptr;
    }
    // A deeper FIFO rides out longer stalls of the service thread before the kernel drops.
    if (snd_seq_set_client_pool_input(seq, 2000) < 0)
        snd_seq_set_client_pool_input(seq, 1000);
    constexpr unsigned kPrivate = SND_SEQ_PORT_CAP_NO_EXPORT;
    const int in = snd_seq_create_simple_port(
        seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | kPrivate,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    const int out = snd_seq_create_simple_port(
        seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | kPrivate,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    err = in < 0 ? in : out < 0 ? out : 0;
    if (err == 0)
        err = snd_seq_connect_from(seq, in, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) {
        *why = std::string("the ALSA sequencer refused our ports (") + snd_strerror(err) + ")";
        snd_seq_close(seq);
        return nullptr;
    }
    return std::make_unique<AlsaSystem>(seq, in, out, shared);
}

} // namespace zm_midi
