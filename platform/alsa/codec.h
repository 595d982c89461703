// Sequencer events <-> MIDI short messages, both ways, done here rather than by alsa-lib's
// byte encoder: it keeps running status and state between events, and we want each event
// on its own, with out-of-range fields answered safely.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

namespace zm_alsa {

// The most short messages one event turns into (an NRPN or RPN: four controllers).
constexpr int kMaxDecoded = 4;

// Every event type DecodeEvent turns into short messages; all of them have a fixed size.
constexpr snd_seq_event_type_t kDecodedTypes[] = {
    SND_SEQ_EVENT_NOTEON,     SND_SEQ_EVENT_NOTEOFF,      SND_SEQ_EVENT_KEYPRESS,
    SND_SEQ_EVENT_CONTROLLER, SND_SEQ_EVENT_PGMCHANGE,    SND_SEQ_EVENT_CHANPRESS,
    SND_SEQ_EVENT_PITCHBEND,  SND_SEQ_EVENT_CONTROL14,    SND_SEQ_EVENT_NONREGPARAM,
    SND_SEQ_EVENT_REGPARAM,   SND_SEQ_EVENT_SONGPOS,      SND_SEQ_EVENT_SONGSEL,
    SND_SEQ_EVENT_QFRAME,     SND_SEQ_EVENT_TUNE_REQUEST, SND_SEQ_EVENT_CLOCK,
    SND_SEQ_EVENT_START,      SND_SEQ_EVENT_CONTINUE,     SND_SEQ_EVENT_STOP,
    SND_SEQ_EVENT_SENSING,    SND_SEQ_EVENT_RESET,
};

// Writes the event's short messages (status | data1 << 8 | data2 << 16) to out and returns
// how many: 0 for events that carry none (SysEx, notifications) and for events naming a
// channel, note, controller, program or song that MIDI cannot express. Values out of
// range (velocity, controller value, pressure, bend) are clamped to the nearest valid one.
int DecodeEvent(const snd_seq_event_t& ev, uint32_t out[kMaxDecoded]);

// A short message as a sequencer event; false for a word that must not be sent. The
// one-byte messages MIDI leaves undefined have no event type; they travel as their raw
// byte (kept in raw, which must outlive the event), and byte-stream ports pass it on as it is.
bool EncodeEvent(uint32_t word, snd_seq_event_t* ev, uint8_t raw[1]);

} // namespace zm_alsa
