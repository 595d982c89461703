// A closed output's messages still go out after its close: notes, and their note-offs,
// sent just before a device check must reach the port, and the UI thread never waits for
// the wire. Both MIDI systems give such a queue the same time and report what is left
// the same way; each keeps its own order of streams, since JACK orders them by our port
// and the ALSA sequencer by the destination.
#pragma once

#include <cstdint>
#include <string>

namespace zm_midi {

// How long a closed output's messages may still take to leave.
constexpr int64_t kHandOverNs = 1'000'000'000;

extern const char* const kHandOverTooSlow; // the reason when the time ran out

// The monotonic clock both systems measure the hand-over with, in nanoseconds.
int64_t MonotonicNs();

// When the hand-over of a queue closed now ends.
inline int64_t HandOverDeadline(int64_t nowNs)
{
    return nowNs + kHandOverNs;
}

// One line on stderr for messages of a closed output that never left; nothing for none.
// why may be null when the count says enough.
void ReportDropped(const std::string& output, uint64_t count, const char* why);

} // namespace zm_midi
