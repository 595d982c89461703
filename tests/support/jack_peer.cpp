#include "tests/support/jack_peer.h"

#include <jack/metadata.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstddef>
#include <thread>

namespace zm_test {

JackPeer::JackPeer(const std::string& clientName, const std::string& outPort,
                   const std::string& inPort)
{
    jack_status_t status{};
    client_ = jack_client_open(clientName.c_str(),
                               static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                               &status);
    if (client_ == nullptr)
        return;
    out_ =
        jack_port_register(client_, outPort.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, inPort.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    outgoing_.reserve(64);
    received_.reserve(256);
    jack_set_process_callback(client_, &JackPeer::Process, this);
    jack_set_xrun_callback(client_, &JackPeer::OnXrun, this);
    if (jack_activate(client_) != 0)
        Close();
}

JackPeer::~JackPeer()
{
    Close();
}

void JackPeer::Close()
{
    if (client_ == nullptr)
        return;
    jack_client_close(client_);
    client_ = nullptr;
    out_ = in_ = nullptr;
    extra_.clear();
}

std::string JackPeer::FullName(const std::string& port) const
{
    return client_ == nullptr ? port : std::string(jack_get_client_name(client_)) + ":" + port;
}

std::string JackPeer::OutName() const
{
    return out_ == nullptr ? "" : jack_port_name(out_);
}
std::string JackPeer::InName() const
{
    return in_ == nullptr ? "" : jack_port_name(in_);
}

int JackPeer::OnXrun(void* arg)
{
    ++static_cast<JackPeer*>(arg)->xruns_;
    return 0;
}

void JackPeer::Send(const std::vector<uint8_t>& bytes)
{
    std::lock_guard lock(mutex_);
    outgoing_.push_back(bytes);
}

std::vector<JackPeer::Event> JackPeer::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

bool JackPeer::WaitReceived(size_t count, int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (received_.size() >= count)
                return true;
        }
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void JackPeer::ClearReceived()
{
    std::lock_guard lock(mutex_);
    received_.clear();
}

bool JackPeer::AddPort(const std::string& name, bool output)
{
    if (client_ == nullptr || extra_.count(name) != 0)
        return false;
    jack_port_t* port = jack_port_register(client_, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                           output ? JackPortIsOutput : JackPortIsInput, 0);
    if (port == nullptr)
        return false;
    extra_[name] = port;
    return true;
}

bool JackPeer::RemovePort(const std::string& name)
{
    auto it = extra_.find(name);
    if (client_ == nullptr || it == extra_.end())
        return false;
    const bool ok = jack_port_unregister(client_, it->second) == 0;
    extra_.erase(it);
    return ok;
}

bool JackPeer::SetPrettyName(const std::string& port, const std::string& pretty)
{
    if (client_ == nullptr)
        return false;
    jack_port_t* p = jack_port_by_name(client_, FullName(port).c_str());
    if (p == nullptr)
        return false;
    return jack_set_property(client_, jack_port_uuid(p), JACK_METADATA_PRETTY_NAME, pretty.c_str(),
                             "text/plain") == 0;
}

bool JackPeer::SetAlias(const std::string& port, const std::string& alias)
{
    jack_port_t* p =
        client_ == nullptr ? nullptr : jack_port_by_name(client_, FullName(port).c_str());
    return p != nullptr && jack_port_set_alias(p, alias.c_str()) == 0;
}

bool JackPeer::Rename(const std::string& port, const std::string& name)
{
    jack_port_t* p =
        client_ == nullptr ? nullptr : jack_port_by_name(client_, FullName(port).c_str());
    return p != nullptr && jack_port_rename(client_, p, name.c_str()) == 0;
}

bool JackPeer::Connect(const std::string& from, const std::string& to)
{
    return client_ != nullptr && jack_connect(client_, from.c_str(), to.c_str()) == 0;
}

bool JackPeer::Connected(const std::string& from, const std::string& to) const
{
    jack_port_t* p = client_ == nullptr ? nullptr : jack_port_by_name(client_, from.c_str());
    return p != nullptr && jack_port_connected_to(p, to.c_str()) != 0;
}

int JackPeer::Process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackPeer*>(arg);
    void* outBuf = jack_port_get_buffer(self->out_, frames);
    jack_midi_clear_buffer(outBuf);
    void* inBuf = jack_port_get_buffer(self->in_, frames);
    const jack_nframes_t start = jack_last_frame_time(self->client_);

    // The test thread holds the lock only briefly, and a test server runs without RT.
    std::lock_guard lock(self->mutex_);
    // A period's buffer holds a few dozen events; the rest wait for the next one.
    size_t sent = 0;
    while (self->nextOut_ < self->outgoing_.size() && sent < self->perPeriod_) {
        const std::vector<uint8_t>& bytes = self->outgoing_[self->nextOut_];
        if (jack_midi_event_write(outBuf, 0, bytes.data(), bytes.size()) != 0)
            break;
        ++self->nextOut_;
        ++sent;
    }
    if (self->nextOut_ == self->outgoing_.size()) {
        self->outgoing_.clear();
        self->nextOut_ = 0;
    }
    const uint32_t count = jack_midi_get_event_count(inBuf);
    for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, inBuf, i) != 0)
            continue;
        self->received_.push_back(Event{
            std::vector<uint8_t>(event.buffer, event.buffer + event.size), start + event.time});
    }
    return 0;
}

} // namespace zm_test
