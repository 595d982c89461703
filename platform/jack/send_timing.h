// Where in a period each send of one output port goes: a constant delay after the frame it
// was made at, so the sends keep the spacing they were made with. A send that is late goes
// at once; none goes before what the port wrote last, so the order holds. The process
// thread's own, one per port.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zm_midi {

class SendTiming {
  public:
    static constexpr uint32_t kLater = UINT32_MAX;
    // PipeWire's JACK silently drops a whole period that carries more than about 1,364
    // short events; plain jackd's buffer fills long before.
    static constexpr int kMostEventsPerPeriod = 1000;

    // The offset within the period of `frames` from `start` at which word, made at frame
    // `made`, goes; kLater when it is due in a later period.
    uint32_t Place(uint32_t word, uint32_t made, uint32_t delay, uint32_t start,
                   uint32_t frames) const
    {
        int64_t at = static_cast<int32_t>(made + delay - start);
        // Far ahead is no stamp of this clock (a server restarted under the sender): at once.
        if (at >= 2 * static_cast<int64_t>(frames) + delay)
            at = 0;
        else if (at >= frames)
            return kLater;
        at = std::max<int64_t>(at, 0);
        at = std::max(at, NotBefore(last_, start, frames));
        // A receiver that sorts one frame's events note-off first would play the release
        // before its strike and leave the note sounding.
        if (IsRelease(word)) {
            for (const Strike& strike : strikes_) {
                if (strike.note == NoteOf(word))
                    at = std::max(at, NotBefore(strike.frame + 1, start, frames));
            }
        }
        return at >= frames ? kLater : static_cast<uint32_t>(at);
    }

    // After word was written at absolute frame `frame`.
    void Wrote(uint32_t word, uint32_t frame)
    {
        last_ = frame;
        const uint32_t note = NoteOf(word);
        if ((word & 0xF0) == 0x90 && (word >> 16 & 0x7F) != 0) {
            strikes_[nextStrike_++ % kStrikes] = {note, frame};
        } else if (IsRelease(word)) {
            for (Strike& strike : strikes_) {
                if (strike.note == note)
                    strike.note = 0;
            }
        }
    }

  private:
    // The notes struck last, so that their releases can be held a frame behind: enough for
    // every key of a chord struck and released at once.
    static constexpr unsigned kStrikes = 16;
    struct Strike {
        uint32_t note = 0; // NoteOf its note-on; 0 for none
        uint32_t frame = 0;
    };

    // Key and channel, marked so that none is 0.
    static uint32_t NoteOf(uint32_t word) { return 0x10000 | (word & 0xFF0F); }

    // A note-off, or a note-on of velocity 0.
    static bool IsRelease(uint32_t word)
    {
        const uint32_t status = word & 0xF0;
        return status == 0x80 || (status == 0x90 && (word >> 16 & 0x7F) == 0);
    }
    // frame as an offset into this period; 0 when it lies outside it (an earlier period).
    static int64_t NotBefore(uint32_t frame, uint32_t start, uint32_t frames)
    {
        const int32_t at = static_cast<int32_t>(frame - start);
        return at < 0 || at > static_cast<int64_t>(frames) ? 0 : at;
    }

    uint32_t last_ = 0;
    Strike strikes_[kStrikes];
    unsigned nextStrike_ = 0;
};

} // namespace zm_midi
