#include "tests/support/jack_load.h"

#include <jack/midiport.h>

namespace zm_test {

// Stream s, number n (below 2^15): a control change whose channel carries the stream and
// the top bit of n, its two data bytes the rest.
namespace {
void Encode(int stream, int n, jack_midi_data_t out[3])
{
    out[0] = static_cast<jack_midi_data_t>(0xB0 | (stream * 2 + (n >> 14)));
    out[1] = static_cast<jack_midi_data_t>(n & 0x7F);
    out[2] = static_cast<jack_midi_data_t>(n >> 7 & 0x7F);
}
} // namespace

JackLoad::JackLoad(const std::string& clientName, int streams, int perStream, double ratePerSecond)
    : streams_(streams < kMaxStreams ? streams : kMaxStreams), perStream_(perStream)
{
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(),
                               static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                               &status);
    if (!client_)
        return;
    perFrame_ = ratePerSecond / jack_get_sample_rate(client_);
    for (int i = 0; i < streams_; ++i)
        outs_.push_back(jack_port_register(client_, ("play" + std::to_string(i + 1)).c_str(),
                                           JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0));
    in_ = jack_port_register(client_, "check", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &JackLoad::Process, this);
    jack_set_xrun_callback(
        client_,
        [](void* arg) {
            static_cast<JackLoad*>(arg)->xruns_.fetch_add(1);
            return 0;
        },
        this);
    if (jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackLoad::~JackLoad()
{
    if (client_)
        jack_client_close(client_);
}

std::string JackLoad::OutName(int stream) const
{
    return jack_port_name(outs_.at(stream));
}

std::string JackLoad::InName() const
{
    return jack_port_name(in_);
}

bool JackLoad::AllSent() const
{
    return sentAll_.load() >= streams_ * perStream_;
}

int JackLoad::Process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackLoad*>(arg);
    self->Play(frames);
    self->Check(frames);
    return 0;
}

void JackLoad::Play(jack_nframes_t frames)
{
    for (int s = 0; s < streams_; ++s)
        jack_midi_clear_buffer(jack_port_get_buffer(outs_[s], frames));
    if (!running_.load())
        return;
    due_ += perFrame_ * frames;
    for (int s = 0; s < streams_; ++s) {
        void* buffer = jack_port_get_buffer(outs_[s], frames);
        jack_nframes_t frame = 0;
        while (sent_[s] < perStream_ && sent_[s] < due_ && frame < frames) {
            jack_midi_data_t bytes[3];
            Encode(s, sent_[s], bytes);
            if (jack_midi_event_write(buffer, frame++, bytes, 3) != 0)
                break; // buffer full: the rest goes next period
            ++sent_[s];
            sentAll_.fetch_add(1);
        }
    }
}

void JackLoad::Check(jack_nframes_t frames)
{
    void* buffer = jack_port_get_buffer(in_, frames);
    const jack_nframes_t count = jack_midi_get_event_count(buffer);
    for (jack_nframes_t i = 0; i < count; ++i) {
        jack_midi_event_t e;
        if (jack_midi_event_get(&e, buffer, i) != 0)
            continue;
        const int type = e.size ? e.buffer[0] & 0xF0 : 0;
        if (type == 0x90 && e.size == 3) {
            notes_.fetch_add(1);
        } else if (type == 0xB0 && e.size == 3) {
            const int channel = e.buffer[0] & 0x0F;
            const int stream = channel / 2;
            const int n = (channel & 1) << 14 | e.buffer[2] << 7 | e.buffer[1];
            if (stream >= streams_) {
                foreign_.fetch_add(1);
                continue;
            }
            if (n != expected_[stream])
                outOfOrder_.fetch_add(1);
            expected_[stream] = n + 1;
            received_[stream].fetch_add(1);
        } else {
            foreign_.fetch_add(1);
        }
    }
}

} // namespace zm_test
