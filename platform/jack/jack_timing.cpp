// How long after its stamp a send is written, kept as the period changes and reported as
// our ports' latency; and PipeWire asked to hand us received bytes as they were sent.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/jack/jack_system.h"

namespace zm_midi {
namespace {

// A thru's reply must be in its queue before the period it is due in is written: one
// period gives the UI thread too little time at small periods (1.3 ms at 64 frames).
constexpr uint64_t kLeastDelayUs = 2000;

// PipeWire's JACK rewrites a received note-on of velocity 0 as a note-off unless the client
// asks it not to; the thru must send on and the monitor show what was played. The user's
// own properties are kept. Set while the program starts, before any thread reads the
// environment.
[[maybe_unused]] const bool kAskedForRawMidi = [] {
    const char* key = "jack.fix-midi-events";
    const char* old = std::getenv("PIPEWIRE_PROPS");
    std::string props = old != nullptr ? old : "";
    if (props.find(key) != std::string::npos)
        return false;
    const std::string ours = std::string(key) + " = false";
    const size_t close = props.find_last_of('}');
    if (close != std::string::npos)
        props.insert(close, " " + ours + " ");
    else
        props = "{ " + props + " " + ours + " }";
    return setenv("PIPEWIRE_PROPS", props.c_str(), 1) == 0;
}();

} // namespace

// Whole periods: a delay between two multiples gives no period more time.
uint32_t JackSystem::DelayFor(jack_nframes_t frames, jack_nframes_t rate)
{
    if (frames == 0)
        return 0;
    const uint64_t least = (rate * kLeastDelayUs + 999999) / 1000000;
    const uint64_t periods = (least + frames - 1) / frames;
    return static_cast<uint32_t>(frames * (periods < 1 ? 1 : periods));
}

int JackSystem::OnPeriod(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackSystem*>(arg);
    self->delay_.store(DelayFor(frames, jack_get_sample_rate(self->client_)),
                       std::memory_order_relaxed);
    return 0;
}

void JackSystem::OnLatency(jack_latency_callback_mode_t mode, void* arg)
{
    static_cast<JackSystem*>(arg)->ReportLatency(mode);
}

// What reaches an output of ours left an input the delay earlier, and the other way round.
void JackSystem::ReportLatency(jack_latency_callback_mode_t mode)
{
    const bool capture = mode == JackCaptureLatency;
    jack_port_t* const* from = capture ? in_ : out_;
    jack_port_t* const* to = capture ? out_ : in_;
    const int fromCount = capture ? kInSlots : kOutSlots;
    const int toCount = capture ? kOutSlots : kInSlots;
    jack_latency_range_t range{UINT32_MAX, 0};
    for (int i = 0; i < fromCount; ++i) {
        jack_latency_range_t r;
        jack_port_get_latency_range(from[i], mode, &r);
        range.min = std::min(range.min, r.min);
        range.max = std::max(range.max, r.max);
    }
    const uint32_t delay = delay_.load(std::memory_order_relaxed);
    range.min += delay;
    range.max += delay;
    for (int i = 0; i < toCount; ++i) {
        jack_latency_range_t now;
        jack_port_get_latency_range(to[i], mode, &now);
        if (now.min != range.min || now.max != range.max)
            jack_port_set_latency_range(to[i], mode, &range);
    }
}

} // namespace zm_midi
