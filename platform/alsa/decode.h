// Sequencer events as MIDI short messages, decoded here rather than by alsa-lib's byte
// encoder: it keeps running status and state between events, and we want each event on
// its own, with out-of-range fields answered safely.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

namespace zm_alsa {

// The most short messages one event turns into (an NRPN or RPN: four controllers).
constexpr int kMaxDecoded = 4;

// Writes the event's short messages (status | data1 << 8 | data2 << 16) to out and returns
// how many: 0 for events that carry none (SysEx, notifications) and for events naming a
// channel, note, controller, program or song that MIDI cannot express. Values out of
// range (velocity, controller value, pressure, bend) are clamped to the nearest valid one.
int DecodeEvent(const snd_seq_event_t& ev, uint32_t out[kMaxDecoded]);

}  // namespace zm_alsa
