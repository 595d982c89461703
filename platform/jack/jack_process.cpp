// The real-time process callback: received events into the shared queue, waiting sends
// into the port buffers. It never locks, allocates, waits or calls the server.
#include <jack/midiport.h>

#include "platform/jack/hold_points.h"
#include "platform/jack/jack_system.h"
#include "platform/linux_midi/short_msg.h"

namespace zm_midi {

int JackSystem::Process(jack_nframes_t frames, void* arg)
{
    auto* self = static_cast<JackSystem*>(arg);
    const jack_nframes_t start = jack_last_frame_time(self->client_);
    self->Receive(start, frames);
    self->Transmit(start, frames);
    return 0;
}

// The inputs of one period merged by frame time, so that what was played in between
// on two keyboards keeps its order; on equal times the lower slot goes first.
void JackSystem::Receive(jack_nframes_t start, jack_nframes_t frames)
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
        const uint32_t arrival = start + first->event.time;
        SplitShortMessages(first->event.buffer, first->event.size, [&](uint32_t word) {
            shared_.in->Push(first->handle, word, arrival);
            pushed = true;
        });
        load(*first);
    }
    if (pushed)
        shared_.in->Pushed();
}

// What is due in this period, as much as each port buffer takes; the rest stays first in
// its ring for a later period. The period's count goes up at the end: a queue the
// connection thread took away from us is out of our hands two counts later.
void JackSystem::Transmit(jack_nframes_t start, jack_nframes_t frames)
{
    const uint64_t cycle = cycles_.load(std::memory_order_relaxed);
    const uint32_t delay = delay_.load(std::memory_order_relaxed);
    bool refill = false;
    for (int i = 0; i < kOutSlots; ++i) {
        void* buffer = jack_port_get_buffer(out_[i], frames);
        jack_midi_clear_buffer(buffer);
        OutQueue* queue = outs_[i].writing.load(std::memory_order_acquire);
        if (queue == nullptr)
            continue;
        if (auto* held = hold::afterTaking.load(std::memory_order_relaxed))
            held();
        SendTiming& timing = timing_[i];
        uint32_t word, made;
        bool moved = false;
        for (int written = 0;
             written < SendTiming::kMostEventsPerPeriod && queue->Peek(&word, &made); ++written) {
            const uint32_t at = timing.Place(word, made, delay, start, frames);
            if (at == SendTiming::kLater)
                break;
            const int n = ShortMsgLength(static_cast<uint8_t>(word));
            jack_midi_data_t* data = jack_midi_event_reserve(buffer, at, static_cast<size_t>(n));
            if (data == nullptr)
                break;
            timing.Wrote(word, start + at);
            for (int b = 0; b < n; ++b)
                data[b] = static_cast<jack_midi_data_t>(word >> (8 * b));
            queue->Pop();
            moved = true;
        }
        refill |= moved && queue->WantsRefill();
    }
    cycles_.store(cycle + 1, std::memory_order_release);
    if (refill)
        shared_.askDrain();
}

} // namespace zm_midi
