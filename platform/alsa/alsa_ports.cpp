// The UI thread's side: lists, opening and closing ports, our subscriptions. Nothing here
// waits on the service thread for longer than the message it is writing.
#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/alsa/alsa_system.h"
#include "platform/linux_midi/names.h"

namespace zm_alsa {
namespace {

using zm_midi::PortRef;

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

} // namespace

uint64_t AlsaSystem::Incarnation(int addr)
{
    std::lock_guard lock(incarnationMutex_);
    auto c = clientIncarnation_.find(ClientOf(addr));
    auto p = portIncarnation_.find(addr);
    // Both come from one rising count: the larger is the latest change of this port.
    return std::max(c == clientIncarnation_.end() ? 0 : c->second,
                    p == portIncarnation_.end() ? 0 : p->second);
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
        std::unique_lock lock = LockSlot(out);
        if (out.stream.dest != kNoAddr)
            open.push_back(out.stream.dest);
    }
    std::lock_guard lock(incarnationMutex_);
    for (int addr : open)
        portIncarnation_[addr] = ++lastIncarnation_;
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
        const std::string clientName = zm_midi::TrimCutCharacter(snd_seq_client_info_get_name(ci));
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
            const std::string portName = zm_midi::TrimCutCharacter(snd_seq_port_info_get_name(pi));
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
    // read empties all of it: such ports get only what their FIFO has room for. So do the
    // programs reading a kernel client of no card, which hands each event on to them.
    const bool program = snd_seq_client_info_get_type(ci) == SND_SEQ_USER_CLIENT;
    const bool fanOut = !program && snd_seq_client_info_get_card(ci) < 0;
    int pool = 0;
    if (program && FreeFifoCells(fd_, ClientOf(addr), &pool) < 0)
        return false;
    const ReceiverRoom::Query room = fanOut ? &FanOutRoom : pool > 0 ? &ProgramRoom : nullptr;
    // Events go to the destination by its address, but kernel clients act only on ports in
    // use: virmidi ignores, and snd-seq-midi has no device open for, a port without a
    // subscriber.
    if (!Subscribe(addr))
        return false;
    OutSlot& out = outs_[slot];
    std::unique_lock lock = LockSlot(out);
    Stream& stream = out.stream;
    stream.dest = addr;
    stream.paced = paced;
    stream.kernelClient = !program;
    stream.room.Watch(fd_, ClientOf(addr), PortOf(addr), room);
    out.idle.store(true);
    return true;
}

// Hands what still waits to the service thread, so that notes (and their note-offs) sent
// just before a device check reach the port; the UI thread never waits for the wire.
void AlsaSystem::CloseOut(int slot)
{
    OutSlot& out = outs_[slot];
    ClosedStream closed{Stream{}, zm_midi::HandOverDeadline(zm_midi::MonotonicNs())};
    std::unique_lock lock = LockSlot(out);
    std::swap(closed.stream, out.stream);
    Stream& stream = closed.stream;
    if (stream.dest == kNoAddr)
        return;
    const bool wireIdle = !stream.paced || stream.pacer.WaitFor(WirePacer::kBurstBytes) == 0;
    if (stream.dead || (stream.queue->Waiting() == 0 && wireIdle)) {
        lock.unlock();
        stream.discarded += stream.queue->Waiting();
        Finish(stream, 0);
        return;
    }
    {
        // Still under the slot's lock: once the service thread sees the slot open again,
        // it also sees the stream that goes first.
        std::lock_guard hand(handMutex_);
        handed_.push_back(std::move(closed));
    }
    // A stream the service thread is still writing has it come back soon anyway.
    const bool idle = out.idle.exchange(true);
    lock.unlock();
    if (idle)
        shared_.kickService();
}

// UI thread: the slot's lock, without waiting for more than the message being written.
std::unique_lock<std::mutex> AlsaSystem::LockSlot(OutSlot& out)
{
    out.wanted.store(true, std::memory_order_release);
    std::unique_lock lock(out.mutex);
    out.wanted.store(false, std::memory_order_relaxed);
    return lock;
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

} // namespace zm_alsa
