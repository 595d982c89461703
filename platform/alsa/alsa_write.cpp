// The service thread writing one output's stream onto its port: encoded, paced for a
// wire, no more than a program's FIFO has room for, and retried when a program's FIFO
// refuses (never when a kernel client does: it may have handed the event on already).
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>

#include "platform/alsa/alsa_system.h"
#include "platform/alsa/codec.h"
#include "platform/linux_midi/short_msg.h"

namespace zm_alsa {
namespace {

// The most messages written in one pass, so that one busy output leaves the others and
// the reading their turn.
constexpr int kWriteBatch = 1024;
// How soon a send refused for a full receiver is tried again.
constexpr int kRetryMs = 1;

} // namespace

// Writes what waits in one stream as far as the receiver and the pacing allow; returns
// the ms until it wants to run again, -1 when only a new send can give it work. An open
// slot's writer stops after any message when the UI thread wants the slot.
int AlsaSystem::Write(Stream& stream, int64_t now, const std::atomic<bool>* wanted,
                      std::atomic<bool>* idle)
{
    if (stream.retryAt > now)
        return MsUntil(stream.retryAt, now);
    int wait = -1, done = 0;
    stream.room.Forget(); // the program has read since: ask again before the first send
    zm_midi::OutQueue& queue = *stream.queue;
    const int client = ClientOf(stream.dest), port = PortOf(stream.dest);
    uint32_t word;
    for (;;) {
        if (!queue.Peek(&word)) {
            if (idle == nullptr)
                break;
            // Idle first, then look again: a send in between either shows here or kicks us.
            idle->store(true);
            // The UI thread's drain moves its backlog into the ring and tells us (Sent).
            if (!queue.Peek(&word))
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
        if (stream.dead || !EncodeEvent(word, &ev, raw)) {
            queue.Pop();
            ++stream.discarded;
            continue;
        }
        const int bytes = zm_midi::ShortMsgLength(static_cast<uint8_t>(word));
        if (stream.paced) {
            const int64_t ns = stream.pacer.WaitFor(bytes);
            if (ns > 0) {
                wait = MsUntil(now + ns, now);
                break;
            }
        }
        const int cells =
            snd_seq_ev_is_variable(&ev) ? 2 : 1; // a variable event: one more for its data
        if (!stream.room.Allows(cells, now, queue.Waiting())) {
            wait = stream.room.WaitMs();
            stream.retryAt = now + wait * kNsPerMs;
            break;
        }
        snd_seq_ev_set_source(&ev, outPort_);
        snd_seq_ev_set_dest(&ev, client, port);
        snd_seq_ev_set_direct(&ev);
        const int r = snd_seq_event_output_direct(seq_, &ev);
        if ((r == -EAGAIN || r == -ENOMEM) && stream.kernelClient) {
            // It handed the event on to those of its readers with room: not again to them.
            if (stream.unreached++ == 0) {
                std::fprintf(stderr,
                             "ZYN_MOUSE: MIDI output %d:%d hands messages on to a program that "
                             "has no room for them; it misses them, the others get them once\n",
                             client, port);
            }
            queue.Pop();
            continue;
        }
        if (r == -EAGAIN || r == -ENOMEM) { // the receiver's FIFO is full: keep it, try again
            stream.room.Refused();
            stream.retryAt = now + kRetryMs * kNsPerMs;
            wait = kRetryMs;
            break;
        }
        if (r < 0) {
            stream.dead = true;
            ++stream.discarded;
            std::fprintf(stderr,
                         "ZYN_MOUSE: MIDI output %d:%d refuses messages (%s); what waits for it is "
                         "dropped\n",
                         client, port, snd_strerror(r));
            queue.Pop();
            continue;
        }
        if (stream.paced)
            stream.pacer.Take(bytes);
        stream.room.Spend(cells);
        queue.Pop();
        ++done;
        // The UI thread may close or reopen the slot between two messages, never during one.
        if (wanted != nullptr && wanted->load(std::memory_order_acquire)) {
            wait = kYieldMs;
            break;
        }
    }
    if (done > 0 && idle != nullptr && queue.WantsRefill())
        shared_.askDrain();
    return wait;
}

} // namespace zm_alsa
