#include "bench/jack_bench_peer.h"

#include <jack/midiport.h>

namespace zm_bench {

BenchPeer::BenchPeer(const std::string& name)
{
    jack_status_t status{};
    client_ = jack_client_open(
        name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
    if (client_ != nullptr) {
        jack_set_process_callback(client_, &BenchPeer::Process, this);
        jack_set_xrun_callback(client_, &BenchPeer::OnXrun, this);
    }
}

int BenchPeer::OnXrun(void* arg)
{
    static_cast<BenchPeer*>(arg)->xruns_.fetch_add(1);
    return 0;
}

BenchPeer::~BenchPeer()
{
    if (client_ != nullptr) {
        jack_deactivate(client_);
        jack_client_close(client_);
    }
}

bool BenchPeer::AddOutput(const std::string& port)
{
    if (client_ == nullptr)
        return false;
    auto out = std::make_unique<Out>();
    out->port =
        jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (out->port == nullptr)
        return false;
    outs_.push_back(std::move(out));
    return true;
}

bool BenchPeer::AddInput(const std::string& port, size_t capacity)
{
    if (client_ == nullptr)
        return false;
    auto in = std::make_unique<In>();
    in->port =
        jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (in->port == nullptr)
        return false;
    in->events.resize(capacity); // the process thread never allocates
    ins_.push_back(std::move(in));
    return true;
}

bool BenchPeer::Activate()
{
    return client_ != nullptr && jack_activate(client_) == 0;
}

std::string BenchPeer::OutName(int out) const
{
    return jack_port_name(outs_[static_cast<size_t>(out)]->port);
}
std::string BenchPeer::InName(int in) const
{
    return jack_port_name(ins_[static_cast<size_t>(in)]->port);
}

void BenchPeer::Load(int out, std::vector<MidiMsg> messages, int perPeriod)
{
    Out& o = *outs_[static_cast<size_t>(out)];
    o.sentFrames.assign(messages.size(), 0);
    o.messages = std::move(messages);
    o.perPeriod = perPeriod;
    o.next.store(0);
}

void BenchPeer::Start()
{
    running_.store(true, std::memory_order_release);
}
void BenchPeer::Stop()
{
    running_.store(false, std::memory_order_release);
}

size_t BenchPeer::SentCount(int out) const
{
    return outs_[static_cast<size_t>(out)]->next.load(std::memory_order_acquire);
}
jack_nframes_t BenchPeer::SentFrame(int out, size_t i) const
{
    return outs_[static_cast<size_t>(out)]->sentFrames[i];
}
const std::vector<MidiMsg>& BenchPeer::Loaded(int out) const
{
    return outs_[static_cast<size_t>(out)]->messages;
}
size_t BenchPeer::ReceivedCount(int in) const
{
    return ins_[static_cast<size_t>(in)]->count.load(std::memory_order_acquire);
}
const BenchPeer::Received& BenchPeer::ReceivedAt(int in, size_t i) const
{
    return ins_[static_cast<size_t>(in)]->events[i];
}
size_t BenchPeer::ReceivedOverflow(int in) const
{
    return ins_[static_cast<size_t>(in)]->overflow.load();
}

void BenchPeer::ClearReceived(int in)
{
    ins_[static_cast<size_t>(in)]->count.store(0);
    ins_[static_cast<size_t>(in)]->overflow.store(0);
}

int BenchPeer::Process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<BenchPeer*>(arg);
    const jack_nframes_t start = jack_last_frame_time(self->client_);

    // Inputs first, as a processing client does: a direct loop then reads what its own
    // output carried, never what it is about to write.
    for (auto& in : self->ins_) {
        void* buf = jack_port_get_buffer(in->port, frames);
        const uint32_t n = jack_midi_get_event_count(buf);
        size_t count = in->count.load(std::memory_order_relaxed);
        for (uint32_t i = 0; i < n; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buf, i) != 0)
                continue;
            if (count >= in->events.size()) {
                in->overflow.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            Received& r = in->events[count++];
            r.msg.size = static_cast<uint8_t>(event.size > 3 ? 3 : event.size);
            for (size_t b = 0; b < r.msg.size; ++b)
                r.msg.bytes[b] = event.buffer[b];
            r.frame = start + event.time;
        }
        in->count.store(count, std::memory_order_release);
    }

    const bool running = self->running_.load(std::memory_order_acquire);
    const uint32_t period = self->period_++;
    for (auto& out : self->outs_) {
        void* buf = jack_port_get_buffer(out->port, frames);
        jack_midi_clear_buffer(buf);
        if (!running)
            continue;
        size_t next = out->next.load(std::memory_order_relaxed);
        const size_t total = out->messages.size();
        if (out->perPeriod > 0) {
            const jack_nframes_t spacing = frames / static_cast<jack_nframes_t>(out->perPeriod);
            const jack_nframes_t first = spacing == 0 ? 0 : (period * 37u) % spacing;
            for (int j = 0; j < out->perPeriod && next < total; ++j) {
                const jack_nframes_t at = first + static_cast<jack_nframes_t>(j) * spacing;
                const MidiMsg& m = out->messages[next];
                if (jack_midi_event_write(buf, at, m.bytes, m.size) != 0) {
                    self->fullPeriods_.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
                out->sentFrames[next++] = start + at;
            }
        } else {
            while (next < total) {
                const MidiMsg& m = out->messages[next];
                if (jack_midi_event_write(buf, 0, m.bytes, m.size) != 0) {
                    self->fullPeriods_.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
                out->sentFrames[next++] = start;
            }
        }
        out->next.store(next, std::memory_order_release);
    }
    return 0;
}

} // namespace zm_bench
